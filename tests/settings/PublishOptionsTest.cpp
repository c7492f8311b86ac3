// The publish options in process against the local service: the chain of lists, the new folder and
// project states, the requests the caches spare, the order of the sources, a failed listing,
// updates and validation.

#include <gmock/gmock-matchers.h>

#include "settings/PublishOptions.hpp"
#include "tests/settings/SettingsFixture.hpp"
#include "vocabulary/PublishAction.hpp"

namespace galvoria::testing {
namespace {

const Requests topListings = {"GET /api/teams", "GET /api/workspaces"};

class PublishOptions : public SettingsTest {
protected:
    std::vector<co::ItemPtr> options(const co::Value& settings, const co::ActionPtr& action = publishAction()) {
        const auto groups = settings::publishOptions(network_, preferences_, caches_, action, settings);
        return groups.empty() ? std::vector<co::ItemPtr>{} : groups[0]->elements();
    }
    std::vector<co::ItemPtr> optionsOf(const std::string& settings) { return options(co::Value::parse(settings)); }
};

struct ChainCase {
    std::string label;
    std::string settings;
    std::string shape;                          // from the workspace list on
    Requests requests;                          // after a first call that loaded teams and workspaces
    std::map<std::string, std::string> stored;  // preference keys besides the token
    friend void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.label; }
};
ChainCase chain(std::string label, std::string settings, std::string shape, Requests requests,
                std::map<std::string, std::string> stored = {}) {
    return {std::move(label), std::move(settings), std::move(shape), std::move(requests), std::move(stored)};
}

class PublishOptionsChain : public PublishOptions, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(PublishOptionsChain, ListsFollowTheChoicesAbove) {
    const ChainCase& c = GetParam();
    logInDirectly();
    for (const auto& [key, value] : c.stored) store_.setValue(value, key);
    optionsOf("{}");
    takeRequests();
    const co::Value settings = co::Value::parse(c.settings);
    auto elements = options(settings);
    ASSERT_FALSE(elements.empty());
    EXPECT_EQ(elements[0]->value(), settings.contains("workspace-source-list-item")
                                        ? std::optional(settings["workspace-source-list-item"])
                                        : std::nullopt);
    elements.erase(elements.begin());
    EXPECT_EQ(shapeOf(elements), c.shape);
    EXPECT_EQ(takeRequests(), c.requests);
}

std::string listing(const std::string& workspace, const char* kind) {
    return "GET /api/workspaces/" + workspace + "/" + kind;
}
const std::string personal = R"({"workspace-source-list-item": "acc-7d1f2c", "workspace-list-item": "ws-4f1c2a")";
const std::string personalLists = "workspace-list-item=ws-4f1c2a[none,ws-4f1c2a,ws-9b3e77] folder-list-item";
const std::string personalFolders = "[none,0,|,fld-31a8e2,fld-5c07b9,fld-7e2d14] ";
const std::string noFolders = "folder-list-item[none,0] ";
const std::string noProjects = "project-list-item[none,0]";
const std::string spacers = " space-1-item=' ' space-2-item=' '";
const Requests folders = {listing("ws-4f1c2a", "folders")};
const Requests both = {listing("ws-4f1c2a", "folders"), listing("ws-4f1c2a", "projects")};

INSTANTIATE_TEST_SUITE_P(
    Cases, PublishOptionsChain,
    ::testing::Values(
        chain("AccountSource", R"({"workspace-source-list-item": "acc-7d1f2c"})",
              "workspace-list-item[none,ws-4f1c2a,ws-9b3e77] " + noFolders + noProjects, {}),
        // Owned by the demo account, the team's workspace is offered under the team only.
        chain("TeamSource", R"({"workspace-source-list-item": "team-5a2c91"})",
              "workspace-list-item[none,ws-c27d05] " + noFolders + noProjects, {}),
        chain("WorkspaceChosen", personal + "}", personalLists + personalFolders + noProjects, folders),
        chain("FolderChosen", personal + R"(, "folder-list-item": "fld-7e2d14"})",
              personalLists + "=fld-7e2d14" + personalFolders + "project-list-item[none,0,|,prj-4a6d95]", both),
        chain("WorkspaceOfAnotherSource",
              R"({"workspace-source-list-item": "team-5a2c91", "workspace-list-item": "ws-4f1c2a"})",
              "workspace-list-item=ws-4f1c2a[none,ws-c27d05] " + noFolders + noProjects, {}),
        chain("FolderOfAnotherWorkspace", personal + R"(, "folder-list-item": "fld-a4f630"})",
              personalLists + "=fld-a4f630" + personalFolders + noProjects, folders),
        chain(
            "FolderWithoutProjects",
            R"({"workspace-source-list-item": "acc-7d1f2c", "workspace-list-item": "ws-9b3e77", "folder-list-item": "fld-b19c58"})",
            "workspace-list-item=ws-9b3e77[none,ws-4f1c2a,ws-9b3e77] "
            "folder-list-item=fld-b19c58[none,0,|,fld-a4f630,fld-b19c58] " +
                noProjects,
            {listing("ws-9b3e77", "folders"), listing("ws-9b3e77", "projects")}),
        chain("NonTextSource", R"({"workspace-source-list-item": 5, "workspace-list-item": "ws-4f1c2a"})",
              "workspace-list-item=ws-4f1c2a[none] " + noFolders + noProjects, {}),
        chain("NewFolder", personal + R"(, "folder-list-item": "0", "new-folder-item": 4, "project-list-item": "0"})",
              personalLists + "=0" + personalFolders + "new-folder-item='' new-project-item=''" + spacers, folders),
        chain("FolderCreatedByLastPublish", personal + R"(, "folder-list-item": "0"})",
              personalLists + "=0" + personalFolders + noProjects, folders, {{"last-created-folder", "fld-new"}}),
        chain("NewProject",
              personal + R"(, "folder-list-item": "fld-31a8e2", "project-list-item": "0", "new-project-item": "A"})",
              personalLists + "=fld-31a8e2" + personalFolders +
                  "project-list-item=0[none,0,|,prj-1d4e8a] new-project-item='A'" + spacers,
              both),
        chain("ProjectCreatedByLastPublish",
              personal + R"(, "folder-list-item": "fld-31a8e2", "project-list-item": "0"})",
              personalLists + "=fld-31a8e2" + personalFolders + "project-list-item=0[none,0,|,prj-1d4e8a]", both,
              {{"last-created-project", "prj-new"}})),
    [](const auto& info) { return info.param.label; });

TEST_F(PublishOptions, RequestsOnlyWhatTheCachesLack) {
    logInDirectly();
    const std::string full = personal + R"(, "folder-list-item": "fld-31a8e2"})";
    const Requests all = {topListings[0], topListings[1], both[0], both[1]};
    optionsOf(full);
    EXPECT_EQ(takeRequests(), all);
    optionsOf(full);
    optionsOf(R"({"workspace-source-list-item": "acc-7d1f2c", "workspace-list-item": "ws-9b3e77"})");
    optionsOf(full);
    EXPECT_EQ(takeRequests(), Requests{listing("ws-9b3e77", "folders")});
    // Another action gets no options, but the emptied caches are filled all the same.
    caches_.empty();
    EXPECT_TRUE(options(co::Value::object(), std::make_shared<co::COPluginAction>("Export")).empty());
    EXPECT_EQ(takeRequests(), topListings);
}

TEST_F(PublishOptions, LoggedOutShowsTheNoticeAndKeepsAsking) {
    EXPECT_EQ(shapeOf(optionsOf(R"({"new-folder-item": "50%@"})")),
              "not-logged-in-label-item='You’re not logged in. Please go to the plugin settings and log in to your "
              "galvoria account.'");
    optionsOf("{}");
    EXPECT_EQ(takeRequests(), (Requests{topListings[0], topListings[1], topListings[0], topListings[1]}));
    EXPECT_THAT(log_.lines(), ::testing::Contains(R"(Settings: {"new-folder-item":"50%@"})"));
}

TEST_F(PublishOptions, SourcesSortByComposedNamesAndEmptyTeamsAreAskedAgain) {
    logInDirectly();
    const std::string teams = R"({"data": [{"id": "t1", "name": "e\u0301te\u0301"}, {"id": "t2", "name": "f"},
        {"id": "t3", "name": "\u00e9t\u00e9"}, {"id": "t4", "name": "alpha"}, {"id": "t5", "name": "Zeta"}]})";
    server().setFault("teams", {.status = 200, .body = teams, .times = 1});
    const std::string titles =
        ":Account[Demo Photographer,Mireille Laurent,Zeta,alpha,f,e\u0301te\u0301,\u00e9t\u00e9]";
    const std::string shape = shapeOf(optionsOf("{}"));
    EXPECT_EQ(shape.substr(0, shape.find(' ')), "workspace-source-list-item[acc-7d1f2c,acc-3b9e41,t5,t4,t2,t1,t3]");
    EXPECT_NE(shapeOf(optionsOf("{}"), true).find(titles), std::string::npos);  // the order holds on rebuilds
    EXPECT_EQ(takeRequests(), topListings);

    server().setFault("teams", {.status = 200, .body = R"({"data": []})"});
    caches_.empty();
    optionsOf("{}");
    optionsOf("{}");
    EXPECT_EQ(takeRequests(), (Requests{"GET /api/teams", "GET /api/workspaces", "GET /api/teams"}));
}

