// The account and directory API: login, bearer checks, listings and creations with their refusals,
// the recording of requests, the control surface and the state file.

#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/devserver/DevserverFixture.hpp"

namespace galvoria::devserver::testing {
namespace {

using ServiceApiTest = DevserverTest;

TEST_F(ServiceApiTest, LoginHandsOutAFreshWorkingTokenEachTime) {
    std::string first = login();
    std::string second = login();
    EXPECT_FALSE(first.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(get("/api/teams", first).status, 200);
    EXPECT_EQ(get("/api/teams", second).status, 200);
    // Tokens are kept only as digests.
    EXPECT_EQ(server->state().dump().find(first), std::string::npos);
}

struct LoginCase {
    const char* name;
    Json body;
};

class LoginRefusalTest : public DevserverTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginRefusalTest, AnswersTheCredentialsError) {
    Reply reply = post("/sanctum/token", GetParam().body);
    EXPECT_EQ(reply.status, 422);
    EXPECT_EQ(reply.json(), Json::parse(R"({"message": "The provided credentials are incorrect.",
                                           "errors": {"email": ["The provided credentials are incorrect."]}})"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginRefusalTest,
    ::testing::Values(LoginCase{"WrongPassword",
                                {{"email", demoEmail}, {"password", "galvoria-dem0"}, {"device_name", "c1-plugin"}}},
                      LoginCase{"UnknownEmail",
                                {{"email", "nobody@galvoria.test"}, {"password", demoPassword}, {"device_name", "x"}}},
                      LoginCase{"AccountWithoutPassword",
                                {{"email", "mireille@galvoria.test"}, {"password", ""}, {"device_name", "x"}}},
                      LoginCase{"PasswordMissing", {{"email", demoEmail}, {"device_name", "c1-plugin"}}},
                      LoginCase{"DeviceMissing", {{"email", demoEmail}, {"password", demoPassword}}},
                      LoginCase{"EmailNotAString", {{"email", 7}, {"password", demoPassword}, {"device_name", "x"}}}),
    [](const auto& info) { return info.param.name; });

struct Route {
    const char* method;
    const char* path;
};

class BearerTest : public DevserverTest, public ::testing::WithParamInterface<Route> {};

TEST_P(BearerTest, RefusesMissingEmptyAndUnknownTokens) {
    for (const httplib::Headers& headers : {httplib::Headers{}, httplib::Headers{{"Authorization", "Bearer "}},
                                            httplib::Headers{{"Authorization", "Bearer 1|not-a-token"}}}) {
        Reply reply = std::string(GetParam().method) == "GET"
                          ? replyOf(client->Get(GetParam().path, headers))
                          : replyOf(client->Post(GetParam().path, headers, "{}", "application/json"));
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.json(), Json({{"message", "Unauthenticated."}}));
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, BearerTest,
                         ::testing::Values(Route{"GET", "/api/teams"}, Route{"GET", "/api/workspaces"},
                                           Route{"GET", "/api/workspaces/ws-4f1c2a/folders"},
                                           Route{"POST", "/api/workspaces/ws-4f1c2a/projects"},
                                           Route{"POST", "/api/upload/sign/lightroom"},
                                           Route{"POST", "/api/upload/complete"}));

TEST_F(ServiceApiTest, ListingsCarryTheMembersThePluginReads) {
    std::string token = login();
    Json teams = get("/api/teams", token).json()["data"];
    ASSERT_GE(teams.size(), 1U);
    EXPECT_TRUE(teams[0]["owner"]["id"].is_string());

    Json workspaces = get("/api/workspaces", token).json()["data"];
    bool sawTeamless = false;
    bool sawLocked = false;
    for (const auto& workspace : workspaces) {
        EXPECT_TRUE(workspace["team_id"].is_null() || workspace["team_id"].is_string());
        EXPECT_TRUE(workspace["has_owner_permissions"].is_boolean());
        EXPECT_TRUE(workspace["plan_features"].is_array());
        sawTeamless = sawTeamless || workspace["team_id"].is_null();
        sawLocked = sawLocked || (workspace["id"] == lockedWorkspace &&
                                  workspace["permissions"]["acl"]["workspace.folder.create"] == false);
    }
    EXPECT_TRUE(sawTeamless);
    EXPECT_TRUE(sawLocked);

    Json folders = get(std::string("/api/workspaces/") + personalWorkspace + "/folders", token).json()["data"];
    std::vector<std::string> names;
    for (const auto& folder : folders) names.push_back(folder["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"Été à Montréal", "Portraits 📷", "Cafe\u0301"}));

    Json projects = get(std::string("/api/workspaces/") + personalWorkspace + "/projects", token).json()["data"];
    bool sawTopLevel = false;
    for (const auto& project : projects) sawTopLevel = sawTopLevel || project["folder_id"].is_null();
    EXPECT_TRUE(sawTopLevel);
}

TEST_F(ServiceApiTest, WorkspaceIdentifierIsOneDecodedPathSegment) {
    std::string token = login();
    Reply plain = get("/api/workspaces/ws-4f1c2a/folders", token);
    EXPECT_EQ(get("/api/workspaces/ws%2D4f1c2a/folders", token).body, plain.body);
    EXPECT_EQ(get("/api/workspaces/ws-unknown/folders", token).status, 404);
    EXPECT_EQ(get("/api/workspaces/ws-4f1c2a%2Ffolders/folders", token).status, 404);
    EXPECT_EQ(get("/api/workspaces/ws-4f1c2a/folders/extra", token).status, 404);
}

struct CreationCase {
    const char* name;
    const char* workspace;
    const char* kind;  // "folders" or "projects"
    Json body;
    int status;
};

class CreationTest : public DevserverTest, public ::testing::WithParamInterface<CreationCase> {};

TEST_P(CreationTest, AnswersAndListsWhatItCreated) {
    const CreationCase& c = GetParam();
    std::string token = login();
    std::string path = std::string("/api/workspaces/") + c.workspace + "/" + c.kind;
    std::size_t before = get(path, token).json()["data"].size();
    Reply reply = post(path, c.body, token);
    EXPECT_EQ(reply.status, c.status) << reply.body;
    Json listing = get(path, token).json()["data"];
    if (c.status != 201) {
        EXPECT_EQ(listing.size(), before);
        return;
    }
    Json created = reply.json()["data"];
    ASSERT_TRUE(created["id"].is_string());
    EXPECT_EQ(listing.size(), before + 1);
    EXPECT_EQ(listing.back()["id"], created["id"]);
    EXPECT_EQ(listing.back()["name"], created["name"]);
}

const Json nullFolder = {{"name", "Été 📷"}, {"description", ""}, {"folder_id", nullptr}};

INSTANTIATE_TEST_SUITE_P(
    Cases, CreationTest,
    ::testing::Values(
        CreationCase{"Folder", personalWorkspace, "folders", {{"name", "Mariage 💍"}, {"parent_id", nullptr}}, 201},
        CreationCase{"ProjectAtTopLevel", personalWorkspace, "projects", nullFolder, 201},
        CreationCase{"ProjectWithoutFolderMember", personalWorkspace, "projects", {{"name", "Loose"}}, 201},
        CreationCase{"ProjectInFolder",
                     personalWorkspace,
                     "projects",
                     {{"name", "Inside"}, {"description", ""}, {"folder_id", "fld-5c07b9"}},
                     201},
        CreationCase{
            "FolderInLockedWorkspace", lockedWorkspace, "folders", {{"name", "x"}, {"parent_id", nullptr}}, 403},
        CreationCase{"ProjectInLockedWorkspace", lockedWorkspace, "projects", nullFolder, 403},
        CreationCase{"EmptyName", personalWorkspace, "folders", {{"name", ""}, {"parent_id", nullptr}}, 422},
        CreationCase{"BlankName", personalWorkspace, "projects", {{"name", "   "}, {"folder_id", nullptr}}, 422},
        CreationCase{"MissingName", personalWorkspace, "folders", {{"parent_id", nullptr}}, 422},
        CreationCase{"NameNotAString", personalWorkspace, "folders", {{"name", 5}}, 422},
        CreationCase{"PlaceholderFolder", personalWorkspace, "projects", {{"name", "x"}, {"folder_id", "none"}}, 422},
        CreationCase{"FolderOfAnotherWorkspace",
                     personalWorkspace,
                     "projects",
                     {{"name", "x"}, {"folder_id", "fld-a4f630"}},
                     422},
        CreationCase{"UnknownParent", personalWorkspace, "folders", {{"name", "x"}, {"parent_id", "fld-none"}}, 422}),
    [](const auto& info) { return info.param.name; });

TEST_F(ServiceApiTest, ValidationErrorsNameEachField) {
    Reply reply = post("/api/workspaces/ws-4f1c2a/projects", {{"name", ""}, {"folder_id", "none"}}, login());
    EXPECT_EQ(reply.json(), Json::parse(R"json({"message": "The name field is required. (and 1 more error)",
        "errors": {"name": ["The name field is required."], "folder_id": ["The selected folder id is invalid."]}})json"));
}

TEST_F(ServiceApiTest, RecordsRequestsInArrivalOrderWithRawHeadersInWireOrder) {
    std::string token = server->issueToken(demoEmail);
    const std::string body = "{\"name\": \"Zed\", \"parent_id\": null}  ";
    std::string request =
        "POST /api/workspaces/ws-4f1c2a/folders HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: application/json\r\nAccept: application/json\r\nUser-Agent: CaptureOne\r\n"
        "Authorization: Bearer " +
        token + "\r\nX-Odd: a%20b\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
        body;
    EXPECT_NE(rawExchange(server->port(), request).find("201 Created"), std::string::npos);
    get("/_test/stats");  // control requests are not recorded

    std::vector<RecordedRequest> recorded = server->recordedRequests();
    ASSERT_EQ(recorded.size(), 1U);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].target, "/api/workspaces/ws-4f1c2a/folders");
    std::vector<std::string> names;
    for (const auto& [name, value] : recorded[0].headers) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Host", "Content-Type", "Accept", "User-Agent", "Authorization", "X-Odd",
                                               "Content-Length", "Connection"}));
    EXPECT_EQ(recorded[0].headers[5].second, "a%20b");
    EXPECT_EQ(recorded[0].body, body);
    EXPECT_EQ(recorded[0].bodyBytes, body.size());

    Json overHttp = get("/_test/requests").json()["requests"];
    ASSERT_EQ(overHttp.size(), 1U);
    EXPECT_EQ(overHttp[0]["headers"][4], Json::array({"Authorization", "Bearer " + token}));
    EXPECT_EQ(client->Delete("/_test/requests")->status, 204);
    EXPECT_TRUE(server->recordedRequests().empty());
}

