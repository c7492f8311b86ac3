// Finding the entry a name means, and the progress texts, in process.

#include <gtest/gtest.h>

#include "host/Choices.hpp"
#include "host/ProgressDisplay.hpp"

namespace galvoria::host {
namespace {

const std::vector<Choice> folders = {
    {"fld-1", "Ceremony"}, {"fld-2", "Cafe\u0301"}, {"fld-3", "ceremony"}, {"fld-4", "Ceremony"}, {"Reception", "x"}};
const ChoiceKind folderKind{"folder", "folders"};

struct Lookup {
    std::string wanted;
    std::optional<std::size_t> index;
    std::string problemStart;
};
// Test names and failure texts show the case, not its bytes.
void PrintTo(const Lookup& c, std::ostream* out) { *out << c.wanted; }

class Resolve : public ::testing::TestWithParam<Lookup> {};

TEST_P(Resolve, IdentifierThenExactNameThenLooseName) {
    const auto found = resolveChoice(folders, GetParam().wanted, folderKind, "in Personal");
    EXPECT_EQ(found.index, GetParam().index);
    EXPECT_TRUE(found.problem.starts_with(GetParam().problemStart)) << found.problem;
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, Resolve,
    ::testing::Values(Lookup{"fld-3", 2, ""},
                      // An identifier wins over a title that reads the same.
                      Lookup{"Reception", 4, ""}, Lookup{"ceremony", 2, ""}, Lookup{"Café", 1, ""},
                      Lookup{"CAFÉ", 1, ""}, Lookup{"cafe\u0301", 1, ""},
                      Lookup{"Ceremony", std::nullopt,
                             "\"Ceremony\" names 2 folders in Personal; give the identifier of one of them:\n"
                             "  Ceremony (fld-1)\n  Ceremony (fld-4)"},
                      Lookup{"CEREMONY", std::nullopt, "\"CEREMONY\" names 3 folders in Personal"},
                      Lookup{"Cafe", std::nullopt,
                             "there is no folder \"Cafe\" in Personal; the folders there are:\n"
                             "  Ceremony (fld-1)\n"},
                      Lookup{"", std::nullopt, "there is no folder \"\""}));

TEST(ResolveNothing, SaysThereAreNone) {
    EXPECT_EQ(resolveChoice({}, "x", folderKind, "in Personal").problem,
              "there is no folder \"x\" in Personal: there are no folders there");
}

TEST(ProgressTexts, SizesRatesAndDurations) {
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(999), "999 B");
    EXPECT_EQ(formatBytes(1500), "1.5 kB");
    EXPECT_EQ(formatBytes(12'345'678), "12 MB");
    EXPECT_EQ(formatRate(2'500'000), "2.5 MB/s");
    EXPECT_EQ(formatDuration(0.4), "0:00");
    EXPECT_EQ(formatDuration(65), "1:05");
    EXPECT_EQ(formatDuration(3723), "1:02:03");
    EXPECT_EQ(formatDuration(-1), "--:--");
    EXPECT_EQ(formatDuration(std::numeric_limits<double>::infinity()), "--:--");
}

// The columns a line takes on a terminal, counting a wide character twice.
std::size_t columns(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) continue;
        count += byte >= 0xF0 ? 2 : 1;  // the emoji in these names are wide
    }
    return count;
}

TEST(ProgressBar, FitsEveryWidthAndCutsOnlyWholeCharacters) {
    ProgressSnapshot snapshot{1, 3, 400, 1200, "Portraits 📷 Été à Montréal, final selects.jpg", 200.0, 4.0};
    for (const int width : {20, 33, 40, 60, 79, 120}) {
        const std::string line = progressBarLine(snapshot, width);
        EXPECT_LE(columns(line), static_cast<std::size_t>(width)) << line;
        // The bar and the file name give way first: the counts stay whole down to 40 columns.
        if (width >= 40) {
            EXPECT_NE(line.find(" 33%  file 2 of 3  200 B/s  ETA 0:04"), std::string::npos) << width << ": " << line;
        }
    }
    const std::string wide = progressBarLine(snapshot, 160);
    EXPECT_EQ(wide,
              "[########----------------]  33%  file 2 of 3  200 B/s  ETA 0:04  "
              "Portraits 📷 Été à Montréal, final selects.jpg");
    EXPECT_TRUE(progressBarLine(snapshot, 60).ends_with("…"));
}

TEST(ProgressBar, BeforeTheFirstReportAndAtTheEnd) {
    EXPECT_EQ(progressBarLine({0, 2, 0, 10, "a.jpg", std::nullopt, std::nullopt}, 100),
              "[------------------------]   0%  file 1 of 2  -- B/s  ETA --:--  a.jpg");
    EXPECT_EQ(progressBarLine({2, 2, 10, 10, "", 5.0, 0.0}, 100),
              "[########################] 100%  2 of 2 files  5 B/s  ETA 0:00");
    // Empty files: progress counts files.
    EXPECT_NE(progressBarLine({1, 2, 0, 0, "b.jpg", 0.0, std::nullopt}, 100).find(" 50%"), std::string::npos);
}

// The line per report that a publish without a terminal prints is checked on the publish command.

}  // namespace
}  // namespace galvoria::host
