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

TEST(Options, SubcommandsMapToTheirRequestWords) {
    struct {
        const char* name;
        Options::Action action;
        const char* word;
    } cases[] = {
        {"status", Options::Action::Status, ""},
        {"watch", Options::Action::Watch, ""},
        {"upgrade", Options::Action::Start, "upgrade"},
        {"erase-upgrade", Options::Action::Start, "erase_upgrade"},
        {"revert", Options::Action::Ask, "revert"},
        {"cancel", Options::Action::Ask, "cancel"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse({c.name});
        ASSERT_EQ(p.outcome, Options::Outcome::Run) << c.name;
        EXPECT_EQ(p.options.action, c.action) << c.name;
        EXPECT_EQ(p.options.requestWord, c.word) << c.name;
    }
}

TEST(Options, DefaultsAndOptionsInAnyPosition) {
    const Parsed d = parse({"status"});
    EXPECT_EQ(d.options.socketPath, "/var/run/verdanta/zorvi-upgrade/socket");
    EXPECT_FALSE(d.options.json);
    EXPECT_EQ(d.options.timeoutOr(2.0), 2.0);

    const Parsed p = parse({"--json", "watch", "--socket", "/tmp/s", "--timeout=0.5"});
    ASSERT_EQ(p.outcome, Options::Outcome::Run) << p.error;
    EXPECT_TRUE(p.options.json);
    EXPECT_EQ(p.options.socketPath, "/tmp/s");
    EXPECT_EQ(p.options.timeoutOr(2.0), 0.5);

    // 0 is a real value (no limit), not "unset".
    EXPECT_EQ(parse({"status", "--timeout", "0"}).options.timeoutOr(2.0), 0.0);
    EXPECT_EQ(parse({"--socket=/x", "status"}).options.socketPath, "/x");
}

TEST(Options, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(parse({"--help"}).outcome, Options::Outcome::Help);
    EXPECT_EQ(parse({"status", "-h"}).outcome, Options::Outcome::Help);
    EXPECT_EQ(parse({"--version"}).outcome, Options::Outcome::Version);
    EXPECT_EQ(parse({"-V", "status"}).outcome, Options::Outcome::Version);
}

TEST(Options, UsageErrorsSayWhat) {
    struct {
        std::initializer_list<const char*> args;
        const char* says;
    } cases[] = {
        {{}, "no subcommand"},
        {{"frobnicate"}, "unknown subcommand 'frobnicate'"},
        {{"erase_upgrade"}, "unknown subcommand"},
        {{"status", "watch"}, "unexpected argument 'watch'"},
        {{"status", "--verbose"}, "unknown option '--verbose'"},
        {{"status", "--socket"}, "needs a value"},
        {{"status", "--socket="}, "needs a path"},
        {{"status", "--timeout", "-1"}, "invalid timeout"},
        {{"status", "--timeout", "soon"}, "invalid timeout"},
        {{"status", "--timeout", "nan"}, "invalid timeout"},
        {{"status", "--timeout", "1e9"}, "invalid timeout"},
        {{"status", "--json=yes"}, "unknown option"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.outcome, Options::Outcome::UsageError) << c.says;
        EXPECT_NE(p.error.find(c.says), std::string::npos) << p.error;
    }
}

TEST(Options, DoubleDashEndsOptions) {
    const Parsed p = parse({"--", "status"});
    EXPECT_EQ(p.outcome, Options::Outcome::Run);
    EXPECT_EQ(parse({"--", "--json"}).outcome, Options::Outcome::UsageError);
}

} // namespace
