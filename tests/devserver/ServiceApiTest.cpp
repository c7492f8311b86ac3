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
    const std::string first = login();
    const std::string second = login();
    EXPECT_FALSE(first.empty());
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

const std::string demoCredentials = credentials(demoEmail, demoPassword).dump();

TEST_F(ServiceApiTest, LoginAnswersTheCredentialsErrorToWrongOrMissingCredentials) {
    for (const Json& body : {credentials("nobody@galvoria.test", demoPassword), credentials(demoEmail, nullptr),
                             credentials(demoEmail, demoPassword, nullptr), credentials(7, demoPassword)}) {
        const Reply reply = post("/sanctum/token", body);
        EXPECT_EQ(reply.status, 422) << body.value("email", Json());
        EXPECT_EQ(reply.json(), Json::parse(R"({"message": "The provided credentials are incorrect.",
                                           "errors": {"email": ["The provided credentials are incorrect."]}})"));
    }
}

TEST_F(ServiceApiTest, BearerRoutesRefuseMissingEmptyAndUnknownTokens) {
    for (const std::string path :
         {"/api/workspaces/ws-4f1c2a/folders", "/api/upload/sign/lightroom", "/api/upload/complete"}) {
        for (const httplib::Headers& headers : {httplib::Headers{}, httplib::Headers{{"Authorization", "Bearer "}},
                                                httplib::Headers{{"Authorization", "Bearer 1|not-a-token"}}}) {
            const Reply reply = path.ends_with("/folders")
                                    ? replyOf(client->Get(path, headers))
                                    : replyOf(client->Post(path, headers, "{}", "application/json"));
            EXPECT_EQ(reply.status, 401) << path;
            EXPECT_EQ(reply.json(), Json({{"message", "Unauthenticated."}}));
        }
    }
}

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

Json named(const Json& name, const char* member = nullptr, const Json& value = nullptr) {
    Json body = name.is_null() ? Json::object() : Json{{"name", name}};
    if (member != nullptr) body[member] = value;
    return body;
}

TEST_F(ServiceApiTest, CreationsAnswerAndListWhatTheyCreated) {
    const std::string token = login();
    const std::string folders = std::string(personalWorkspace) + "/folders";
    const std::string projects = std::string(personalWorkspace) + "/projects";
    const std::string locked(lockedWorkspace);
    // Path under /api/workspaces/, body, status.
    for (const auto& [under, body, status] : std::vector<std::tuple<std::string, Json, int>>{
             {projects, {{"name", "Été 📷"}, {"description", ""}, {"folder_id", nullptr}}, 201},
             {projects, named("Loose"), 201},
             {locked + "/folders", named("x", "parent_id"), 403},
             {locked + "/projects", named("x", "folder_id"), 403},
             {projects, named("   ", "folder_id"), 422},
             {folders, named(nullptr, "parent_id"), 422},
             {folders, named(5), 422},
             {projects, named("x", "folder_id", "fld-a4f630"), 422},
             {folders, named("x", "parent_id", "fld-none"), 422}}) {
        const std::string path = "/api/workspaces/" + under;
        SCOPED_TRACE(path + " " + body.dump());
        const std::size_t before = get(path, token).json()["data"].size();
        const Reply reply = post(path, body, token);
        EXPECT_EQ(reply.status, status) << reply.body;
        const Json listing = get(path, token).json()["data"];
        if (status != 201) {
            EXPECT_EQ(listing.size(), before);
            continue;
        }
        const Json created = reply.json()["data"];
        ASSERT_TRUE(created["id"].is_string());
        EXPECT_EQ(listing.size(), before + 1);
        EXPECT_EQ(listing.back()["id"], created["id"]);
        EXPECT_EQ(listing.back()["name"], created["name"]);
    }
}

TEST_F(ServiceApiTest, ValidationErrorsNameEachField) {
    const Reply reply = post("/api/workspaces/ws-4f1c2a/projects", {{"name", ""}, {"folder_id", "none"}}, login());
    EXPECT_EQ(reply.json(), Json::parse(R"json({"message": "The name field is required. (and 1 more error)",
        "errors": {"name": ["The name field is required."], "folder_id": ["The selected folder id is invalid."]}})json"));
}

