// The publish options through the host against the local service: the chain of lists, the new
// folder and project states, the requests the caches spare, the order of the sources, updates and
// validation.

#include "tests/settings/ServiceDrive.hpp"

namespace galvoria::testing {
namespace {

const Requests topListings = {"GET /api/teams", "GET /api/workspaces"};
const Json otherAction = {{"displayName", "Export"}, {"identifier", "com.example.export"}};

std::string text(const Json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

// The elements in short: a list as "id=value[option values]" ("|" the separator; with titles,
// "id:title[option titles]"), a field or label as "id='value'".
std::string shapeOf(const Json& elements, bool titles = false) {
    std::string shape;
    for (const auto& element : elements) {
        shape += (shape.empty() ? "" : " ") + text(element["identifier"]);
        if (!element.contains("options")) {
            shape += "='" + text(element.value("value", Json())) + "'";
            continue;
        }
        shape += titles ? ":" + text(element["title"]) : element.contains("value") ? "=" + text(element["value"]) : "";
        std::string options;
        for (const auto& option : element["options"]) {
            const Json& shown = titles ? option.value("title", Json()) : option.value("value", Json());
            options += (options.empty() ? "" : ",") + (option.contains("separator") ? "|" : text(shown));
        }
        shape += "[" + options + "]";
    }
    return shape;
}

class PublishOptionsDrive : public ServiceDrive {
protected:
    Json options(const Json& settings, const Json& action = "publish") {
        const Json reply = call({{"call", "settingsForAction"}, {"action", action}, {"settings", settings}});
        EXPECT_TRUE(reply["ok"]);
        return reply["groups"].empty() ? Json::array() : reply["groups"][0]["elements"];
    }
    void emptyCaches() { call({{"call", "processingSettingsVisibilityForAction"}, {"action", "publish"}}); }
};

TEST_F(PublishOptionsDrive, FirstCallListsSortedSourcesAndFixedEntries) {
    logInDirectly();
    const Json group =
        call({{"call", "settingsForAction"}, {"action", "publish"}, {"settings", Json::object()}})["groups"][0];
    std::string actionId = call({{"call", "publishingActionsFileCount"}, {"fileCount", 1}})["actions"][0]["identifier"];
    EXPECT_EQ(group["identifier"], actionId.substr(0, actionId.rfind(".publishToDummyAction")) + ".publishOptions");
    EXPECT_EQ(group["title"], "galvoria");
    EXPECT_EQ(shapeOf(group["elements"], true),
              "workspace-source-list-item:Account[Agence Nord,Demo Photographer,Mireille Laurent,Studio Lumière] "
              "workspace-list-item:Workspace[Select Workspace] folder-list-item:Folder[Select Folder,+ Create New "
              "Folder] project-list-item:Projects[Select Project,+ Create New Project]");
    EXPECT_EQ(takeRequests(), topListings);
}

struct ChainCase {
    std::string label;
    std::string settings;
    std::string shape;  // from the workspace list on
    Requests requests;  // after a first call that loaded teams and workspaces
    Json stored;        // preference keys besides the token
    friend void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.label; }
};
ChainCase chain(std::string label, std::string settings, std::string shape, Requests requests, Json stored = {}) {
    return {std::move(label), std::move(settings), std::move(shape), std::move(requests), std::move(stored)};
}

class PublishOptionsChain : public PublishOptionsDrive, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(PublishOptionsChain, ListsFollowTheChoicesAbove) {
    const ChainCase& c = GetParam();
    logInDirectly();
    if (!c.stored.is_null()) storeAll(c.stored);
    options(Json::object());
    takeRequests();
    const Json settings = Json::parse(c.settings);
    Json elements = options(settings);
    EXPECT_EQ(elements[0].value("value", Json()), settings.value("workspace-source-list-item", Json()));
    elements.erase(0);
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

TEST_F(PublishOptionsDrive, RequestsOnlyWhatTheCachesLack) {
    logInDirectly();
    const Json full = Json::parse(personal + R"(, "folder-list-item": "fld-31a8e2"})");
    Requests all = topListings;
    all.insert(all.end(), both.begin(), both.end());
    options(full);
    EXPECT_EQ(takeRequests(), all);
    options(full);
    options({{"workspace-source-list-item", "acc-7d1f2c"}, {"workspace-list-item", "ws-9b3e77"}});
    options(full);
    call({{"call", "processingSettingsVisibilityForAction"}, {"action", otherAction}});
    options(full);
    EXPECT_EQ(takeRequests(), Requests{listing("ws-9b3e77", "folders")});
    emptyCaches();
    options(full);
    EXPECT_EQ(takeRequests(), all);
    // Another action gets no options, but the emptied caches are filled all the same.
    emptyCaches();
    EXPECT_EQ(options(Json::object(), otherAction), Json::array());
    EXPECT_EQ(takeRequests(), topListings);
}

TEST_F(PublishOptionsDrive, LoggedOutShowsTheNoticeAndKeepsAsking) {
    EXPECT_EQ(shapeOf(options({{"new-folder-item", "50%@"}})),
              "not-logged-in-label-item='You’re not logged in. Please go to the plugin settings and log in to your "
              "galvoria account.'");
    options(Json::object());
    EXPECT_EQ(takeRequests(), (Requests{topListings[0], topListings[1], topListings[0], topListings[1]}));
    EXPECT_NE(finishedLog().find(R"(Settings: {"new-folder-item":"50%@"})"), std::string::npos);
}

TEST_F(PublishOptionsDrive, SourcesSortByComposedNamesAndEmptyTeamsAreAskedAgain) {
    logInDirectly();
    const std::string teams = R"({"data": [{"id": "t1", "name": "e\u0301te\u0301"}, {"id": "t2", "name": "f"},
        {"id": "t3", "name": "\u00e9t\u00e9"}, {"id": "t4", "name": "alpha"}, {"id": "t5", "name": "Zeta"}]})";
    server_->setFault("teams", {.status = 200, .body = teams, .times = 1});
    const std::string titles =
        ":Account[Demo Photographer,Mireille Laurent,Zeta,alpha,f,e\u0301te\u0301,\u00e9t\u00e9]";
    const std::string shape = shapeOf(options(Json::object()));
    EXPECT_EQ(shape.substr(0, shape.find(' ')), "workspace-source-list-item[acc-7d1f2c,acc-3b9e41,t5,t4,t2,t1,t3]");
    EXPECT_NE(shapeOf(options(Json::object()), true).find(titles), std::string::npos);  // the order holds on rebuilds
    EXPECT_EQ(takeRequests(), topListings);

