// Mapping of the service's JSON answers to records and creation results.
#include <gtest/gtest.h>

#include "service/RecordMapping.hpp"

namespace galvoria {
namespace {

co::Value json(const char* text) { return co::Value::parse(text); }

// Bodies that carry no usable listing: every mapper yields nothing from them.
class UnusableListing : public ::testing::TestWithParam<const char*> {};
TEST_P(UnusableListing, YieldsEmptyListsForEveryKind) {
    const co::Value map = json(GetParam());
    EXPECT_TRUE(mapTeams(map).empty());
    const WorkspaceListing workspaces = mapWorkspaces(map);
    EXPECT_TRUE(workspaces.workspaces.empty());
    EXPECT_TRUE(workspaces.accountSources.empty());
    EXPECT_TRUE(mapFolders(map).empty());
    EXPECT_TRUE(mapProjects(map).empty());
}
INSTANTIATE_TEST_SUITE_P(
    Bodies, UnusableListing,
    ::testing::Values(R"({})", R"({"data": []})", R"({"data": {}})", R"({"data": null})", R"({"items": [{"id": "1"}]})",
                      R"({"data": [{"id": "1", "name": "a", "owner": {"id": "o", "name": "O"}}, "x"]})",
                      R"({"data": [{"id": "1", "name": "a"}, [1]]})", R"([{"id": "1", "name": "a"}])"));

TEST(ListingEntries, KeepOrderAndDuplicatesButLeaveOutEntriesWithoutStringIdAndName) {
    const co::Value map = json(R"({"data": [
        {"id": "2", "name": "Same"}, {"id": 1, "name": "numeric id"}, {"id": "3"}, {"name": "no id"},
        {"id": "4", "name": null}, {"id": "5", "name": "Same", "folder_id": null}, {"id": "6", "name": "x", "folder_id": "2"}]})");
    const auto folders = mapFolders(map);
    ASSERT_EQ(folders.size(), 3U);
    EXPECT_EQ(folders[0].id, "2");
    EXPECT_EQ(folders[1].id, "5");
    EXPECT_EQ(folders[1].name, "Same");
    const auto projects = mapProjects(map);
    ASSERT_EQ(projects.size(), 3U);
    EXPECT_FALSE(projects[1].folderId);
    EXPECT_EQ(projects[2].folderId, "2");
    EXPECT_EQ(mapTeams(map).size(), 3U);
    EXPECT_EQ(mapWorkspaces(map).workspaces.size(), 3U);
}

TEST(TeamEntries, OwnerIdOnlyFromAStringIdOfAnOwnerObject) {
    const auto teams = mapTeams(json(R"({"data": [
        {"id": "t1", "name": "A", "owner": {"id": "u1"}}, {"id": "t2", "name": "B"},
        {"id": "t3", "name": "C", "owner": {"id": 7}}, {"id": "t4", "name": "D", "owner": "u1"}]})"));
    std::string owners;
    for (const Team& team : teams) owners += team.ownerId + ",";
    EXPECT_EQ(owners, "u1,,,,");
}

// Flags read as letters: F/P create folder/project, R/W review/workflow, O owner permissions, T team.
std::string flagsOf(const Workspace& w) {
    std::string out;
    for (const auto& [on, letter] : {std::pair{w.hasCreateFolderPermissions, 'F'},
                                     {w.hasCreateProjectPermissions, 'P'},
                                     {w.hasFeatureReview, 'R'},
                                     {w.hasFeatureWorkflow, 'W'},
                                     {w.hasOwnerPermissions, 'O'},
                                     {w.teamId.has_value(), 'T'}}) {
        out += on ? std::string(1, letter) : "";
    }
    return out;
}