// What the recording keeps of the plugin's requests (wire order, raw values, bodies) the wire checks
// of the service client and the uploads read in process; here, its form on the control surface.
TEST_F(ServiceApiTest, ControlSurfaceServesAndClearsTheRecordedRequests) {
    const std::string token = server->issueToken(demoEmail);
    const std::string body = "{\"name\": \"Zed\", \"parent_id\": null}  ";
    const std::string request =
        "POST /api/workspaces/ws-4f1c2a/folders HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Accept: application/json\r\nUser-Agent: CaptureOne\r\nAuthorization: Bearer " +
        token + "\r\nX-Odd: a%20b\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    EXPECT_NE(rawExchange(server->port(), request + body).find("201 Created"), std::string::npos);
    control("GET", "/_test/stats");  // control requests are not recorded

    const Json overHttp = control("GET", "/_test/requests").json()["requests"];
    ASSERT_EQ(overHttp.size(), 1U);
    EXPECT_EQ(overHttp[0]["headers"][4], Json::array({"Authorization", "Bearer " + token}));
    EXPECT_EQ(overHttp[0]["bodyBytes"], body.size());
    EXPECT_EQ(control("DELETE", "/_test/requests").status, 204);
    EXPECT_TRUE(server->recordedRequests().empty());
}

TEST_F(ServiceApiTest, ControlSurfaceCountsResetsIssuesTokensAndSetsFaults) {
    const std::string token = login();
    post("/api/workspaces/ws-4f1c2a/folders", {{"name", "Temporary"}}, token);
    get("/api/teams", token);
    const Json counted = {{"connections", 1}, {"requests", 3}, {"tlsHandshakes", 0}, {"tlsResumed", 0}};
    EXPECT_EQ(control("GET", "/_test/stats").json(), counted);
    EXPECT_EQ(control("POST", "/_test/reset").status, 204);
    EXPECT_EQ(control("GET", "/_test/stats").json()["requests"], 0);
    EXPECT_EQ(get("/api/teams", token).status, 401);  // reset forgets tokens
    EXPECT_EQ(server->state()["folders"].size(), 7U) << "the seeded folders and no more";

    EXPECT_EQ(get("/api/teams", control("POST", "/_test/token", Json{{"email", demoEmail}}).json()["token"]).status,
              200);
    EXPECT_EQ(control("POST", "/_test/token", Json{{"email", "nobody@galvoria.test"}}).status, 422);
    for (const Json& bad :
         {Json{{"route", "nowhere"}, {"action", "respond"}}, Json{{"route", "teams"}, {"action", "explode"}},
          Json{{"route", "teams"}, {"action", "respond"}, {"times", 0}}})
        EXPECT_EQ(control("POST", "/_test/faults", bad).status, 422) << bad;
    const Json fault = {{"route", "workspaces"}, {"action", "respond"}, {"status", 500}};
    ASSERT_EQ(control("POST", "/_test/faults", fault).status, 204);
    EXPECT_EQ(get("/api/workspaces").status, 500);
    EXPECT_EQ(get("/api/workspaces").status, 500);  // until cleared
    EXPECT_EQ(control("DELETE", "/_test/faults").status, 204);
    EXPECT_EQ(get("/api/workspaces").status, 401);
}

// Any local process, a web page's cross-site text/plain POST, or a storage endpoint a hostile sign
// answer points at the control surface must neither read the recorded credentials nor reset the service.
TEST_F(ServiceApiTest, ControlSurfaceRefusesRequestsWithoutTheTokenOrJson) {
    login();
    const std::string key(testTokenHeader);
    const std::string good = server->testToken();
    ASSERT_EQ(good.size(), 64U);
    // Rows without a content type are GETs.
    for (const auto& [path, headers, type, status] :
         std::vector<std::tuple<std::string, httplib::Headers, std::optional<std::string>, int>>{
             {"/_test/requests", {}, std::nullopt, 401},
             {"/_test/state", {{key, good.substr(1)}}, std::nullopt, 401},
             {"/_test/reset", {}, "application/json", 401},
             {"/_test/reset", {{key, good}}, "text/plain", 415},
             {"/_test/reset", {{key, good}}, "", 415}}) {
        const httplib::Result result = type ? client->Post(path, headers, "{}", *type) : client->Get(path, headers);
        EXPECT_EQ(replyOf(result).status, status) << path << " " << type.value_or("GET");
    }
    EXPECT_EQ(server->recordedRequests().size(), 1U) << "nothing was reset";
    EXPECT_EQ(server->state()["tokens"].size(), 1U);

    ServerOptions given = options();
    given.testToken = "chosen-token";
    startServer(given);
    EXPECT_EQ(server->testToken(), "chosen-token");
    EXPECT_EQ(replyOf(client->Get("/_test/stats", {{key, "chosen-token"}})).status, 200);

    ServerOptions plain = options();
    plain.testMode = false;
    startServer(plain);
    login();
    EXPECT_TRUE(server->recordedRequests().empty()) << "nothing is recorded outside test mode";
    EXPECT_EQ(replyOf(client->Post("/_test/reset", {{key, server->testToken()}}, "{}", "application/json")).status,
              404);
}

