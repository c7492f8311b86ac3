// The account and directory API: login, bearer checks, listings and creations with their refusals,
// the recording of requests, the control surface and the state file.

#include <csignal>
#include <cstdio>
#include <fstream>

#include "tests/devserver/DevserverFixture.hpp"

namespace galvoria::devserver::testing {
namespace {

using ServiceApiTest = DevserverTest;

TEST_F(ServiceApiTest, LoginHandsOutAFreshWorkingTokenEachTime) {
    const std::string first = login();
    const std::string second = login();
    EXPECT_FALSE(first.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(get("/api/teams", first).status, 200);
    EXPECT_EQ(get("/api/teams", second).status, 200);
    EXPECT_EQ(server->state().dump().find(first), std::string::npos) << "tokens are kept only as digests";
}

// A member given as null is left out of the body.
Json credentials(const Json& email, const Json& password, const Json& device = "c1-plugin") {
    Json body = Json::object();
    for (const auto& [name, value] : {std::pair{"email", email}, {"password", password}, {"device_name", device}}) {
        if (!value.is_null()) body[name] = value;
    }
    return body;
}

class LoginRefusalTest : public DevserverTest, public ::testing::WithParamInterface<Json> {};

TEST_P(LoginRefusalTest, AnswersTheCredentialsError) {
    const Reply reply = post("/sanctum/token", GetParam());
    EXPECT_EQ(reply.status, 422);
    EXPECT_EQ(reply.json(), Json::parse(R"({"message": "The provided credentials are incorrect.",
                                           "errors": {"email": ["The provided credentials are incorrect."]}})"));
}

INSTANTIATE_TEST_SUITE_P(Cases, LoginRefusalTest,
                         ::testing::Values(credentials(demoEmail, "galvoria-dem0"),
                                           credentials("nobody@galvoria.test", demoPassword),
                                           credentials("mireille@galvoria.test", ""),  // an account without password
                                           credentials(demoEmail, nullptr),
                                           credentials(demoEmail, demoPassword, nullptr),
                                           credentials(7, demoPassword)));

class BearerTest : public DevserverTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(BearerTest, RefusesMissingEmptyAndUnknownTokens) {
    const std::string method = GetParam().substr(0, GetParam().find(' '));
    const std::string path = GetParam().substr(method.size() + 1);
    for (const httplib::Headers& headers : {httplib::Headers{}, httplib::Headers{{"Authorization", "Bearer "}},
                                            httplib::Headers{{"Authorization", "Bearer 1|not-a-token"}}}) {
        const Reply reply = method == "GET" ? replyOf(client->Get(path, headers))
                                            : replyOf(client->Post(path, headers, "{}", "application/json"));
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.json(), Json({{"message", "Unauthenticated."}}));
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, BearerTest,
                         ::testing::Values("GET /api/teams", "GET /api/workspaces",
                                           "GET /api/workspaces/ws-4f1c2a/folders",
                                           "POST /api/workspaces/ws-4f1c2a/projects", "POST /api/upload/sign/lightroom",
                                           "POST /api/upload/complete"));

// The seeded listings are read through the plugin, where they must give exactly the lists the
// settings and command-line tests expect.

TEST_F(ServiceApiTest, WorkspaceIdentifierIsOneDecodedPathSegment) {
    const std::string token = login();
    EXPECT_EQ(get("/api/workspaces/ws%2D4f1c2a/folders", token).body,
              get("/api/workspaces/ws-4f1c2a/folders", token).body);
    for (const char* path : {"/api/workspaces/ws-unknown/folders", "/api/workspaces/ws-4f1c2a%2Ffolders/folders",
                             "/api/workspaces/ws-4f1c2a/folders/extra"}) {
        EXPECT_EQ(get(path, token).status, 404) << path;
    }
}

struct CreationCase {
    const char* name;
    std::string path;  // under /api/workspaces/
    Json body;
    int status;
};

class CreationTest : public DevserverTest, public ::testing::WithParamInterface<CreationCase> {};

TEST_P(CreationTest, AnswersAndListsWhatItCreated) {
    const std::string token = login();
    const std::string path = "/api/workspaces/" + GetParam().path;
    const std::size_t before = get(path, token).json()["data"].size();
    const Reply reply = post(path, GetParam().body, token);
    EXPECT_EQ(reply.status, GetParam().status) << reply.body;
    const Json listing = get(path, token).json()["data"];
    if (GetParam().status != 201) {
        EXPECT_EQ(listing.size(), before);
        return;
    }
    const Json created = reply.json()["data"];
    ASSERT_TRUE(created["id"].is_string());
    EXPECT_EQ(listing.size(), before + 1);
    EXPECT_EQ(listing.back()["id"], created["id"]);
    EXPECT_EQ(listing.back()["name"], created["name"]);
}

Json named(const Json& name, const char* member = nullptr, const Json& value = nullptr) {
    Json body = name.is_null() ? Json::object() : Json{{"name", name}};
    if (member != nullptr) body[member] = value;
    return body;
}
const std::string folders = std::string(personalWorkspace) + "/folders";
const std::string projects = std::string(personalWorkspace) + "/projects";

INSTANTIATE_TEST_SUITE_P(
    Cases, CreationTest,
    ::testing::Values(CreationCase{"Folder", folders, named("Mariage 💍", "parent_id"), 201},
                      CreationCase{"ProjectAtTopLevel",
                                   projects,
                                   {{"name", "Été 📷"}, {"description", ""}, {"folder_id", nullptr}},
                                   201},
                      CreationCase{"ProjectWithoutFolderMember", projects, named("Loose"), 201},
                      CreationCase{"ProjectInFolder", projects, named("Inside", "folder_id", "fld-5c07b9"), 201},
                      CreationCase{"FolderInLockedWorkspace", std::string(lockedWorkspace) + "/folders",
                                   named("x", "parent_id"), 403},
                      CreationCase{"ProjectInLockedWorkspace", std::string(lockedWorkspace) + "/projects",
                                   named("x", "folder_id"), 403},
                      CreationCase{"EmptyName", folders, named("", "parent_id"), 422},
                      CreationCase{"BlankName", projects, named("   ", "folder_id"), 422},
                      CreationCase{"MissingName", folders, named(nullptr, "parent_id"), 422},
                      CreationCase{"NameNotAString", folders, named(5), 422},
                      CreationCase{"PlaceholderFolder", projects, named("x", "folder_id", "none"), 422},
                      CreationCase{"FolderOfAnotherWorkspace", projects, named("x", "folder_id", "fld-a4f630"), 422},
                      CreationCase{"UnknownParent", folders, named("x", "parent_id", "fld-none"), 422}),
    [](const auto& info) { return info.param.name; });

TEST_F(ServiceApiTest, ValidationErrorsNameEachField) {
    const Reply reply = post("/api/workspaces/ws-4f1c2a/projects", {{"name", ""}, {"folder_id", "none"}}, login());
    EXPECT_EQ(reply.json(), Json::parse(R"json({"message": "The name field is required. (and 1 more error)",
        "errors": {"name": ["The name field is required."], "folder_id": ["The selected folder id is invalid."]}})json"));
}

TEST_F(ServiceApiTest, RecordsRequestsInArrivalOrderWithRawHeadersInWireOrder) {
    const std::string token = server->issueToken(demoEmail);
    const std::string body = "{\"name\": \"Zed\", \"parent_id\": null}  ";
    const std::string request =
        "POST /api/workspaces/ws-4f1c2a/folders HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Accept: application/json\r\nUser-Agent: CaptureOne\r\nAuthorization: Bearer " +
        token + "\r\nX-Odd: a%20b\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    EXPECT_NE(rawExchange(server->port(), request + body).find("201 Created"), std::string::npos);
    get("/_test/stats");  // control requests are not recorded

    const std::vector<RecordedRequest> recorded = server->recordedRequests();
    ASSERT_EQ(recorded.size(), 1U);
    EXPECT_EQ(recorded[0].method + " " + recorded[0].target, "POST /api/workspaces/ws-4f1c2a/folders");
    std::string head = recorded[0].method + " " + recorded[0].target + " HTTP/1.1\r\n";
    for (const auto& [name, value] : recorded[0].headers) head += name + ": " + value + "\r\n";
    EXPECT_EQ(head + "\r\n", request);
    EXPECT_EQ(recorded[0].body, body);
    EXPECT_EQ(recorded[0].bodyBytes, body.size());

    const Json overHttp = get("/_test/requests").json()["requests"];
    ASSERT_EQ(overHttp.size(), 1U);
    EXPECT_EQ(overHttp[0]["headers"][4], Json::array({"Authorization", "Bearer " + token}));
    EXPECT_EQ(client->Delete("/_test/requests")->status, 204);
    EXPECT_TRUE(server->recordedRequests().empty());
}

TEST_F(ServiceApiTest, ControlSurfaceCountsResetsIssuesTokensAndSetsFaults) {
    const std::string token = login();
    post("/api/workspaces/ws-4f1c2a/folders", {{"name", "Temporary"}}, token);
    get("/api/teams", token);
    EXPECT_EQ(get("/_test/stats").json(), Json({{"connections", 1}, {"requests", 3}}));
    EXPECT_EQ(client->Post("/_test/reset")->status, 204);
    EXPECT_EQ(get("/_test/stats").json(), Json({{"connections", 0}, {"requests", 0}}));
    EXPECT_EQ(get("/api/teams", token).status, 401);  // reset forgets tokens
    EXPECT_EQ(server->state()["folders"].size(), 7U) << "the seeded folders and no more";

    EXPECT_EQ(get("/api/teams", post("/_test/token", {{"email", demoEmail}}).json()["token"]).status, 200);
    EXPECT_EQ(post("/_test/token", {{"email", "nobody@galvoria.test"}}).status, 422);
    for (const Json& bad :
         {Json{{"route", "nowhere"}, {"action", "respond"}}, Json{{"route", "teams"}, {"action", "explode"}},
          Json{{"route", "teams"}, {"action", "respond"}, {"times", 0}}}) {
        EXPECT_EQ(post("/_test/faults", bad).status, 422) << bad;
    }
    ASSERT_EQ(post("/_test/faults", {{"route", "workspaces"}, {"action", "respond"}, {"status", 500}}).status, 204);
    EXPECT_EQ(get("/api/workspaces").status, 500);
    EXPECT_EQ(get("/api/workspaces").status, 500);  // until cleared
    EXPECT_EQ(client->Delete("/_test/faults")->status, 204);
    EXPECT_EQ(get("/api/workspaces").status, 401);

    ServerOptions plain = options();
    plain.testMode = false;
    startServer(plain);
    EXPECT_EQ(post("/_test/reset", Json::object()).status, 404);
    EXPECT_EQ(get("/_test/requests").status, 404);
}

TEST_F(ServiceApiTest, StateFileKeepsRecordsAndTokensAcrossRestarts) {
    ServerOptions options = this->options();
    options.stateFile = folder.path() / "state.json";
    startServer(options);
    const std::string token = login();
    const std::string id = post("/api/workspaces/ws-4f1c2a/folders", {{"name", "Kept"}}, token).json()["data"]["id"];

    startServer(options);
    const Reply folders = get("/api/workspaces/ws-4f1c2a/folders", token);
    EXPECT_EQ(folders.status, 200);
    EXPECT_NE(folders.body.find(id), std::string::npos);

    std::ofstream(*options.stateFile) << "{ not json";
    EXPECT_FALSE(Server(options).start());
}

TEST_F(ServiceApiTest, ProgramPrintsItsOriginAndStopsOnSignal) {
    // The inner shell names its process and becomes the service; the outer one reports its exit status.
    const std::string command = "sh -c 'echo $$; exec " + std::string(GALVORIA_DEVSERVER_BINARY) +
                                " --port 0 --storage " + (folder.path() / "cli").string() +
                                " 2>/dev/null'; echo exit=$?";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    const int pid = std::atoi(line);
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    const std::string first(line);
    EXPECT_TRUE(first.starts_with("galvoria-devserver listening on http://127.0.0.1:")) << first;
    httplib::Client cli("127.0.0.1", std::atoi(first.substr(first.rfind(':') + 1).c_str()));
    EXPECT_EQ(replyOf(cli.Get("/api/teams")).status, 401);
    ::kill(pid, SIGTERM);
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    EXPECT_STREQ(line, "exit=0\n");
    ::pclose(pipe);
}

}  // namespace
}  // namespace galvoria::devserver::testing
