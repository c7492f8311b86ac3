// The pure rules of the publish options: the order of the "Account" list, the new-folder and
// new-project states.

#include <gtest/gtest.h>

#include "settings/OptionChain.hpp"
#include "settings/SourceOrder.hpp"

namespace galvoria::settings {
namespace {

struct SortCase {
    const char* label;
    std::vector<std::string> names;  // each entry's id is its index
    std::vector<std::string> expected;
    friend void PrintTo(const SortCase& c, std::ostream* os) { *os << c.label; }
};

class SourceOrder : public ::testing::TestWithParam<SortCase> {};

TEST_P(SourceOrder, ComposedScalarValuesAndStableTies) {
    std::vector<WorkspaceSource> sources;
    for (const auto& name : GetParam().names) sources.push_back({std::to_string(sources.size()), name});
    sortWorkspaceSources(sources);
    std::vector<std::string> ids;
    for (const auto& source : sources) ids.push_back(source.id);
    EXPECT_EQ(ids, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SourceOrder,
    ::testing::Values(SortCase{"NoCaseFolding", {"beta", "alpha", "Alpha", "Zeta"}, {"2", "3", "1", "0"}},
                      // Decomposed and precomposed "é" tie (listing order kept) and follow "f".
                      SortCase{"Composition", {"e\u0301", "\u00e9", "f", "e\u0301"}, {"2", "0", "1", "3"}},
                      // ANGSTROM SIGN and A + RING ABOVE compose to U+00C5.
                      SortCase{"Singleton", {"\u212b", "B", "A\u030a", "\u00c5"}, {"1", "0", "2", "3"}},
                      // Scalar values, not UTF-16 units: U+FF21 before U+1F600.
                      SortCase{"BeyondBasicPlane", {"\U0001F600", "\uff21"}, {"1", "0"}},
                      SortCase{"EmptyAndPrefixFirst", {"ab", "a", ""}, {"2", "1", "0"}},
                      // Not UTF-8: still ordered, after the valid names sharing its prefix.
                      SortCase{"InvalidUtf8", {"b\xff", "b", "a\xfe", "a\xff", "\xc3"}, {"2", "3", "1", "0", "4"}}),
    [](const auto& info) { return std::string(info.param.label); });

// Rows for the folder rule; the project rule must give the same answers with the keys renamed.
struct StateCase {
    const char* label;
    const char* settings;
    bool lastCreatedStored;
    bool expected;
    friend void PrintTo(const StateCase& c, std::ostream* os) { *os << c.label; }
};

class NewEntryState : public ::testing::TestWithParam<StateCase> {};

TEST_P(NewEntryState, FolderAndProjectFollowTheSameRule) {
    const StateCase& c = GetParam();
    std::string text = c.settings;
    EXPECT_EQ(isNewFolderState(co::Value::parse(text), c.lastCreatedStored), c.expected);
    EXPECT_FALSE(isNewProjectState(co::Value::parse(text), false));
    for (auto at = text.find("folder"); at != std::string::npos; at = text.find("folder"))
        text.replace(at, 6, "project");
    EXPECT_EQ(isNewProjectState(co::Value::parse(text), c.lastCreatedStored), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, NewEntryState,
                         ::testing::Values(StateCase{"CreateChosen", R"({"folder-list-item": "0"})", false, true},
                                           StateCase{"LastCreatedStored", R"({"folder-list-item": "0"})", true, false},
                                           StateCase{"Placeholder", R"({"folder-list-item": "none"})", false, false},
                                           StateCase{"NumberZero", R"({"folder-list-item": 0})", false, false},
                                           StateCase{"Missing", R"({"new-folder-item": "0"})", false, false},
                                           StateCase{"NotADictionary", R"(["0"])", false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace galvoria::settings