// A burst of changes is saved together, while the service keeps running. That a saved state is
// read back whole, tokens included, the fault matrix's services started from one saved state show.
TEST_F(ServiceApiTest, StateFileTakesABurstOfChangesAndRefusesAnUnreadableFile) {
    ServerOptions options = this->options();
    options.stateFile = folder.path() / "state.json";
    startServer(options);
    for (int i = 0; i < 301; ++i) server->issueToken(demoEmail);
    const auto savedTokens = [&options] {
        const Json saved = Json::parse(std::ifstream(*options.stateFile), nullptr, false);
        return saved.is_object() ? saved["tokens"].size() : 0U;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (savedTokens() != 301U && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(savedTokens(), 301U);

    std::ofstream(*options.stateFile) << "{ not json";
    EXPECT_FALSE(Server(options).start());
}

TEST_F(ServiceApiTest, ServesTheSameRoutesOverTlsAndCountsNewSessions) {
    const std::string dir = folder.path().string();
    for (const std::string name : {"one", "other"}) {
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
            "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
            dir + "/" + name + "-key.pem -out " + dir + "/" + name + "-cert.pem 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << "openssl cannot make a certificate";
    }
    ServerOptions secure = options();
    secure.tls = TlsFiles{dir + "/one-cert.pem", dir + "/one-key.pem"};
    startServer(secure);
    ASSERT_TRUE(server->origin().starts_with("https://127.0.0.1:")) << server->origin();

    for (int connection = 0; connection < 2; ++connection) {
        httplib::SSLClient tls("127.0.0.1", server->port());
        tls.set_ca_cert_path(dir + "/one-cert.pem");
        tls.enable_server_certificate_verification(true);
        tls.set_keep_alive(true);
        const Reply login = replyOf(tls.Post("/sanctum/token", demoCredentials, "application/json"));
        ASSERT_EQ(login.status, 200) << login.body;
        EXPECT_EQ(replyOf(tls.Get("/api/teams", authorization(login.json()["token"]))).status, 200);
    }
    EXPECT_EQ(server->stats().tlsHandshakes, 2U) << "one handshake per connection, none per request";
    EXPECT_EQ(server->stats().requests, 4U);
    EXPECT_EQ(rawExchange(server->port(), "GET /api/teams HTTP/1.1\r\nHost: x\r\n\r\n").find("HTTP/1.1"),
              std::string::npos)
        << "no plain HTTP on a TLS port";

    secure.tls->privateKey = dir + "/other-key.pem";
    EXPECT_FALSE(Server(secure).start()) << "a key that does not match the certificate";
}

TEST_F(ServiceApiTest, ProgramPrintsItsOriginAndTokenAndSavesItsStateOnSignal) {
    // The inner shell names its process and becomes the service; the outer one reports its exit status.
    const auto stateFile = folder.path() / "cli-state.json";
    const std::string command = "sh -c 'echo $$; exec " + std::string(GALVORIA_DEVSERVER_BINARY) +
                                " --port 0 --test-mode --state " + stateFile.string() + " --storage " +
                                (folder.path() / "cli").string() + " 2>/dev/null'; echo exit=$?";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    const int pid = std::atoi(line);
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    const std::string first(line);
    constexpr std::string_view prefix = "galvoria-devserver listening on http://127.0.0.1:";
    ASSERT_TRUE(first.starts_with(prefix)) << first;
    const auto tokenAt = first.find(" (test token ");
    ASSERT_NE(tokenAt, std::string::npos) << first;
    const std::string testToken = first.substr(tokenAt + 13, 64);
    httplib::Client cli("127.0.0.1", std::atoi(first.substr(prefix.size()).c_str()));
    EXPECT_EQ(replyOf(cli.Get("/_test/stats", {{std::string(testTokenHeader), testToken}})).status, 200);
    // The first change is saved at once, the next ones within a second; the signal comes before that.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(replyOf(cli.Post("/sanctum/token", demoCredentials, "application/json")).status, 200);
    ::kill(pid, SIGTERM);
    ASSERT_NE(std::fgets(line, sizeof(line), pipe), nullptr);
    EXPECT_STREQ(line, "exit=0\n");
    ::pclose(pipe);
    EXPECT_EQ(Json::parse(std::ifstream(stateFile), nullptr, false)["tokens"].size(), 3U);
}

}  // namespace
}  // namespace galvoria::devserver::testing
