#include "installer/migration/Step.h"

#include <iterator>

#include "installer/DpkgState.h"

namespace Installer::Migration {

namespace {

constexpr step_impl kSteps[] = {
    {0, "not_started", "Not started", 0.000, ""},
    {1, "prepare", "Preparing update", 0.000,
     "cp /usr/share/verdanta/zorvi-upgrade/apt-preferences /etc/apt/preferences.d/zorvi-upgrade"},
    {2, "install_tunnel", "Installing diagnostic tools", 0.215, "apt-get -qy install qdtunnel"},
    {3, "remove_old_quillet", "Disabling updates", 2.366, "dpkg -P verdanta quillet"},
    {4, "replace_apt_keys", "Updating software sources", 2.796,
     "apt-key del 4E96A2F1; apt-key --keyring /etc/apt/trusted.gpg.d/verdanta.gpg add "
     "/usr/share/verdanta/zorvi-upgrade/zorvi/verdanta.key.asc"},
    {5, "replace_apt_sources", "Updating software sources", 3.226,
     "cp /usr/share/verdanta/zorvi-upgrade/zorvi/verdanta.list /etc/apt/sources.list.d/verdanta.list"},
    {6, "stop_zwave_services", "Stopping Z-Wave adapter", 3.441,
     "svc -d /etc/service/zlinker; svc -d /etc/service/zipgateway"},
    {7, "apt_update", "Preparing software installation", 3.656, "apt-get update"},
    {8, "install_mqtt_broker", "Installing MQTT broker", 5.806, "apt-get -qy install mosquitto"},
    {9, "install_mqtt_logger", "Installing MQTT logger", 20.860, "apt-get -qy install qd-log-mqtt"},
    {10, "install_python", "Installing Python", 26.237, "apt-get -qy install python3"},
    {11, "uninstall_old_zwave_flasher", "Preparing to flash Z-Wave firmware", 55.269, "dpkg -P qd-flash"},
    {12, "install_zwave_flasher", "Preparing to flash Z-Wave firmware", 55.699, "apt-get -qy install qd-zw-flash"},
    {13, "flash_migrate_zwave_bridge", "Flashing Z-Wave firmware", 57.849,
     "qd-zw-flash --reset-pin 22 --bridge --migrate-nvm -- /dev/ttyS0"},
    {14, "install_zip_gateway", "Installing Z/IP gateway", 69.032, "apt-get -y install zipgateway"},
    {15, "install_zwave_adapter", "Installing Z-Wave adapter", 73.333, "apt-get -qy install zlinker"},
    {16, "upgrade_selftest", "Updating self-test software", 77.634, "apt-get -qy --force-yes install qd-selftest"},
    {17, "upgrade_serial_driver", "Updating drivers", 79.785, "apt-get -qy --force-yes install qd-hardware"},
    {18, "upgrade_core", "Updating core hub software", 85.376, "apt-get -qy --force-yes install corastel"},
    {19, "install_new_quillet", "Updating hub update system", 90.753, "apt-get -qy install quillet"},
    {20, "install_new_verdanta", "Installing extra software", 92.903, "apt-get -qy install verdanta"},
    {21, "mark_packages", "Cleaning up", 93.118,
     "apt-mark auto zipgateway zlinker corastel quillet mosquitto python3 qdtunnel"},
    {22, "cleanup", "Cleaning up", 93.333, "rm -f /etc/apt/preferences.d/zorvi-upgrade"},
    {23, "reboot", "Rebooting", 100.000, "sleep 10; reboot"},
    {24, "completed", "Completed", 100.000, ""},
};

static_assert(std::size(kSteps) == kFinalStep + 1);
static_assert(numberedInOrder(kSteps));

} // namespace

const Procedure kProcedure = {"migration_upgrade", View<const step_impl>(kSteps), kDpkgDirectory};

} // namespace Installer::Migration