// A listing that fails while logged in adds one label after the normal elements, saying why; the
// failed listing is not kept, so the next build asks for it again and the label goes once it lists.
struct ProblemCase {
    std::string label;
    std::string route;
    devserver::Fault fault;
    std::string settings;
    std::string text;
    friend void PrintTo(const ProblemCase& c, std::ostream* os) { *os << c.label; }
};
ProblemCase problem(std::string label, std::string route, devserver::Fault fault, std::string settings,
                    std::string text) {
    return {std::move(label), std::move(route), std::move(fault), std::move(settings), std::move(text)};
}

class ListingProblem : public PublishOptions, public ::testing::WithParamInterface<ProblemCase> {};

TEST_P(ListingProblem, IsToldLastAndAskedForAgain) {
    const ProblemCase& c = GetParam();
    logInDirectly();
    server().setFault(c.route, c.fault);
    const auto failed = optionsOf(c.settings);
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(shapeOf({failed.back()}), "listing-problem-item='" + c.text + "'");
    EXPECT_TRUE(dynamic_cast<const co::COSettingsLabelItem*>(failed.back().get()));
    takeRequests();

    server().clearFaults();
    const auto listed = optionsOf(c.settings);
    EXPECT_EQ(listed.size() + 1, failed.size());
    EXPECT_EQ(shapeOf(listed).find("listing-problem-item"), std::string::npos);
    const Requests requests = takeRequests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_NE(requests[0].find(c.route == "teams" || c.route == "workspaces" ? "/api/" + c.route : c.route),
              std::string::npos);
}

