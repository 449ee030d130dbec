#include "installer/Variant.h"

#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Installer::Procedure;
using Installer::step_impl;

std::string str(CStringView v) { return std::string(v.data(), v.size()); }

struct Row {
    const char* key;
    const char* text;
    const char* command; // "" for the two command-less steps
};

// The erase procedure as the hub's upgrade plan lays it out.
const Row kEraseRows[] = {
    {"not_started", "Not started", ""},
    {"prepare", "Preparing update",
     "cp /usr/share/verdanta/zorvi-upgrade/apt-preferences /etc/apt/preferences.d/zorvi-upgrade"},
    {"install_tunnel", "Installing diagnostic tools", "apt-get -qy install qdtunnel"},
    {"remove_old_quillet", "Disabling updates", "dpkg -P verdanta quillet"},
    {"replace_apt_keys", "Updating software sources",
     "apt-key del 7C31D0B9; apt-key --keyring /etc/apt/trusted.gpg.d/verdanta.gpg add "
     "/usr/share/verdanta/zorvi-upgrade/zorvi/verdanta.key.asc"},
    {"replace_apt_sources", "Updating software sources",
     "cp /usr/share/verdanta/zorvi-upgrade/zorvi/verdanta.list /etc/apt/sources.list.d/verdanta.list"},
    {"stop_zwave_services", "Stopping Z-Wave adapter", "svc -d /etc/service/zlinker; svc -d /etc/service/zipgateway"},
    {"apt_update", "Preparing software installation", "apt-get update"},
    {"install_mqtt_broker", "Installing MQTT broker", "apt-get -qy install mosquitto"},
    {"install_mqtt_logger", "Installing MQTT logger", "apt-get -qy install qd-log-mqtt"},
    {"install_python", "Installing Python", "apt-get -qy install python3"},
    {"uninstall_old_zwave_flasher", "Preparing to flash Z-Wave firmware", "dpkg -P qd-flash"},
    {"install_zwave_flasher", "Preparing to flash Z-Wave firmware", "apt-get -qy install qd-zw-flash"},
    {"flash_erase_zwave_bridge", "Flashing Z-Wave firmware",
     "qd-zw-flash --reset-pin 22 --bridge --erase-nvm -- /dev/ttyS0"},
    {"install_zip_gateway", "Installing Z/IP gateway", "apt-get -y install zipgateway"},
    {"install_zwave_adapter", "Installing Z-Wave adapter", "apt-get -qy install zlinker"},
    {"upgrade_selftest", "Updating self-test software", "apt-get -qy --force-yes install qd-selftest"},
    {"upgrade_serial_driver", "Updating drivers", "apt-get -qy --force-yes install qd-hardware"},
    {"stop_zwave_services", "Stopping Z-Wave software", "svc -d /etc/service/zlinker; svc -d /etc/service/zipgateway"},
    {"upgrade_core", "Updating core hub software", "apt-get -qy --force-yes install corastel"},
    {"install_new_quillet", "Updating hub update system", "apt-get -qy install quillet"},
    {"install_new_verdanta", "Installing extra software", "apt-get -qy install verdanta"},
    {"mark_packages", "Cleaning up", "apt-mark auto zipgateway zlinker corastel quillet mosquitto python3 qdtunnel"},
    {"cleanup", "Cleaning up", "rm -f /etc/apt/preferences.d/zorvi-upgrade"},
    {"erase_zwave_network", "Factory resetting Z-Wave chip", "qd-zw-flash --reset-pin 22 --erase-nvm -- /dev/ttyS0"},
    {"reboot", "Rebooting", "sleep 10; reboot"},
    {"completed", "Completed", ""},
};

// Accumulated weight, in 465 equal units, done before each of steps 2..26 starts.
const int kEraseWeights[] = {1,   11,  13,  15,  16,  17,  27,  97,  122, 257, 259, 269, 321,
                             341, 361, 371, 396, 397, 422, 432, 433, 434, 435, 465, 465};

void expectRow(const Procedure& p, size_t i, const Row& row) {
    const step_impl& s = p.steps[i];
    EXPECT_EQ(s.step, static_cast<Installer::Step>(i));
    EXPECT_EQ(str(s.key), row.key) << "step " << i;
    EXPECT_EQ(str(s.text), row.text) << "step " << i;
    EXPECT_EQ(str(s.command), row.command) << "step " << i;
    EXPECT_EQ(s.command.c_str()[s.command.size()], '\0');
}

