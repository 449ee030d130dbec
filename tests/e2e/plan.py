"""The two procedures as the hub's upgrade plan lays them out: step key, text,
progress reported while the step is current, and the command it runs."""

_DATA = "/usr/share/verdanta/zorvi-upgrade"
_KEYRING = ("apt-key --keyring /etc/apt/trusted.gpg.d/verdanta.gpg add "
            + _DATA + "/zorvi/verdanta.key.asc")
_SVC = "svc -d /etc/service/zlinker; svc -d /etc/service/zipgateway"

ERASE = [
    ("not_started", "Not started", "0.000", None),
    ("prepare", "Preparing update", "0.000",
     "cp " + _DATA + "/apt-preferences /etc/apt/preferences.d/zorvi-upgrade"),
    ("install_tunnel", "Installing diagnostic tools", "0.215", "apt-get -qy install qdtunnel"),
    ("remove_old_quillet", "Disabling updates", "2.366", "dpkg -P verdanta quillet"),
    ("replace_apt_keys", "Updating software sources", "2.796", "apt-key del 7C31D0B9; " + _KEYRING),
    ("replace_apt_sources", "Updating software sources", "3.226",
     "cp " + _DATA + "/zorvi/verdanta.list /etc/apt/sources.list.d/verdanta.list"),
    ("stop_zwave_services", "Stopping Z-Wave adapter", "3.441", _SVC),
    ("apt_update", "Preparing software installation", "3.656", "apt-get update"),
    ("install_mqtt_broker", "Installing MQTT broker", "5.806", "apt-get -qy install mosquitto"),
    ("install_mqtt_logger", "Installing MQTT logger", "20.860", "apt-get -qy install qd-log-mqtt"),
    ("install_python", "Installing Python", "26.237", "apt-get -qy install python3"),
    ("uninstall_old_zwave_flasher", "Preparing to flash Z-Wave firmware", "55.269", "dpkg -P qd-flash"),
    ("install_zwave_flasher", "Preparing to flash Z-Wave firmware", "55.699", "apt-get -qy install qd-zw-flash"),
    ("flash_erase_zwave_bridge", "Flashing Z-Wave firmware", "57.849",
     "qd-zw-flash --reset-pin 22 --bridge --erase-nvm -- /dev/ttyS0"),
    ("install_zip_gateway", "Installing Z/IP gateway", "69.032", "apt-get -y install zipgateway"),
    ("install_zwave_adapter", "Installing Z-Wave adapter", "73.333", "apt-get -qy install zlinker"),
    ("upgrade_selftest", "Updating self-test software", "77.634", "apt-get -qy --force-yes install qd-selftest"),
    ("upgrade_serial_driver", "Updating drivers", "79.785", "apt-get -qy --force-yes install qd-hardware"),
    ("stop_zwave_services", "Stopping Z-Wave software", "85.161", _SVC),
    ("upgrade_core", "Updating core hub software", "85.376", "apt-get -qy --force-yes install corastel"),
    ("install_new_quillet", "Updating hub update system", "90.753", "apt-get -qy install quillet"),
    ("install_new_verdanta", "Installing extra software", "92.903", "apt-get -qy install verdanta"),
    ("mark_packages", "Cleaning up", "93.118",
     "apt-mark auto zipgateway zlinker corastel quillet mosquitto python3 qdtunnel"),
    ("cleanup", "Cleaning up", "93.333", "rm -f /etc/apt/preferences.d/zorvi-upgrade"),
    ("erase_zwave_network", "Factory resetting Z-Wave chip", "93.548",
     "qd-zw-flash --reset-pin 22 --erase-nvm -- /dev/ttyS0"),
    ("reboot", "Rebooting", "100.000", "sleep 10; reboot"),
    ("completed", "Completed", "100.000", None),
]

MIGRATION = [row for i, row in enumerate(ERASE) if i not in (18, 24)]
MIGRATION[4] = ("replace_apt_keys", "Updating software sources", "2.796", "apt-key del 4E96A2F1; " + _KEYRING)
MIGRATION[13] = ("flash_migrate_zwave_bridge", "Flashing Z-Wave firmware", "57.849",
                 "qd-zw-flash --reset-pin 22 --bridge --migrate-nvm -- /dev/ttyS0")


def notifications(name, plan):
    """What every client sees after each successful step: the step that runs next."""
    return ["nfy;%s;%s;%s;;%s" % (name, progress, key, text) for key, text, progress, _ in plan[1:]]


def commands(plan):
    return [command for _, _, _, command in plan if command]
