#include "JsonDisplay.h"

#include "Escape.h"

#include <gtest/gtest.h>

namespace {

std::string json(const char* datagram) { return JsonDisplay::toJson(ServiceMessage::parse(datagram)); }

TEST(JsonDisplay, OneObjectPerKindOfMessage) {
    EXPECT_EQ(json("nfy;idle;;;"), R"({"type":"idle","raw":"nfy;idle;;;"})");
    EXPECT_EQ(json("nfy;erase_upgrade;0.215;install_tunnel;;Installing diagnostic tools"),
              R"({"type":"progress","procedure":"erase_upgrade","percent":0.215,"key":"install_tunnel",)"
              R"("text":"Installing diagnostic tools","completed":false,)"
              R"("raw":"nfy;erase_upgrade;0.215;install_tunnel;;Installing diagnostic tools"})");
    EXPECT_NE(json("nfy;erase_upgrade;100.000;completed;;Completed").find(R"("percent":100.000,)"), std::string::npos);
    EXPECT_NE(json("nfy;erase_upgrade;100.000;completed;;Completed").find(R"("completed":true)"), std::string::npos);
    EXPECT_EQ(json("rsp;12;false;unsupported command"),
              R"({"type":"response","id":12,"accepted":false,"reason":"unsupported command",)"
              R"("raw":"rsp;12;false;unsupported command"})");
    EXPECT_NE(json("rsp;;false;invalid request").find(R"({"type":"response","id":null,)"), std::string::npos);
}

TEST(JsonDisplay, MalformedBytesStayValidJson) {
    const std::string text("x\"\\\x01\xe9", 5);
    EXPECT_EQ(JsonDisplay::toJson(ServiceMessage::parse(text)),
              "{\"type\":\"malformed\",\"raw\":\"x\\\"\\\\\\u0001\xc3\xa9\"}");
}

TEST(Escape, VisibleShowsControlBytesAndCutsLongText) {
    EXPECT_EQ(Escape::visible(std::string("a\nb\\\x1b", 5)), "a\\x0ab\\x5c\\x1b");
    EXPECT_EQ(Escape::visible(std::string(10, 'x'), 4), "xxxx...");
}

} // namespace
