#include "ProgressBar.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressBar, ShowsNamePercentElapsedAndStepWhenThereIsRoom) {
    const std::string line = ProgressBar::render("erase_upgrade", 45.3, "Installing Python", 7000, 100);
    EXPECT_EQ(line.rfind("erase_upgrade [", 0), 0u) << line;
    EXPECT_NE(line.find(" 45.3%"), std::string::npos) << line;
    EXPECT_NE(line.find("0:07"), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 17), "Installing Python") << line;
}

TEST(ProgressBar, FillMatchesThePercentage) {
    auto fill = [](double percent) {
        const std::string line = ProgressBar::render("p", percent, "", 0, 80);
        const size_t open = line.find('['), close = line.find(']');
        const std::string bar = line.substr(open + 1, close - open - 1);
        return std::make_pair(std::count(bar.begin(), bar.end(), '#'), bar.size());
    };
    auto [none, width] = fill(0);
    EXPECT_EQ(none, 0);
    EXPECT_EQ(fill(100).first, static_cast<long>(width));
    EXPECT_EQ(fill(50).first, static_cast<long>(width / 2));
    // Out-of-range values are drawn at the nearest end, never past it.
    EXPECT_EQ(fill(250).first, static_cast<long>(width));
    EXPECT_EQ(fill(-5).first, 0);
}

TEST(ProgressBar, NeverReachesTheLastColumn) {
    const std::string longest = "Preparing to flash Z-Wave firmware";
    for (int columns = 1; columns <= 140; ++columns) {
        const std::string line = ProgressBar::render("migration_upgrade", 100.0, longest, 3600000, columns);
        const int limit = std::max(columns, ProgressBar::kMinColumns) - 1;
        EXPECT_LE(static_cast<int>(line.size()), limit) << columns;
        EXPECT_NE(line.find("100.0%"), std::string::npos) << columns << ": " << line;
    }
}

TEST(ProgressBar, LongStepTextIsCutVisibly) {
    const std::string line = ProgressBar::render("erase_upgrade", 55.7, "Preparing to flash Z-Wave firmware", 0, 60);
    EXPECT_EQ(line.substr(line.size() - 3), "...") << line;
    EXPECT_NE(line.find("Preparing"), std::string::npos) << line;
}

TEST(ProgressBar, StepTextWinsOverALongBarAt80Columns) {
    const std::string line = ProgressBar::render("erase_upgrade", 55.7, "Preparing to flash Z-Wave firmware", 0, 80);
    EXPECT_NE(line.find("Preparing to flash Z-Wave firmware"), std::string::npos) << line;
}

TEST(ProgressBar, ElapsedTime) {
    EXPECT_EQ(ProgressBar::elapsed(0), "0:00");
    EXPECT_EQ(ProgressBar::elapsed(59999), "0:59");
    EXPECT_EQ(ProgressBar::elapsed(754000), "12:34");
    EXPECT_EQ(ProgressBar::elapsed(3723000), "1:02:03");
    EXPECT_EQ(ProgressBar::elapsed(-5), "0:00");
}

} // namespace