using devserver::FaultAction;
INSTANTIATE_TEST_SUITE_P(
    Failures, ListingProblem,
    ::testing::Values(problem("ExpiredSession", "teams", {.status = 401, .body = R"({"message": "Unauthenticated."})"},
                              "{}", "Your galvoria session has expired. Log out and log in again."),
                      problem("NoAnswer", "workspaces", {.action = FaultAction::dropBefore}, "{}",
                              "galvoria could not be reached. Check the connection and try again."),
                      problem("RefusedInTheServicesWords", "folders",
                              {.status = 500, .body = R"({"message": "Database\nunavailable"})"}, personal + "}",
                              "galvoria could not list your folders: Database unavailable"),
                      problem("RefusedWithoutWords", "projects", {.status = 503, .body = "<html>"},
                              personal + R"(, "folder-list-item": "fld-7e2d14"})",
                              "galvoria could not list your projects: status 503."),
                      problem("NotTheListing", "teams", {.status = 200, .body = R"({"data": {}})"}, "{}",
                              "galvoria sent a list of your teams that could not be read.")),
    [](const auto& info) { return info.param.label; });

TEST_F(PublishOptions, ChangesForgetTheMatchingLastCreatedEntryAndAskForARebuild) {
    store_.setValue("f", "last-created-folder");
    store_.setValue("p", "last-created-project");
    auto change = [&](const std::string& value, const std::string& setting) {
        std::uint64_t callbackAction = 0;
        EXPECT_TRUE(settings::didUpdateOptionValue(preferences_, value, setting, &callbackAction));
        return callbackAction;
    };
    using Stored = std::map<std::string, std::string>;
    EXPECT_EQ(change("0", "workspace-list-item"), co::COActionSettingsCallbackRefresh);
    EXPECT_EQ(store_.dictionary(), (Stored{{"last-created-folder", "f"}, {"last-created-project", "p"}}));
    EXPECT_EQ(change("0", "folder-list-item"), co::COActionSettingsCallbackRefresh);
    EXPECT_EQ(store_.dictionary(), (Stored{{"last-created-project", "p"}}));
    EXPECT_EQ(change("prj-1", "project-list-item"), co::COActionSettingsCallbackRefresh);
    EXPECT_TRUE(store_.dictionary().empty());
    change("50%@", "new-folder-item");
    EXPECT_THAT(log_.lines(), ::testing::Contains("didUpdateValue: 50%@ forKey: new-folder-item"));
}

TEST_F(PublishOptions, ValidationReportsTheFirstFailureWithTheActionsName) {
    auto validate = [&](const co::Value& settings, const co::ActionPtr& action = publishAction()) {
        co::Error error;
        const bool ok = settings::validatePublishOptions(preferences_, settings, action, &error);
        return ok ? std::string("ok") : error.localizedDescription() + ": " + error.localizedFailureReason();
    };
    auto failure = [](const std::string& name) {
        return "Invalid value for " + name + ": The value supplied for " + name +
               " is not valid for performing Publish to galvoria.";
    };
    const co::Value placeholders = {{"folder-list-item", "none"}, {"project-list-item", "none"}};
    EXPECT_EQ(validate(placeholders), failure("Not logged in"));
    EXPECT_EQ(validate(co::Value::object(), std::make_shared<co::COPluginAction>("Export")), "ok");
    logInDirectly();
    EXPECT_EQ(validate({{"folder-list-item", ""}, {"project-list-item", ""}}), failure("Folder"));
    EXPECT_EQ(validate({{"folder-list-item", "f"}, {"project-list-item", ""}}), failure("Project"));
    EXPECT_EQ(validate({{"folder-list-item", 3}, {"project-list-item", "p"}}), failure("Folder"));
    // A missing choice means "create new": a name is then needed.
    EXPECT_EQ(validate({{"project-list-item", "p"}}), failure("Folder"));
    EXPECT_EQ(validate({{"new-folder-item", "F"}, {"new-project-item", "P"}}), "ok");
    EXPECT_EQ(validate(placeholders), "ok");
}

}  // namespace
}  // namespace galvoria::testing
