#include "ServiceMessage.h"

#include <gtest/gtest.h>

namespace {
using Kind = ServiceMessage::Kind;

TEST(ServiceMessage, ProgressNotificationIsSplitIntoItsFields) {
    const ServiceMessage m = ServiceMessage::parse("nfy;migration_upgrade;20.860;install_mqtt_logger;;Installing MQTT logger");
    ASSERT_EQ(m.kind, Kind::Progress);
    EXPECT_EQ(m.procedure, "migration_upgrade");
    EXPECT_EQ(m.percentText, "20.860");
    EXPECT_DOUBLE_EQ(m.percent, 20.86);
    EXPECT_EQ(m.key, "install_mqtt_logger");
    EXPECT_EQ(m.text, "Installing MQTT logger");
    EXPECT_FALSE(m.isCompleted());
    EXPECT_EQ(m.describe(), "migration_upgrade 20.860% Installing MQTT logger (install_mqtt_logger)");
}

TEST(ServiceMessage, StepTextKeepsItsSemicolons) {
    // The text is the last field; nothing after the empty field splits it.
    const ServiceMessage m = ServiceMessage::parse("nfy;erase_upgrade;3.656;apt_update;;a;b;");
    ASSERT_EQ(m.kind, Kind::Progress);
    EXPECT_EQ(m.text, "a;b;");
}

TEST(ServiceMessage, ResponsesCarryIdVerdictAndReason) {
    const ServiceMessage ok = ServiceMessage::parse("rsp;65535;true;");
    ASSERT_EQ(ok.kind, Kind::Response);
    EXPECT_TRUE(ok.hasId);
    EXPECT_EQ(ok.id, 65535);
    EXPECT_TRUE(ok.accepted);

    const ServiceMessage no = ServiceMessage::parse("rsp;7;false;upgrade not supported on this lumora model");
    ASSERT_EQ(no.kind, Kind::Response);
    EXPECT_EQ(no.id, 7);
    EXPECT_FALSE(no.accepted);
    EXPECT_EQ(no.reason, "upgrade not supported on this lumora model");

    const ServiceMessage noId = ServiceMessage::parse("rsp;;false;invalid request");
    ASSERT_EQ(noId.kind, Kind::Response);
    EXPECT_FALSE(noId.hasId);
    EXPECT_EQ(noId.reason, "invalid request");
}

TEST(ServiceMessage, AnythingElseIsMalformed) {
    const char* bad[] = {
        "",
        "nfy",
        "nfy;idle;;",                                  // one field short
        "nfy;idle;;;x",                                // idle with trailing text
        "nfy;erase_upgrade;20.860;install_python;Installing Python",  // no empty field
        "nfy;erase_upgrade;20.860;install_python;x;Installing Python", // fourth field not empty
        "nfy;erase_upgrade;;install_python;;Installing Python",        // no percent
        "nfy;erase_upgrade;100.001;reboot;;Rebooting",                 // above 100
        "nfy;erase_upgrade;-1.000;reboot;;Rebooting",
        "nfy;erase_upgrade;1e2;reboot;;Rebooting",
        "nfy;erase_upgrade;20.;reboot;;Rebooting",
        "nfy;Erase Upgrade;20.860;install_python;;Installing Python",  // not a word
        "nfy;erase_upgrade;20.860;;;Installing Python",                // empty key
        "rsp;12;maybe;",
        "rsp;12;true",                                 // verdict not closed by ';'
        "rsp;0;true;",                                 // 0 is no request id
        "rsp;65536;true;",
        "rsp;123456;true;",
        "rsp;1x;true;",
        "RSP;1;true;",
        "req;1;upgrade",
        "nfy;erase_upgrade;20.860;install_python;;Installing\x1b[2J Python", // control bytes
        "nfy;erase_upgrade;20.860;install_python;;Installing Python\n",
    };
    for (const char* text : bad) EXPECT_EQ(ServiceMessage::parse(text).kind, Kind::Malformed) << text;
    EXPECT_EQ(ServiceMessage::parse(std::string("nfy;idle;;;\0", 12)).kind, Kind::Malformed);
}

TEST(ServiceMessage, TruncatedDatagramIsMalformedEvenWhenItsStartLooksRight) {
    const ServiceMessage m = ServiceMessage::parse("nfy;idle;;;", true);
    EXPECT_EQ(m.kind, Kind::Malformed);
    EXPECT_EQ(m.raw, "nfy;idle;;;");
}

} // namespace
