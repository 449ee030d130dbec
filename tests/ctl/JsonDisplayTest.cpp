#include "JsonDisplay.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonDisplay, ResponseWithoutIdHasNullId) {
    EXPECT_EQ(JsonDisplay::toJson(ServiceMessage::parse("rsp;;false;invalid request")),
              R"({"type":"response","id":null,"accepted":false,"reason":"invalid request",)"
              R"("raw":"rsp;;false;invalid request"})");
}

TEST(JsonDisplay, AnyBytesStayValidJson) {
    // Quotes, backslashes, control bytes and Latin-1 bytes (as UTF-8).
    const std::string text("x\"\\\x01\xe9", 5);
    EXPECT_EQ(JsonDisplay::toJson(ServiceMessage::parse(text)),
              "{\"type\":\"malformed\",\"raw\":\"x\\\"\\\\\\u0001\xc3\xa9\"}");
}

TEST(Escape, VisibleShowsControlBytesAndCutsLongText) {
    EXPECT_EQ(Escape::visible(std::string("a\nb\\\x1b", 5)), "a\\x0ab\\x5c\\x1b");
    EXPECT_EQ(Escape::visible(std::string(10, 'x'), 4), "xxxx...");
}

} // namespace
