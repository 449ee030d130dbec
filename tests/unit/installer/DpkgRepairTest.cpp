#include "installer/DpkgRepair.h"
#include "installer/DpkgState.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "TestOutput.h"

namespace {

namespace fs = std::filesystem;

// A dpkg admin directory of our own, and a stand-in for the commands: it
// records each line and lets the test decide what dpkg's files look like after it.
class DpkgRepairTest : public testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(testing::TempDir()) / ("zorvi-dpkg-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "updates");
        current = this;
    }
    void TearDown() override {
        fs::remove_all(dir);
        current = nullptr;
    }

    struct Package {
        std::string name, status;
    };
    void writeStatus(const std::vector<Package>& packages, const std::string& extra = "") {
        std::ofstream f(dir / "status");
        for (auto& p : packages)
            f << "Package: " << p.name << "\nStatus: " << p.status << "\nPriority: optional\n"
              << "Version: 1.0\nDescription: stand-in\n a continuation line\n\n";
        f << extra;
    }
    void journal(const std::string& name) { std::ofstream(dir / "updates" / name) << "Package: x\n"; }

    CStringView path() const { return CStringView::fromCString(pathText.c_str()); }

    bool repair() {
        pathText = dir.string();
        bool ok = false;
        log = captureStdout([&] { ok = Installer::repairInterruptedDpkg(path(), record); });
        return ok;
    }

    static bool record(CStringView line) {
        std::string text(line.data(), line.size());
        current->commands.push_back(text);
        auto effect = current->effects.find(text);
        if (effect != current->effects.end()) effect->second();
        return true;
    }

    static inline DpkgRepairTest* current = nullptr;
    fs::path dir;
    std::string pathText;
    std::string log;
    std::vector<std::string> commands;
    std::map<std::string, std::function<void()>> effects;
};

const std::string kConfigure = "dpkg --force-confdef --force-confold --configure -a";
const std::string kKeep = " -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold";

TEST_F(DpkgRepairTest, AConsistentDatabaseRunsNothing) {
    writeStatus({{"quillet", "install ok installed"},
                 {"verdanta", "purge ok not-installed"},
                 {"qd-flash", "deinstall ok config-files"},
                 {"zlinker", "hold ok installed"}});
    journal("tmp.i"); // dpkg's scratch file, not a pending entry
    EXPECT_TRUE(repair());
    EXPECT_EQ(commands, std::vector<std::string>{});
    EXPECT_EQ(log, "");
}

TEST_F(DpkgRepairTest, AMissingDatabaseHasNothingToRepair) {
    pathText = (dir / "absent").string();
    bool ok = false;
    captureStdout([&] { ok = Installer::repairInterruptedDpkg(path(), record); });
    EXPECT_TRUE(ok);
    EXPECT_TRUE(commands.empty());
}

TEST_F(DpkgRepairTest, PendingJournalIsFinishedByConfigureAll) {
    writeStatus({{"quillet", "install ok installed"}});
    journal("0000");
    journal("0001");
    effects[kConfigure] = [&] { fs::remove(dir / "updates" / "0000"), fs::remove(dir / "updates" / "0001"); };
    EXPECT_TRUE(repair());
    EXPECT_EQ(commands, std::vector<std::string>{kConfigure});
    EXPECT_NE(log.find("journal=2"), std::string::npos) << log;
}

TEST_F(DpkgRepairTest, HalfStatesAreConfiguredAndHalfInstalledOnesReinstalled) {
    writeStatus({{"qd-log-mqtt", "install ok half-configured"},
                 {"mosquitto", "install ok unpacked"},
                 {"python3", "install reinstreq half-installed"},
                 {"zlinker", "install ok triggers-pending"},
                 {"corastel", "install ok installed"}});
    // Like the real one: configure -a finishes all but the half-installed package.
    effects[kConfigure] = [&] {
        writeStatus({{"qd-log-mqtt", "install ok installed"},
                     {"mosquitto", "install ok installed"},
                     {"python3", "install reinstreq half-installed"},
                     {"zlinker", "install ok installed"}});
    };
    const std::string reinstall = "apt-get -qy install --reinstall python3" + kKeep;
    effects[reinstall] = [&] { writeStatus({{"python3", "install ok installed"}}); };
    EXPECT_TRUE(repair());
    EXPECT_EQ(commands, (std::vector<std::string>{kConfigure, reinstall}));
}

TEST_F(DpkgRepairTest, ARemovalCutOffIsFinishedNotUndone) {
    writeStatus({{"quillet", "purge ok half-installed"}, {"verdanta", "deinstall reinstreq half-installed"}});
    const std::string purge = "dpkg --force-remove-reinstreq --purge quillet";
    const std::string remove = "dpkg --force-remove-reinstreq --remove verdanta";
    effects[remove] = [&] {
        writeStatus({{"quillet", "purge ok half-installed"}, {"verdanta", "deinstall ok config-files"}});
    };
    EXPECT_FALSE(repair()); // the purge did nothing here: quillet is still half-installed
    EXPECT_EQ(commands, (std::vector<std::string>{kConfigure, purge, remove}));
    EXPECT_NE(log.find("still not consistent"), std::string::npos) << log;
}

TEST_F(DpkgRepairTest, AFailedReinstallFailsTheRepair) {
    writeStatus({{"python3", "install ok half-installed"}});
    EXPECT_FALSE(repair());
    EXPECT_EQ(commands, (std::vector<std::string>{kConfigure, "apt-get -qy install --reinstall python3" + kKeep}));
}

TEST_F(DpkgRepairTest, NamesThatAreNoPackageNamesNeverReachTheShell) {
    writeStatus({{"x;reboot", "install ok half-installed"}, {"Upper", "install reinstreq installed"}});
    EXPECT_FALSE(repair());
    EXPECT_EQ(commands, std::vector<std::string>{kConfigure});
}

TEST_F(DpkgRepairTest, OnlyWholeFieldLinesAtTheStartOfALineCount) {
    std::string longLine(5000, 'x');
    writeStatus({},
                "Package: quillet\nDescription: " + longLine + "\n Status: install ok half-installed\n"
                "Status: install ok installed\n\n"
                "Package: " + longLine + "\nStatus: install ok installed\n\n"
                "Package: zlinker\nStatus: install ok half-configured"); // no newline at the end
    Installer::DpkgState state;
    pathText = dir.string();
    captureStdout([&] { state = Installer::DpkgState::read(path()); });
    EXPECT_EQ(state.unfinished, 1u);
    EXPECT_EQ(state.reinstall.total, 0u);
    EXPECT_EQ(state.unusable, 0u);
}

TEST_F(DpkgRepairTest, ManyHalfInstalledPackagesAreListedUpToTheLimitAndAllCounted) {
    std::vector<Package> many;
    for (int i = 0; i < 20; ++i) many.push_back({"pkg" + std::to_string(i), "install reinstreq half-installed"});
    writeStatus(many);
    Installer::DpkgState state;
    pathText = dir.string();
    state = Installer::DpkgState::read(path());
    EXPECT_EQ(state.reinstall.total, 20u);
    EXPECT_EQ(state.reinstall.count, Installer::DpkgState::kMaxListed);
    EXPECT_STREQ(state.reinstall.names[15], "pkg15");
    EXPECT_FALSE(repair()); // the stand-in mended nothing
}

} // namespace
