// Finding the entry a name means, reading back the files a publish left out, and the progress
// texts, in process.

#include <gtest/gtest.h>

#include "host/Choices.hpp"
#include "host/FileOutcomes.hpp"
#include "host/ProgressDisplay.hpp"
#include "host/Terminal.hpp"

namespace galvoria::host {
namespace {

const std::vector<Choice> folders = {{"fld-1", "Ceremony"}, {"fld-2", "Cafe\u0301"}, {"fld-3", "ceremony"},
                                     {"fld-4", "Ceremony"}, {"Reception", "x"},      {"fld-6", "Été"},
                                     {"fld-7", "Ète"}};
const ChoiceKind folderKind{"folder", "folders"};

struct Lookup {
    std::string wanted;
    std::optional<std::size_t> index;
    std::string problemStart;
};

// An identifier wins over a title that reads the same ("Reception"); accents count only when nothing fits
// with them ("Cafe" and after).
TEST(Resolve, IdentifierThenExactNameThenLooseName) {
    for (const auto& [wanted, index, problemStart] : std::vector<Lookup>{
             Lookup{"fld-3", 2, ""}, Lookup{"Reception", 4, ""}, Lookup{"ceremony", 2, ""}, Lookup{"Café", 1, ""},
             Lookup{"CAFÉ", 1, ""}, Lookup{"cafe\u0301", 1, ""},
             Lookup{"Ceremony", std::nullopt,
                    "\"Ceremony\" names 2 folders in Personal; give the identifier of one of them:\n"
                    "  Ceremony (fld-1)\n  Ceremony (fld-4)"},
             Lookup{"CEREMONY", std::nullopt, "\"CEREMONY\" names 3 folders in Personal"}, Lookup{"Cafe", 1, ""},
             Lookup{"cafè", 1, ""}, Lookup{"été", 5, ""},
             Lookup{"ete", std::nullopt, "\"ete\" names 2 folders in Personal"},
             Lookup{"Cafes", std::nullopt,
                    "there is no folder \"Cafes\" in Personal; the folders there are:\n  Ceremony (fld-1)\n"},
             Lookup{"", std::nullopt, "there is no folder \"\""}}) {
        const auto found = resolveChoice(folders, wanted, folderKind, "in Personal");
        EXPECT_EQ(found.index, index) << wanted;
        EXPECT_TRUE(found.problem.starts_with(problemStart)) << found.problem;
    }
    EXPECT_EQ(resolveChoice({}, "x", folderKind, "in Personal").problem,
              "there is no folder \"x\" in Personal: there are no folders there");
}

TEST(ReadFailedFiles, AgainstTheTasksNamesInOrder) {
    using Names = std::vector<std::string>;
    using Failed = std::vector<FailedFile>;
    const Names abc = {"a.jpg", "b.jpg", "c.jpg"};
    const std::string none2 = "None of the 2 files could be published: ";
    for (const auto& [text, names, expected] : std::vector<std::tuple<std::string, Names, std::optional<Failed>>>{
             {"Published 1 of 3 files. Not published: b.jpg (the storage refused the upload: 500), c.jpg (no answer "
              "from the storage).",
              abc, Failed{{1, "the storage refused the upload: 500"}, {2, "no answer from the storage"}}},
             {"None of the 3 files could be published: a.jpg (r1), b.jpg (r2), c.jpg (r3).", abc,
              Failed{{0, "r1"}, {1, "r2"}, {2, "r3"}}},
             {"The file could not be published: b.jpg (internal error).", Names{"b.jpg"},
              Failed{{0, "internal error"}}},
             // Names holding the separators: only the passed names make a reading that takes the whole text; a
             // name that copies an entry reads as the earliest files.
             {"Published 1 of 4 files. Not published: x (a).jpg (r1), y, z.jpg (r2), x (r3).",
              Names{"x", "x (a).jpg", "y, z.jpg", "x"}, Failed{{1, "r1"}, {2, "r2"}, {3, "r3"}}},
             {none2 + "b.jpg (r), c.jpg (r).", Names{"b.jpg (r), c.jpg", "b.jpg", "c.jpg"}, Failed{{0, "r"}}},
             // Texts that are no such list: an unknown name, out of order, no final stop, something after it.
             {none2 + "d.jpg (r).", abc, std::nullopt},
             {none2 + "b.jpg (r), a.jpg (r).", abc, std::nullopt},
             {none2 + "a.jpg (r)", abc, std::nullopt},
             {none2 + "a.jpg (r). More", abc, std::nullopt},
             {"The file a.jpg could not be published.", abc, std::nullopt}}) {
        EXPECT_EQ(failedFilesIn(text, names), expected) << text;
    }
}

TEST(ProgressTexts, SizesRatesAndDurations) {
    EXPECT_EQ((std::vector{formatBytes(999), formatBytes(1500), formatBytes(12'345'678), formatRate(2'500'000)}),
              (std::vector<std::string>{"999 B", "1.5 kB", "12 MB", "2.5 MB/s"}));
    std::vector<std::string> durations;
    for (const double seconds : {0.4, 65.0, 3723.0, -1.0, std::numeric_limits<double>::infinity()})
        durations.push_back(formatDuration(seconds));
    EXPECT_EQ(durations, (std::vector<std::string>{"0:00", "1:05", "1:02:03", "--:--", "--:--"}));
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

TEST(ProgressBar, FitsEveryWidthCutsOnlyWholeCharactersAndShowsEveryStage) {
    ProgressSnapshot snapshot{1, 3, 400, 1200, "Portraits 📷 Été à Montréal, final selects.jpg", 200.0, 4.0, 12.0};
    for (const int width : {20, 33, 44, 60, 79, 120}) {
        const std::string line = progressBarLine(snapshot, width);
        EXPECT_LE(columns(line), static_cast<std::size_t>(width)) << line;
        // The bar and the file name give way first: the counts stay whole down to 44 columns.
        if (width >= 44) {
            EXPECT_NE(line.find(" 33%  file 2 of 3 (0:12)  200 B/s  ETA 0:04"), std::string::npos)
                << width << ": " << line;
        }
    }
    const std::string wide = progressBarLine(snapshot, 160);
    EXPECT_EQ(wide,
              "[########>---------------]  33%  file 2 of 3 (0:12)  200 B/s  ETA 0:04  "
              "Portraits 📷 Été à Montréal, final selects.jpg");
    EXPECT_TRUE(progressBarLine(snapshot, 60).ends_with("…"));
    // Before the first report, at the end, and with empty files, where progress counts files.
    EXPECT_EQ(progressBarLine({0, 2, 0, 10, "a.jpg", std::nullopt, std::nullopt}, 100),
              "[------------------------]   0%  file 1 of 2  -- B/s  ETA --:--  a.jpg");
    EXPECT_EQ(progressBarLine({2, 2, 10, 10, "", 5.0, 0.0}, 100),
              "[########################] 100%  2 of 2 files  5 B/s  ETA 0:00");
    EXPECT_NE(progressBarLine({1, 2, 0, 0, "b.jpg", 0.0, std::nullopt}, 100).find(" 50%"), std::string::npos);
}

// A big file in flight: the mark runs along the part still to go, wrapping round.
TEST(ProgressBar, AMarkMovesWhileAFileIsInFlight) {
    ProgressSnapshot snapshot{0, 1, 0, 100, "big.tif", std::nullopt, std::nullopt, 65.0};
    std::vector<std::string> bars;
    for (const unsigned phase : {0U, 1U, 23U, 24U}) {
        snapshot.phase = phase;
        const std::string line = progressBarLine(snapshot, 100);
        bars.push_back(line.substr(0, line.find(']') + 1));
        EXPECT_NE(line.find("file 1 of 1 (1:05)"), std::string::npos) << line;
    }
    EXPECT_EQ(bars, (std::vector<std::string>{"[>-----------------------]", "[->----------------------]",
                                              "[----------------------->]", "[>-----------------------]"}));
}

// Every control a terminal acts on shows as text, a byte as \xNN and a character as \u{NNNN};
// everything else is kept as it is.
TEST(Visible, OneFormForEveryControlAndNothingElseChanged) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"Été à Montréal 📷 \\x1b", "Été à Montréal 📷 \\x1b"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\t\n\r\x1b[2J\x7f", "\\x09\\x0a\\x0d\\x1b[2J\\x7f"},
        {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\u{0080}\\u{009b}\\u{009f}\u00a0"},
        {"\u2029\u202a\u202e\u202f\u2065\u2066\u2069\u206a",
         "\u2029\\u{202a}\\u{202e}\u202f\u2065\\u{2066}\\u{2069}\u206a"},
        // Not UTF-8: a stray continuation, a cut sequence, an overlong encoding of ESC.
        {"\x80"
         "a\xe2\x80",
         "\\x80a\\xe2\\x80"},
        {"\xc0\x9b", "\\xc0\\x9b"},
    };
    for (const auto& [text, shown] : rows) EXPECT_EQ(terminal::visible(text), shown);
}

}  // namespace
}  // namespace galvoria::host