TEST(EraseTable, EveryRowAsPlanned) {
    const Procedure& p = Installer::Erase::kProcedure;
    EXPECT_EQ(str(p.name), "erase_upgrade");
    ASSERT_EQ(p.steps.size(), std::size(kEraseRows));
    for (size_t i = 0; i < std::size(kEraseRows); ++i) expectRow(p, i, kEraseRows[i]);
}

TEST(EraseTable, ProgressIsTheAccumulatedWeightRoundedToThreeDecimals) {
    const Procedure& p = Installer::Erase::kProcedure;
    EXPECT_EQ(p.steps[0].progress, 0.0);
    EXPECT_EQ(p.steps[1].progress, 0.0);
    for (size_t i = 2; i < p.steps.size(); ++i) {
        double expected = std::round(100000.0 * kEraseWeights[i - 2] / 465.0) / 1000.0;
        EXPECT_DOUBLE_EQ(p.steps[i].progress, expected) << "step " << i;
    }
}

// The migration procedure is the erase procedure without the second service
// stop (18) and the final chip erase (24), migrating instead of erasing the
// chip's memory, and removing the other old signing key.
TEST(MigrationTable, IsTheEraseTableLessTwoStepsWithItsOwnFlashAndKey) {
    const Procedure& e = Installer::Erase::kProcedure;
    const Procedure& m = Installer::Migration::kProcedure;
    EXPECT_EQ(str(m.name), "migration_upgrade");
    std::vector<size_t> kept;
    for (size_t i = 0; i < e.steps.size(); ++i)
        if (i != 18 && i != 24) kept.push_back(i);
    ASSERT_EQ(m.steps.size(), kept.size());
    for (size_t j = 0; j < kept.size(); ++j) {
        const step_impl& a = m.steps[j];
        const step_impl& b = e.steps[kept[j]];
        EXPECT_EQ(a.step, static_cast<Installer::Step>(j));
        EXPECT_EQ(a.progress, b.progress) << "step " << j;
        EXPECT_EQ(str(a.text), str(b.text)) << "step " << j;
        if (j == 13) {
            EXPECT_EQ(str(a.key), "flash_migrate_zwave_bridge");
            EXPECT_EQ(str(a.command), "qd-zw-flash --reset-pin 22 --bridge --migrate-nvm -- /dev/ttyS0");
        } else if (j == 4) {
            EXPECT_EQ(str(a.key), str(b.key));
            std::string expected = str(b.command);
            expected.replace(expected.find("7C31D0B9"), 8, "4E96A2F1");
            EXPECT_EQ(str(a.command), expected);
        } else {
            EXPECT_EQ(str(a.key), str(b.key)) << "step " << j;
            EXPECT_EQ(str(a.command), str(b.command)) << "step " << j;
        }
    }
}

TEST(Variant, HoldsTheChosenProcedureAtItsStart) {
    Installer::Variant erase{Installer::erase_upgrade_t{}};
    Installer::Variant migration{Installer::migration_upgrade_t{}};
    EXPECT_EQ(str(erase.get().name()), "erase_upgrade");
    EXPECT_EQ(str(migration.get().name()), "migration_upgrade");
    EXPECT_EQ(str(erase.get().stepKey()), "not_started");
    ASSERT_TRUE(erase.get().runNextStep()); // step 0 runs no command
    EXPECT_EQ(str(erase.get().stepKey()), "prepare");
    EXPECT_EQ(str(migration.get().stepKey()), "not_started");
}

TEST(Procedures, CompletedOnlyAtTheFinalStepAndNothingRunsThere) {
    struct Case {
        const Procedure& p;
        size_t finalStep;
    } cases[] = {{Installer::Erase::kProcedure, 26}, {Installer::Migration::kProcedure, 24}};
    for (auto& c : cases) {
        EXPECT_EQ(c.p.steps.size(), c.finalStep + 1);
        EXPECT_EQ(str(c.p.steps[c.finalStep].key), "completed");
        EXPECT_EQ(c.p.steps[c.finalStep].progress, 100.0);
        EXPECT_EQ(str(c.p.steps[c.finalStep - 1].command), "sleep 10; reboot");
        EXPECT_EQ(c.p.steps[c.finalStep - 1].progress, 100.0); // the reboot already reports 100
    }
}

} // namespace
