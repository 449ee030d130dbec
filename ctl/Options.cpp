#include "Options.h"

#include <cmath>
#include <cstdlib>
#include <iterator>

namespace {

struct Subcommand {
    const char* name;
    const char* requestWord;
    Options::Action action;
};

constexpr Subcommand kSubcommands[] = {
    {"status", "", Options::Action::Status},
    {"watch", "", Options::Action::Watch},
    {"upgrade", ClientProtocol::kUpgrade, Options::Action::Start},
    {"erase-upgrade", ClientProtocol::kEraseUpgrade, Options::Action::Start},
    {"revert", ClientProtocol::kRevert, Options::Action::Ask},
    {"cancel", ClientProtocol::kCancel, Options::Action::Ask},
};

// A day: longer waits are almost certainly a typo, and the value must fit poll's int milliseconds.
constexpr double kMaxTimeout = 86400.0;

bool parseSeconds(const std::string& text, double& seconds) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value < 0 || value > kMaxTimeout) return false;
    seconds = value;
    return true;
}

} // namespace

Options::Outcome Options::parse(int argc, char** argv, Options& out, std::string& error) {
    bool optionsEnded = false;
    bool haveSubcommand = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--help" || arg == "-h") return Outcome::Help;
            if (arg == "--version" || arg == "-V") return Outcome::Version;
            if (arg == "--json") {
                out.json = true;
                continue;
            }
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(0, eq);
            if (name != "--socket" && name != "--timeout") {
                error = "unknown option '" + arg + "'";
                return Outcome::UsageError;
            }
            std::string value;
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = "option '" + name + "' needs a value";
                return Outcome::UsageError;
            }
            if (!out.take(name, value, error)) return Outcome::UsageError;
            continue;
        }
        if (haveSubcommand) {
            error = "unexpected argument '" + arg + "'";
            return Outcome::UsageError;
        }
        if (!out.setSubcommand(arg, error)) return Outcome::UsageError;
        haveSubcommand = true;
    }
    if (!haveSubcommand) {
        error = "no subcommand given";
        return Outcome::UsageError;
    }
    return Outcome::Run;
}

bool Options::take(const std::string& option, const std::string& value, std::string& error) {
    if (option == "--socket") {
        if (value.empty()) {
            error = "option '--socket' needs a path";
            return false;
        }
        socketPath = value;
        return true;
    }
    if (!parseSeconds(value, timeout)) {
        error = "invalid timeout '" + value + "': expected seconds from 0 to 86400";
        return false;
    }
    return true;
}

bool Options::setSubcommand(const std::string& word, std::string& error) {
    for (const Subcommand& s : kSubcommands) {
        if (word == s.name) {
            requestWord = s.requestWord;
            action = s.action;
            return true;
        }
    }
    error = "unknown subcommand '" + word + "'";
    return false;
}
