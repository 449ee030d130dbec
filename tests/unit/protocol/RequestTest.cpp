#include "protocol/Request.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ParseRequest, AcceptedTextRules) {
    struct Case {
        std::string text;
        uint16_t id;
        uint16_t command;
    } cases[] = {
        {"req;12;erase_upgrade", 12, Request::EraseUpgrade},
        {"req;1;upgrade", 1, Request::Upgrade},
        {"req;1;upgrade;", 1, Request::Upgrade},
        {"req;1;upgrade;anything;at;all", 1, Request::Upgrade},
        {"req;007;cancel", 7, Request::Cancel},
        {"req;000000001;revert", 1, Request::Revert},
        {"req;65535;upgrade", 65535, Request::Upgrade},
        // identifier out of range, or digits that would wrap a fixed-width accumulator
        {"req;65536;upgrade", 0, Request::None},
        {"req;99999;upgrade", 0, Request::None},
        {"req;4294967297;upgrade", 0, Request::None},
        {"req;18446744073709551617;upgrade", 0, Request::None},
        {"req;0000000000000000000000000000000000000042;cancel", 42, Request::Cancel},
        // an all-zero identifier stops before the command
        {"req;0;upgrade", 0, Request::None},
        {"req;00;upgrade", 0, Request::None},
        // good identifier, no usable command
        {"req;5", 5, Request::None},
        {"req;5;", 5, Request::None},
        {"req;9;reboot", 9, Request::None},
        {"req;1;UPGRADE", 1, Request::None},
        {"req;1;upgrade ", 1, Request::None},
        {"req;1;upgrade\n", 1, Request::None},
        {"req;1;upgrad", 1, Request::None},
        {"req;1;erase_upgrade_", 1, Request::None},
        // bad identifier
        {"req;;upgrade", 0, Request::None},
        {"req;x;upgrade", 0, Request::None},
        {"req;12x;upgrade", 0, Request::None},
        {"req;-1;upgrade", 0, Request::None},
        {"req;", 0, Request::None},
        // bad prefix
        {"req", 0, Request::None},
        {"", 0, Request::None},
        {"REQ;1;upgrade", 0, Request::None},
        {"rsp;1;upgrade", 0, Request::None},
        {std::string("req;1;upgrade\0", 14), 1, Request::None},
        {std::string("req;1\0;upgrade", 14), 0, Request::None},
    };
    for (const Case& c : cases) {
        Request r = parseRequest(77, TemporaryStringView(c.text.data(), static_cast<uint32_t>(c.text.size())));
        EXPECT_EQ(r.clientId, 77u) << c.text;
        EXPECT_EQ(r.requestId, c.id) << c.text;
        EXPECT_EQ(r.command, c.command) << c.text;
        EXPECT_EQ(r.valid(), c.command != Request::None) << c.text;
        EXPECT_EQ(r.reserved[0] | r.reserved[1] | r.reserved[2] | r.reserved[3], 0);
    }
}

TEST(ParseRequest, ReadsOnlyTheGivenLength) {
    const char text[] = "req;12;upgradeXYZ";
    Request r = parseRequest(1, TemporaryStringView(text, 14)); // "req;12;upgrade"
    EXPECT_EQ(r.command, Request::Upgrade);
}

TEST(RequestRecord, OnlyExactlySixteenBytesSurvive) {
    Request r = parseRequest(0x0102030405060708ull, "req;513;cancel");
    View<const char> bytes = r.bytes();
    Request same = Request::fromBytes(bytes);
    EXPECT_EQ(same.clientId, 0x0102030405060708ull);
    EXPECT_EQ(same.requestId, 513);
    EXPECT_EQ(same.command, Request::Cancel);
    // little-endian wire layout, as on the hub
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x08);
    EXPECT_EQ(static_cast<uint8_t>(bytes[8]), 0x01);
    EXPECT_EQ(static_cast<uint8_t>(bytes[9]), 0x02);
    EXPECT_EQ(static_cast<uint8_t>(bytes[10]), 4);

    char longer[17] = {};
    std::memcpy(longer, bytes.begin(), 16);
    for (size_t n : {size_t{0}, size_t{15}, size_t{17}}) {
        Request r2 = Request::fromBytes(View<const char>(longer, n));
        EXPECT_EQ(r2.clientId, 0u) << n;
        EXPECT_EQ(r2.command, Request::None) << n;
    }
}

} // namespace