TEST_F(ServiceApiTest, StatsCountConnectionsAndRequestsSinceReset) {
    std::string token = login();
    get("/api/teams", token);
    get("/api/workspaces", token);
    EXPECT_EQ(get("/_test/stats").json(), Json({{"connections", 1}, {"requests", 3}}));
    EXPECT_EQ(client->Post("/_test/reset")->status, 204);
    EXPECT_EQ(get("/_test/stats").json(), Json({{"connections", 0}, {"requests", 0}}));
    EXPECT_EQ(get("/api/teams", token).status, 401);  // reset forgets tokens
}

TEST_F(ServiceApiTest, ResetRestoresTheSeededState) {
    std::string token = login();
    post("/api/workspaces/ws-4f1c2a/folders", {{"name", "Temporary"}}, token);
    Json changed = server->state();
    server->reset();
    EXPECT_NE(server->state(), changed);
    EXPECT_EQ(server->state()["folders"].size(), 7U);
}

TEST_F(ServiceApiTest, ControlSurfaceIssuesTokensAndRefusesBadFaults) {
    Json token = post("/_test/token", {{"email", demoEmail}}).json();
    EXPECT_EQ(get("/api/teams", token["token"]).status, 200);
    EXPECT_EQ(post("/_test/token", {{"email", "nobody@galvoria.test"}}).status, 422);
    EXPECT_EQ(post("/_test/faults", {{"route", "nowhere"}, {"action", "respond"}}).status, 422);
    EXPECT_EQ(post("/_test/faults", {{"route", "teams"}, {"action", "explode"}}).status, 422);
    EXPECT_EQ(post("/_test/faults", {{"route", "teams"}, {"action", "respond"}, {"times", 0}}).status, 422);
}