class WorkspaceEntry : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};
TEST_P(WorkspaceEntry, MapsFlagsStrictlyByType) {
    const auto listing =
        mapWorkspaces(json(("{\"data\": [{\"id\": \"w\", \"name\": \"W\", " + GetParam().first + "}]}").c_str()));
    ASSERT_EQ(listing.workspaces.size(), 1U);
    EXPECT_EQ(flagsOf(listing.workspaces[0]), GetParam().second);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, WorkspaceEntry,
    ::testing::Values(
        std::pair<std::string, std::string>{R"("permissions": {"workspace.folder.create": true})", ""},
        std::pair{R"("permissions": {"acl": {"workspace.folder.create": true}})", "F"},
        std::pair{R"("permissions": {"acl": {"workspace.folder.create": 1, "workspace.project.create": 0}})", "F"},
        std::pair{R"("permissions": {"acl": {"workspace.folder.create": "true", "workspace.project.create": 1.0}})",
                  ""},
        std::pair{R"("permissions": {"acl": {"workspace.project.create": 2}})", ""},
        std::pair{R"("plan_features": [{"id": "review"}, {"id": "workflow"}])", "RW"},
        std::pair{R"("plan_features": [{"name": "review"}])", ""},
        std::pair{R"("plan_features": {"id": "review"})", ""},
        std::pair{R"("plan_features": [{"id": "review"}, "workflow"])", ""},
        std::pair{R"("plan_features": [{"id": 5}, {"id": "workflow"}])", "W"},
        std::pair{R"("has_owner_permissions": "true", "team_id": 5)", ""},
        std::pair{R"("has_owner_permissions": 1, "team_id": null)", "O"},
        std::pair{R"("has_owner_permissions": true, "team_id": "t1")", "OT"}));

TEST(WorkspaceSources, OnePerDistinctOwnerWithTheFirstNameSeen) {
    const auto listing = mapWorkspaces(json(R"({"data": [
        {"id": "w1", "name": "1", "owner": {"id": "A", "name": "Ann"}},
        {"id": "w2", "name": "2", "owner": {"id": "B", "name": "Bob"}},
        {"id": "w3", "name": "3", "owner": {"id": "A", "name": "Ann renamed"}},
        {"id": "w4", "name": "4", "owner": null},
        {"id": "w5", "name": "5", "owner": {"id": 9, "name": "Nine"}},
        {"id": "w6", "name": "6", "owner": {"id": "C"}},
        {"id": "w7", "name": "7", "owner": {"id": "C", "name": "Cy"}},
        {"name": "left out", "owner": {"id": "D", "name": "Dee"}}]})"));
    std::string owners;
    for (const Workspace& workspace : listing.workspaces) owners += workspace.ownerId + ",";
    EXPECT_EQ(owners, "A,B,A,,,C,C,");
    std::string sources;
    for (const WorkspaceSource& source : listing.accountSources) {
        sources += source.id + "=" + source.name + (source.source == WorkspaceSource::Source::account ? " " : "? ");
    }
    EXPECT_EQ(sources, "A=Ann B=Bob C=Cy ");
}

struct CreationCase {
    const char* body;
    std::map<std::string, std::string> expected;
    const char* printed;
};
void PrintTo(const CreationCase& c, std::ostream* os) { *os << c.body; }
class Creation : public ::testing::TestWithParam<CreationCase> {};
TEST_P(Creation, KeepsOnlyStringIdAndName) {
    const auto result = creationResult(json(GetParam().body));
    EXPECT_EQ(result, GetParam().expected);
    EXPECT_EQ(printedResult(result), GetParam().printed);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Creation,
    ::testing::Values(CreationCase{R"({"data": {"id": "f1", "name": "50% off", "parent_id": null, "x": 1}})",
                                   {{"id", "f1"}, {"name", "50% off"}},
                                   "[id: f1, name: 50% off]"},
                      CreationCase{R"({"data": {"id": 12, "name": "N"}})", {{"name", "N"}}, "[name: N]"},
                      CreationCase{R"({"data": [{"id": "f1", "name": "N"}]})", {}, "[:]"},
                      CreationCase{R"({"message": "Forbidden."})", {}, "[:]"}, CreationCase{R"({})", {}, "[:]"}));

}  // namespace
}  // namespace galvoria
