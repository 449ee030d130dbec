#include "installer/TableUpgrader.h"
#include "installer/Upgrader.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestOutput.h"

namespace {

std::string str(CStringView v) { return std::string(v.data(), v.size()); }

// A procedure whose commands are harmless, so the runner's stepping can be
// exercised for real. Step 2 fails until its marker file exists.
constexpr Installer::step_impl kHarmless[] = {
    {0, "not_started", "Not started", 0.0, ""},
    {1, "first", "First", 0.0, "true"},
    {2, "second", "Second", 40.0, "test -e \"$ZORVI_TEST_MARKER\""},
    {3, "completed", "Completed", 100.0, ""},
};
extern const Installer::Procedure kHarmlessProcedure;
// No package database here: nothing to repair before its first command.
const Installer::Procedure kHarmlessProcedure = {"harmless", View<const Installer::step_impl>(kHarmless),
                                                 "/nonexistent/zorvi-test-dpkg"};
using Harmless = Installer::TableUpgrader<kHarmlessProcedure>;

TEST(StepRunner, FreshProcedureIsNotStarted) {
    Harmless p;
    EXPECT_EQ(str(p.name()), "harmless");
    EXPECT_EQ(str(p.stepKey()), "not_started");
    EXPECT_EQ(str(p.stepText()), "Not started");
    EXPECT_EQ(p.progress(), 0.0);
    EXPECT_FALSE(p.isCompleted());
}

TEST(StepRunner, AdvancesOnSuccessStaysOnFailureAndStopsAtTheEnd) {
    std::string marker = testing::TempDir() + "zorvi-step-marker-" + std::to_string(getpid());
    unlink(marker.c_str());
    setenv("ZORVI_TEST_MARKER", marker.c_str(), 1);
    Harmless p;

    std::string out = captureStdout([&] { EXPECT_TRUE(p.runNextStep()); });
    EXPECT_EQ(out, ""); // step 0 runs nothing
    EXPECT_EQ(str(p.stepKey()), "first");

    EXPECT_TRUE(p.runNextStep());
    EXPECT_EQ(str(p.stepKey()), "second");
    EXPECT_EQ(p.progress(), 40.0);

    EXPECT_FALSE(p.runNextStep()); // marker missing: the command exits 1
    EXPECT_FALSE(p.runNextStep()); // and again: the same step is retried, not skipped
    EXPECT_EQ(str(p.stepKey()), "second");
    EXPECT_EQ(p.currentStep(), 2);

    std::ofstream(marker).put('x');
    EXPECT_TRUE(p.runNextStep());
    EXPECT_TRUE(p.isCompleted());
    EXPECT_EQ(p.progress(), 100.0);
    out = captureStdout([&] { EXPECT_FALSE(p.runNextStep()); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(p.currentStep(), 3);
    unlink(marker.c_str());
}

TEST(RunCommand, JudgesByExitStatusAndSignal) {
    struct {
        const char* command;
        bool ok;
    } cases[] = {
        {"exit 0", true},
        {"exit 1", false},
        {"exit 255", false},
        {"kill -TERM $$", false}, // the shell itself dies by a signal
        {"kill -KILL $$", false},
        {"/nonexistent/program", false},
    };
    for (auto& c : cases) {
        bool ok = false;
        captureStdout([&] { ok = Installer::Upgrader::runCommand(CStringView::fromCString(c.command)); });
        EXPECT_EQ(ok, c.ok) << c.command;
    }
}

TEST(RunCommand, AnnouncesTheCommandWithABanner) {
    std::string out = captureStdout([] { Installer::Upgrader::runCommand("true"); });
    EXPECT_EQ(out, "\n=== true ===\n\n");
}

TEST(RunCommand, ChildSeesNonInteractiveFrontendAndAnEmptySignalMask) {
    unsetenv("DEBIAN_FRONTEND");
    Harmless p; // constructing a procedure sets the variable for everything it runs
    sigset_t stop, saved;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, &saved);
    bool frontend = false, mask = false;
    captureStdout([&] {
        frontend = Installer::Upgrader::runCommand("test \"$DEBIAN_FRONTEND\" = noninteractive");
        // What the step's program itself starts with (the shell may block signals
        // around its own forks, so its status is not the thing to look at).
        mask = Installer::Upgrader::runCommand("grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status");
    });
    sigset_t after;
    sigprocmask(SIG_SETMASK, &saved, &after);
    EXPECT_TRUE(frontend);
    EXPECT_TRUE(mask);
    EXPECT_TRUE(sigismember(&after, SIGTERM)); // the caller's mask is back afterwards
}

} // namespace