class PlainServiceTest : public DevserverTest {
    ServerOptions options() override {
        ServerOptions options = DevserverTest::options();
        options.testMode = false;
        return options;
    }
};

TEST_F(PlainServiceTest, HasNoControlSurfaceWithoutTestMode) {
    EXPECT_EQ(post("/_test/reset", Json::object()).status, 404);
    EXPECT_EQ(get("/_test/requests").status, 404);
}

TEST_F(ServiceApiTest, StateFileKeepsRecordsAndTokensAcrossRestarts) {
    ServerOptions options = this->options();
    options.stateFile = folder.path() / "state.json";
    startServer(options);
    std::string token = login();
    std::string id = post("/api/workspaces/ws-4f1c2a/folders", {{"name", "Kept"}}, token).json()["data"]["id"];

    startServer(options);
    Reply folders = get("/api/workspaces/ws-4f1c2a/folders", token);
    EXPECT_EQ(folders.status, 200);
    EXPECT_NE(folders.body.find(id), std::string::npos);

    std::ofstream(*options.stateFile) << "{ not json";
    Server broken(options);
    EXPECT_FALSE(broken.start());
}

TEST_F(ServiceApiTest, ProgramPrintsItsOriginAndStopsOnSignal) {
    // The inner shell names its process and becomes the service; the outer one reports its exit status.
    std::string command = "sh -c 'echo $$; exec " + std::string(GALVORIA_DEVSERVER_BINARY) + " --port 0 --storage " +
                          (folder.path() / "cli").string() + " 2>/dev/null'; echo exit=$?";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    int pid = std::atoi(line);
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    std::string first(line);
    EXPECT_TRUE(first.starts_with("galvoria-devserver listening on http://127.0.0.1:")) << first;
    int port = std::atoi(first.substr(first.rfind(':') + 1).c_str());
    httplib::Client cli("127.0.0.1", port);
    EXPECT_EQ(replyOf(cli.Get("/api/teams")).status, 401);
    ::kill(pid, SIGTERM);
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    EXPECT_STREQ(line, "exit=0\n");
    ::pclose(pipe);
}

}  // namespace
}  // namespace galvoria::devserver::testing
