#include "protocol/Message.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string render(const Message& m) {
    Buffer b;
    b.append("stale content");
    m.toText(b);
    return std::string(b.data(), b.length());
}

bool allZero(const Message& m) {
    static const char zero[128] = {};
    return std::memcmp(m.bytes().begin(), zero, 128) == 0;
}

TEST(MessageText, EveryKindAsTheClientSeesIt) {
    struct {
        Message m;
        const char* text;
    } cases[] = {
        {Message(3, 12, Message::Success, ""), "rsp;12;true;"},
        {Message(3, 7, Message::Failure, "unsupported command"), "rsp;7;false;unsupported command"},
        {Message(3, 0, Message::Failure, "invalid request"), "rsp;;false;invalid request"},
        {Message(3, 65535, Message::Success, ""), "rsp;65535;true;"},
        {Message(0, 99, Message::Notification, "idle;;;"), "nfy;idle;;;"}, // requestId ignored
        {Message(0, 0, Message::Notification, "erase_upgrade;100.000;completed;;Completed"),
         "nfy;erase_upgrade;100.000;completed;;Completed"},
        {Message(1, 4, 9, "corrupt"), "rsp;4;false;corrupt"}, // unknown types render as failures
        {Message(), ""},
    };
    for (auto& c : cases) EXPECT_EQ(render(c.m), c.text);
}

TEST(MessageRecord, PayloadLimitIs114Bytes) {
    std::string fits(114, 'p'), over(115, 'p');
    Message m(5, 6, Message::Notification, TemporaryStringView(fits.data(), 114));
    EXPECT_EQ(m.length, 114);
    EXPECT_EQ(render(m), "nfy;" + fits);
    EXPECT_EQ(m.payload[114], 0); // the last byte never carries payload

    Message none(5, 6, Message::Notification, TemporaryStringView(over.data(), 115));
    EXPECT_TRUE(allZero(none));
    EXPECT_EQ(render(none), "");
}

TEST(MessageRecord, RoundTripsOnlyExactly128Bytes) {
    Message m(0x1122334455667788ull, 300, Message::Failure, "upgrade not supported on this lumora model");
    View<const char> bytes = m.bytes();
    Message copy = Message::fromBytes(bytes);
    EXPECT_EQ(std::memcmp(copy.bytes().begin(), bytes.begin(), 128), 0);
    EXPECT_EQ(static_cast<uint8_t>(bytes[12]), Message::Failure);
    EXPECT_EQ(bytes[13], 'u');
    EXPECT_EQ(bytes[13 + m.length], 0);

    char raw[129];
    std::memcpy(raw, bytes.begin(), 128);
    raw[128] = 'x';
    EXPECT_TRUE(allZero(Message::fromBytes(View<const char>(raw, 127))));
    EXPECT_TRUE(allZero(Message::fromBytes(View<const char>(raw, 129))));
}

TEST(MessageRecord, CorruptLengthNeverReadsPastThePayload) {
    Message m(1, 2, Message::Notification, "x");
    char raw[128];
    std::memcpy(raw, m.bytes().begin(), 128);
    raw[10] = static_cast<char>(0xff); // length 0xff..: beyond the record
    raw[11] = static_cast<char>(0xff);
    std::string text = render(Message::fromBytes(View<const char>(raw, 128)));
    EXPECT_EQ(text.size(), 4u + 114u);
}

} // namespace
