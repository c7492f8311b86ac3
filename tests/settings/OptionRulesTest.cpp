// The pure rules of the publish options: the order of the "Account" list, the new-folder and
// new-project states, which workspaces and projects a choice offers, and what blocks publishing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/OptionChain.hpp"
#include "settings/SourceOrder.hpp"

namespace galvoria::settings {
namespace {

// ---- Order of the sources -------------------------------------------------------------------

struct SortCase {
    const char* label;
    std::vector<std::string> names;  // in listing order; each entry's id is its index
    std::vector<int> expectedOrder;  // indices into names
};

class SourceOrderTest : public ::testing::TestWithParam<SortCase> {};

TEST_P(SourceOrderTest, SortsByComposedScalarValuesAndKeepsTies) {
    const SortCase& c = GetParam();
    std::vector<WorkspaceSource> sources;
    for (std::size_t i = 0; i < c.names.size(); ++i) {
        sources.push_back({std::to_string(i), c.names[i], WorkspaceSource::Source::account});
    }
    sortWorkspaceSources(sources);
    std::vector<int> order;
    for (const auto& source : sources) {
        order.push_back(std::stoi(source.id));
    }
    EXPECT_EQ(order, c.expectedOrder);
}

INSTANTIATE_TEST_SUITE_P(Cases, SourceOrderTest,
                         ::testing::Values(
                             // Upper case before lower case: no case folding, no locale collation.
                             SortCase{"NoCaseFolding", {"beta", "alpha", "Alpha", "Zeta"}, {2, 3, 1, 0}},
                             // A decomposed "é" equals the precomposed one (ties keep listing order, both ways round)
                             // and both sort after "f" (U+00E9 > U+0066), which comparing the raw bytes would not give.
                             SortCase{"DecomposedEqualsPrecomposed", {"e\u0301", "\u00e9", "f"}, {2, 0, 1}},
                             SortCase{"PrecomposedFirstStaysFirst", {"\u00e9", "f", "e\u0301"}, {1, 0, 2}},
                             // ANGSTROM SIGN, A + RING ABOVE and Å are the same name once composed.
                             SortCase{"SingletonComposition", {"\u212b", "B", "A\u030a", "\u00c5"}, {1, 0, 2, 3}},
                             // Scalar values, not UTF-16 units: U+FF21 comes before U+1F600.
                             SortCase{"BeyondBasicPlane", {"\U0001F600", "\uff21"}, {1, 0}},
                             SortCase{"EmptyNameFirst", {"a", ""}, {1, 0}},
                             SortCase{"PrefixFirst", {"ab", "a"}, {1, 0}},
                             SortCase{"AllEqualKeepOrder", {"x", "x", "x"}, {0, 1, 2}},
                             // Text that is not UTF-8 still sorts, after the valid names sharing its prefix.
                             SortCase{"InvalidUtf8", {"b\xff", "b", "a", "\xc3", "b\xff"}, {2, 1, 0, 4, 3}}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SourceSortKey, InvalidTextKeepsEveryByte) {
    // Two different invalid names must not collapse onto one key.
    EXPECT_NE(sourceSortKey("a\xff"), sourceSortKey("a\xfe"));
    EXPECT_EQ(sourceSortKey("a\xff").size(), 2u);
    EXPECT_EQ(sourceSortKey(std::string_view("a\0b", 3)).size(), 3u);
}

// ---- New-folder and new-project states -------------------------------------------------------

struct StateCase {
    const char* label;
    co::Value settings;
    bool lastCreatedStored;
    bool expected;
};

class NewEntryStateTest : public ::testing::TestWithParam<StateCase> {};

// The same table drives both states: the folder rule over "folder-list-item", the project rule over
// the same settings with the keys renamed.
TEST_P(NewEntryStateTest, FolderAndProjectFollowTheSameRule) {
    const StateCase& c = GetParam();
    EXPECT_EQ(isNewFolderState(c.settings, c.lastCreatedStored), c.expected);

    co::Value renamed = co::Value::object();
    if (c.settings.is_object()) {
        for (const auto& [key, value] : c.settings.items()) {
            renamed[key == "folder-list-item" ? "project-list-item" : key] = value;
        }
    } else {
        renamed = c.settings;
    }
    EXPECT_EQ(isNewProjectState(renamed, c.lastCreatedStored), c.expected);
    // Each state reads its own list only.
    EXPECT_FALSE(isNewProjectState(c.settings, false));
}

INSTANTIATE_TEST_SUITE_P(Cases, NewEntryStateTest,
                         ::testing::Values(StateCase{"CreateChosen", {{"folder-list-item", "0"}}, false, true},
                                           StateCase{"CreatedByLastPublish", {{"folder-list-item", "0"}}, true, false},
                                           StateCase{"Placeholder", {{"folder-list-item", "none"}}, false, false},
                                           StateCase{"RealEntry", {{"folder-list-item", "fo-1"}}, false, false},
                                           StateCase{"NumberZeroIsNoChoice", {{"folder-list-item", 0}}, false, false},
                                           StateCase{"PaddedZero", {{"folder-list-item", " 0"}}, false, false},
                                           StateCase{"Missing", co::Value::object(), false, false},
                                           StateCase{"NotADictionary", co::Value::array({"0"}), false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- Candidate workspaces and listed projects -------------------------------------------------

Workspace workspace(std::string id, std::optional<std::string> teamId, std::string ownerId) {
    Workspace w;
    w.id = std::move(id);
    w.name = "W " + w.id;
    w.teamId = std::move(teamId);
    w.ownerId = std::move(ownerId);
    return w;
}

std::vector<std::string> idsOf(const auto& records) {
    std::vector<std::string> ids;
    for (const auto& record : records) {
        ids.push_back(record.id);
    }
    return ids;
}

TEST(CandidateWorkspaces, TeamWorkspacesGoWithTheirTeamAndOthersWithTheirOwner) {
    const std::vector<Workspace> all = {
        workspace("w1", "team-1", "acc-1"),  // a team's workspace owned by acc-1: belongs to team-1 only
        workspace("w2", std::nullopt, "acc-1"),
        workspace("w3", "team-2", "team-1"),  // owner id equal to a team id does not make it team-1's
        workspace("w4", "team-1", ""),
        workspace("w5", std::nullopt, "acc-2"),
        workspace("w6", std::nullopt, "acc-1"),
    };
    EXPECT_EQ(idsOf(candidateWorkspaces(all, "team-1")), (std::vector<std::string>{"w1", "w4"}));
    EXPECT_EQ(idsOf(candidateWorkspaces(all, "acc-1")), (std::vector<std::string>{"w2", "w6"}));
    EXPECT_TRUE(candidateWorkspaces(all, std::nullopt).empty());
    EXPECT_TRUE(candidateWorkspaces(all, "none").empty());
}

TEST(ProjectsInFolder, OnlyTheFoldersOwnProjectsInListingOrder) {
    const std::vector<Project> all = {
        {"p1", "One", "fo-1"}, {"p2", "Top", std::nullopt},   {"p3", "Other", "fo-2"},
        {"p4", "Two", "fo-1"}, {"p5", "Empty folder id", ""},
    };
    EXPECT_EQ(idsOf(projectsInFolder(all, "fo-1")), (std::vector<std::string>{"p1", "p4"}));
    EXPECT_TRUE(projectsInFolder(all, "fo-9").empty());
    // A top-level project is never offered, not even for an empty folder identifier.
    EXPECT_EQ(idsOf(projectsInFolder(all, "")), (std::vector<std::string>{"p5"}));
}

// ---- What blocks publishing -------------------------------------------------------------------

struct ValidationCase {
    const char* label;
    bool loggedIn;
    co::Value settings;
    std::optional<std::string> expected;
};

class FirstInvalidSettingTest : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(FirstInvalidSettingTest, ReportsTheFirstFailingCheck) {
    const ValidationCase& c = GetParam();
    EXPECT_EQ(firstInvalidSetting(c.settings, c.loggedIn), c.expected);
}

const co::Value complete = {{"folder-list-item", "fo-1"}, {"project-list-item", "pr-1"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstInvalidSettingTest,
    ::testing::Values(
        ValidationCase{"LoggedOutBeforeAnything", false, complete, "Not logged in"},
        ValidationCase{"LoggedOutEmptyOptions", false, co::Value::object(), "Not logged in"},
        ValidationCase{"EmptyDictionaryDefaultsToNewFolder", true, co::Value::object(), "Folder"},
        ValidationCase{"FolderBeforeProject", true, {{"folder-list-item", ""}, {"project-list-item", ""}}, "Folder"},
        ValidationCase{"Complete", true, complete, std::nullopt},
        ValidationCase{
            "PlaceholdersPass", true, {{"folder-list-item", "none"}, {"project-list-item", "none"}}, std::nullopt},
        ValidationCase{"NewFolderNeedsNewProjectByDefault",
                       true,
                       {{"folder-list-item", "0"}, {"new-folder-item", "Shoot"}},
                       "Project"},
        ValidationCase{"NewFolderAndNewProject",
                       true,
                       {{"folder-list-item", "0"}, {"new-folder-item", "Shoot"}, {"new-project-item", "Day 1"}},
                       std::nullopt},
        ValidationCase{"BlankNameIsNotEmpty",
                       true,
                       {{"folder-list-item", "0"},
                        {"new-folder-item", " "},
                        {"project-list-item", "0"},
                        {"new-project-item", " "}},
                       std::nullopt},
        ValidationCase{
            "NumericFolderCountsAsNew", true, {{"folder-list-item", 7}, {"project-list-item", "pr"}}, "Folder"},
        ValidationCase{"NumericFolderWithName",
                       true,
                       {{"folder-list-item", 7}, {"new-folder-item", "A"}, {"project-list-item", "pr"}},
                       std::nullopt},
        ValidationCase{"NumericNameIsEmpty",
                       true,
                       {{"folder-list-item", "0"}, {"new-folder-item", 5}, {"project-list-item", "pr"}},
                       "Folder"},
        ValidationCase{"EmptyProjectValue", true, {{"folder-list-item", "fo-1"}, {"project-list-item", ""}}, "Project"},
        ValidationCase{"NewProjectWithoutName",
                       true,
                       {{"folder-list-item", "fo-1"}, {"project-list-item", "0"}, {"new-project-item", ""}},
                       "Project"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(LogText, StringsAsTheyStandOthersAsJson) {
    EXPECT_EQ(logText(co::Value("100% ready")), "100% ready");
    EXPECT_EQ(logText(co::Value(17)), "17");
    EXPECT_EQ(logText(co::Value(nullptr)), "null");
    // Bytes that are not UTF-8 inside a structure are replaced, never thrown over.
    EXPECT_NO_THROW(logText(co::Value::array({std::string("\xff")})));
}

}  // namespace
}  // namespace galvoria::settings
