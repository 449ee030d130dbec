#include "Options.h"

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Parsed {
    Options::Outcome outcome;
    Options options;
    std::string error;
};

Parsed parse(std::initializer_list<const char*> args) {
    std::vector<std::string> words{"zorvi-upgradectl"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    Parsed p;
    p.outcome = Options::parse(static_cast<int>(argv.size()), argv.data(), p.options, p.error);
    return p;
}

TEST(Options, SubcommandsSendTheServicesWords) {
    EXPECT_EQ(parse({"erase-upgrade"}).options.requestWord, "erase_upgrade");
    EXPECT_EQ(parse({"upgrade"}).options.requestWord, "upgrade");
    EXPECT_EQ(parse({"cancel"}).options.action, Options::Action::Ask);
    EXPECT_EQ(parse({"watch"}).options.requestWord, "");
}

TEST(Options, OptionsInAnyPositionAndEitherForm) {
    const Parsed p = parse({"--json", "watch", "--socket", "/tmp/s", "--timeout=0.5"});
    ASSERT_EQ(p.outcome, Options::Outcome::Run) << p.error;
    EXPECT_TRUE(p.options.json);
    EXPECT_EQ(p.options.socketPath, "/tmp/s");
    EXPECT_EQ(p.options.timeoutOr(2.0), 0.5);
    EXPECT_EQ(parse({"status"}).options.timeoutOr(2.0), 2.0);
    // 0 is a real value (no limit), not "unset".
    EXPECT_EQ(parse({"status", "--timeout", "0"}).options.timeoutOr(2.0), 0.0);
    EXPECT_EQ(parse({"status", "-V"}).outcome, Options::Outcome::Version);
}

TEST(Options, UsageErrorsSayWhat) {
    struct {
        std::initializer_list<const char*> args;
        const char* says;
    } cases[] = {
        {{}, "no subcommand"},
        {{"erase_upgrade"}, "unknown subcommand 'erase_upgrade'"},
        {{"status", "watch"}, "unexpected argument 'watch'"},
        {{"status", "--verbose"}, "unknown option '--verbose'"},
        {{"status", "--socket"}, "needs a value"},
        {{"status", "--socket="}, "needs a path"},
        {{"status", "--timeout", "-1"}, "invalid timeout"},
        {{"status", "--timeout", "soon"}, "invalid timeout"},
        {{"status", "--timeout", "nan"}, "invalid timeout"},
        {{"status", "--timeout", "1e9"}, "invalid timeout"},
        {{"--", "--json"}, "unknown subcommand '--json'"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.outcome, Options::Outcome::UsageError) << c.says;
        EXPECT_NE(p.error.find(c.says), std::string::npos) << p.error;
    }
}

} // namespace
