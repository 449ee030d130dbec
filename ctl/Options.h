#pragma once

#include <string>

#include "protocol/ClientProtocol.h"

// The command line, parsed. Options may stand before or after the subcommand,
// as "--socket PATH" or "--socket=PATH"; "--" ends the options.
class Options {
public:
    enum class Action { Status, Watch, Start, Ask };
    enum class Outcome { Run, Help, Version, UsageError };

    static constexpr double kUnset = -1.0;

    // Fills `out`; on UsageError, `error` says what was wrong.
    static Outcome parse(int argc, char** argv, Options& out, std::string& error);

    Action action = Action::Status;
    std::string requestWord;  // on the wire: "erase_upgrade"; empty for status and watch
    std::string socketPath = ClientProtocol::kSocketPath;
    bool json = false;
    double timeout = kUnset;  // seconds; 0 waits for ever; kUnset: each wait's default

    // The timeout for a wait whose own default is `fallback` (0 = for ever).
    double timeoutOr(double fallback) const { return timeout == kUnset ? fallback : timeout; }

private:
    bool take(const std::string& option, const std::string& value, std::string& error);
    bool setSubcommand(const std::string& word, std::string& error);
};
