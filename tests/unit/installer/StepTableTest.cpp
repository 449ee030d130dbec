#include "installer/Variant.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Installer::Procedure;
using Installer::step_impl;

std::string str(CStringView v) { return std::string(v.data(), v.size()); }

// One step as the tests' oracle (tests/oracle/procedures.tsv) lays it out.
struct Row {
    std::string key;
    std::string text;
    std::string progress; // as the service reports it: "20.860"
    std::string command;  // "" for the two command-less steps
};

// The oracle's rows of `procedure`, in step order; a failure and no rows when
// the file cannot be read or is out of order.
std::vector<Row> oracle(const std::string& procedure) {
    std::vector<Row> rows;
    std::ifstream in(ZORVI_PROCEDURES_ORACLE);
    if (!in) {
        ADD_FAILURE() << "cannot read " << ZORVI_PROCEDURES_ORACLE;
        return rows;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        if (fields.size() != 6) {
            ADD_FAILURE() << "not six fields: " << line;
            return {};
        }
        if (fields[0] != procedure) continue;
        if (fields[1] != std::to_string(rows.size())) {
            ADD_FAILURE() << "step out of order: " << line;
            return {};
        }
        rows.push_back({fields[2], fields[3], fields[4], fields[5]});
    }
    return rows;
}

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
    char progress[16];
    std::snprintf(progress, sizeof progress, "%.3f", s.progress);
    EXPECT_EQ(progress, row.progress) << "step " << i;
    EXPECT_DOUBLE_EQ(s.progress, std::strtod(row.progress.c_str(), nullptr)) << "step " << i;
}

void expectTable(const Procedure& p, const char* name) {
    EXPECT_EQ(str(p.name), name);
    const std::vector<Row> rows = oracle(name);
    ASSERT_FALSE(rows.empty()) << "the oracle has no " << name;
    ASSERT_EQ(p.steps.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) expectRow(p, i, rows[i]);
}

TEST(EraseTable, EveryRowAsPlanned) { expectTable(Installer::Erase::kProcedure, "erase_upgrade"); }

TEST(MigrationTable, EveryRowAsPlanned) { expectTable(Installer::Migration::kProcedure, "migration_upgrade"); }

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
