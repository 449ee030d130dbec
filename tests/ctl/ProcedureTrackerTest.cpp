#include "ProcedureTracker.h"

#include <gtest/gtest.h>

namespace {
using Event = ProcedureTracker::Event;

Event feed(ProcedureTracker& t, const char* datagram) { return t.onNotification(ServiceMessage::parse(datagram)); }

TEST(ProcedureTracker, IdleAfterAStepMeansThatStepFailed) {
    ProcedureTracker t;
    EXPECT_EQ(feed(t, "nfy;idle;;;"), Event::None);
    EXPECT_EQ(feed(t, "nfy;erase_upgrade;0.000;prepare;;Preparing update"), Event::Step);
    EXPECT_EQ(feed(t, "nfy;erase_upgrade;3.656;apt_update;;Preparing software installation"), Event::Step);
    EXPECT_TRUE(t.running());
    EXPECT_EQ(feed(t, "nfy;idle;;;"), Event::Failed);
    EXPECT_EQ(t.lastStep().step(), "Preparing software installation (apt_update)");
    EXPECT_FALSE(t.running());
    // The next idle is just idle again.
    EXPECT_EQ(feed(t, "nfy;idle;;;"), Event::None);
}

TEST(ProcedureTracker, CompletedEndsTheProcedureAndTheIdleAfterItIsNoFailure) {
    ProcedureTracker t;
    EXPECT_EQ(feed(t, "nfy;erase_upgrade;100.000;reboot;;Rebooting"), Event::Step);
    EXPECT_EQ(feed(t, "nfy;erase_upgrade;100.000;completed;;Completed"), Event::Completed);
    EXPECT_FALSE(t.running());
    EXPECT_EQ(feed(t, "nfy;idle;;;"), Event::None);
}

TEST(ProcedureTracker, ResetForgetsAStepSeenBefore) {
    ProcedureTracker t;
    feed(t, "nfy;migration_upgrade;57.849;flash_migrate_zwave_bridge;;Flashing Z-Wave firmware");
    t.reset();
    EXPECT_EQ(feed(t, "nfy;idle;;;"), Event::None);
}

} // namespace