    server_->setFault("teams", {.status = 200, .body = R"({"data": []})"});
    emptyCaches();
    options(Json::object());
    options(Json::object());
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

class ListingProblem : public PublishOptionsDrive, public ::testing::WithParamInterface<ProblemCase> {};

TEST_P(ListingProblem, IsToldLastAndAskedForAgain) {
    const ProblemCase& c = GetParam();
    logInDirectly();
    server_->setFault(c.route, c.fault);
    const Json settings = Json::parse(c.settings);
    const Json failed = options(settings);
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.back(),
              (Json{{"class", "COSettingsLabelItem"}, {"identifier", "listing-problem-item"}, {"value", c.text}}));
    takeRequests();

    server_->clearFaults();
    const Json listed = options(settings);
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
    ::testing::Values(ProblemCase{"ExpiredSession",
                                  "teams",
                                  {.status = 401, .body = R"({"message": "Unauthenticated."})"},
                                  "{}",
                                  "Your galvoria session has expired. Log out and log in again."},
                      ProblemCase{"NoAnswer",
                                  "workspaces",
                                  {.action = FaultAction::dropBefore},
                                  "{}",
                                  "galvoria could not be reached. Check the connection and try again."},
                      ProblemCase{"RefusedInTheServicesWords",
                                  "folders",
                                  {.status = 500, .body = R"({"message": "Database\nunavailable"})"},
                                  personal + "}",
                                  "galvoria could not list your folders: Database unavailable"},
                      ProblemCase{"RefusedWithoutWords",
                                  "projects",
                                  {.status = 503, .body = "<html>"},
                                  personal + R"(, "folder-list-item": "fld-7e2d14"})",
                                  "galvoria could not list your projects: status 503."},
                      ProblemCase{"NotTheListing",
                                  "teams",
                                  {.status = 200, .body = R"({"data": {}})"},
                                  "{}",
                                  "galvoria sent a list of your teams that could not be read."}),
    [](const auto& info) { return info.param.label; });

TEST_F(PublishOptionsDrive, ChangesForgetTheMatchingLastCreatedEntryAndAskForARebuild) {
    storeAll({{"last-created-folder", "f"}, {"last-created-project", "p"}});
    auto change = [&](const std::string& value, const std::string& setting) {
        return call({{"call", "didUpdateActionValue"},
                     {"value", value},
                     {"setting", setting},
                     {"action", "publish"},
                     {"settings", Json::object()}})["callbackAction"];
    };
    EXPECT_EQ(change("0", "workspace-list-item"), 1);
    EXPECT_EQ(preferences(), (Json{{"last-created-folder", "f"}, {"last-created-project", "p"}}));
    EXPECT_EQ(change("0", "folder-list-item"), 1);
    EXPECT_EQ(preferences(), (Json{{"last-created-project", "p"}}));
    EXPECT_EQ(change("prj-1", "project-list-item"), 1);
    EXPECT_EQ(preferences(), Json::object());
    EXPECT_EQ(change("50%@", "new-folder-item"), 1);
    EXPECT_NE(finishedLog().find("didUpdateValue: 50%@ forKey: new-folder-item"), std::string::npos);
}

TEST_F(PublishOptionsDrive, ValidationReportsTheFirstFailureWithTheActionsName) {
    auto validate = [&](const Json& settings, const Json& action = "publish") {
        return call({{"call", "validateSettings"}, {"settings", settings}, {"action", action}});
    };
    auto failure = [](const std::string& name) {
        return Json{{"reply", "validateSettings"},
                    {"ok", false},
                    {"error",
                     {{"description", "Invalid value for " + name},
                      {"failureReason",
                       "The value supplied for " + name + " is not valid for performing Publish to galvoria."}}}};
    };
    const Json placeholders = {{"folder-list-item", "none"}, {"project-list-item", "none"}};
    EXPECT_EQ(validate(placeholders), failure("Not logged in"));
    EXPECT_TRUE(validate(Json::object(), otherAction)["ok"]);
    logInDirectly();
    EXPECT_EQ(validate({{"folder-list-item", ""}, {"project-list-item", ""}}), failure("Folder"));
    EXPECT_EQ(validate({{"folder-list-item", "f"}, {"project-list-item", ""}}), failure("Project"));
    EXPECT_EQ(validate({{"folder-list-item", 3}, {"project-list-item", "p"}}), failure("Folder"));
    EXPECT_TRUE(validate(placeholders)["ok"]);
}

}  // namespace
}  // namespace galvoria::testing
