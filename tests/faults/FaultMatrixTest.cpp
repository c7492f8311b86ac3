// Every exchange of the plugin against every fault the local service can produce: what the system
// makes of it, within a time bound, with nothing stored that should not be and no secret logged.
// The same table renders the table of docs/fault-matrix.md; a test keeps the committed one equal to it.
//
// The cells of one row run at the same time, each against a local service of its own started from
// one saved state, so that the one stored token is valid at every service.

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "devserver/Faults.hpp"
#include "devserver/Server.hpp"
#include "platform/Dispatch.hpp"
#include "platform/PreferenceStore.hpp"
#include "publishing/PublishingTask.hpp"
#include "service/Network.hpp"
#include "tests/support/TestSupport.hpp"
#include "vocabulary/PreferenceKeys.hpp"
#include "vocabulary/PublishAction.hpp"

namespace galvoria::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using devserver::Fault;
using devserver::FaultAction;
using Clock = std::chrono::steady_clock;

const std::string seededWorkspace = "ws-4f1c2a";   // the demo account's "Personal"
const std::string seededFolder = "fld-31a8e2";     // a folder in it
const std::string seededProject = "prj-3c9a02";    // a project in it
const std::string typedPassword = "Pw7#Zq-k2!xR";  // shares no six characters with any other text
const std::string closedOrigin = "http://127.0.0.1:1";

enum class Kind { login, listing, creation, file };
struct Exchange {
    const char* column;
    const char* route;
    Kind kind;
};
const std::vector<Exchange> exchanges = {{"login", "login", Kind::login},
                                         {"teams", "teams", Kind::listing},
                                         {"workspaces", "workspaces", Kind::listing},
                                         {"folders", "folders", Kind::listing},
                                         {"projects", "projects", Kind::listing},
                                         {"create folder", "create-folder", Kind::creation},
                                         {"create project", "create-project", Kind::creation},
                                         {"sign", "sign", Kind::file},
                                         {"storage upload", "storage", Kind::file},
                                         {"complete", "complete", Kind::file}};

// What a cell's fault needs to know: its own service, the other origin and the stored token.
struct CellContext {
    std::string origin;
    std::string elsewhere;
    std::string token;
};
using FaultFor = std::function<Fault(const Exchange&, const CellContext&)>;

// One row: a fault, and per exchange (in column order) 'x' when the exchange must fail cleanly, 'o'
// when it must succeed, 'c' when the storage's answer is taken and the completion is sent, but the
// service refuses it because the fault kept the file from being stored, or 'p' when the first file
// fails and the second is published.
struct Row {
    std::string name;
    std::string how;
    std::optional<FaultFor> fault;  // none: nothing listens where the request goes
    std::string expected;
    std::chrono::seconds bound = 5s;
    bool warm = false;  // both connections of the session have served a request before the exchange
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

Fault respond(int status, std::string body, std::string type = "application/json") {
    return {.status = status, .body = std::move(body), .contentType = std::move(type)};
}
FaultFor always(Fault fault) {
    return [fault](const Exchange&, const CellContext&) { return fault; };
}
// A 200 whose body depends on the kind of exchange: login, listing, creation, sign, storage, complete.
FaultFor byKind(std::array<std::string, 6> bodies) {
    return [bodies](const Exchange& exchange, const CellContext& cell) {
        std::size_t at = static_cast<std::size_t>(exchange.kind);
        if (exchange.kind == Kind::file)
            at = std::string_view(exchange.route) == "sign" ? 3 : std::string_view(exchange.route) == "storage" ? 4 : 5;
        std::string body = bodies.at(at);
        if (const auto mark = body.find("@origin"); mark != std::string::npos) body.replace(mark, 7, cell.origin);
        return respond(200, body, at == 4 ? "text/plain" : "application/json");
    };
}
Row statusRow(int status, const std::string& message) {
    return {std::to_string(status) + "WithJsonError",
            std::to_string(status) + R"( with {"message": ")" + message + "\"}",
            always(respond(status, R"({"message": ")" + message + "\"}")), "xxxxxxxxxx"};
}

const std::vector<Row> rows = {
    {"ConnectionRefused", "nothing listens at the address (connection refused)", std::nullopt, "xxxxxxxxxx"},
    {"DropBefore", "the connection closes before a single byte of the answer",
     always({.action = FaultAction::dropBefore}), "xxxxxxxxxx"},
    {"DropMidBody", "status, headers and half the declared body, then the connection closes",
     always({.action = FaultAction::dropMidBody}), "xxxxxxxxxx"},
    // The first file's step meets the kept-alive connection; the second file's goes out on the new
    // connection that replaces it, except for the completion, which follows its file's signing.
    {"DropAfterRequestOnReusedConnection",
     "dropped after the request, on a reused connection: the whole request read, then the connection closes "
     "without an answer",
     always({.action = FaultAction::dropReused}), "xxxxxxxppx", 5s, true},
    {"StallPastTimeout", "no answer at all; the client gives up after its 1 s stall time-out",
     always({.action = FaultAction::stall}), "xxxxxxxxxx", 40s},
    {"SlowWithinTimeout", "the real answer after 400 ms (login: the token of the stored session)",
     [](const Exchange& exchange, const CellContext& cell) {
         if (exchange.kind == Kind::login)
             return Fault{.status = 200, .body = R"({"token": ")" + cell.token + "\"}", .delayMs = 400};
         return Fault{.action = FaultAction::delay, .delayMs = 400};
     },
     "oooooooooo", 10s},
    {"RedirectElsewhere", "302 with a Location at another origin that would answer",
     [](const Exchange&, const CellContext& cell) {
         return Fault{.status = 302, .headers = {{"Location", cell.elsewhere + "/api/teams"}}};
     },
     "xxxxxxxxxx"},
    statusRow(400, "Bad Request."),
    statusRow(401, "Unauthenticated."),
    statusRow(403, "This action is unauthorized."),
    statusRow(404, "Not Found."),
    statusRow(422, "The given data was invalid."),
    statusRow(500, "Server Error"),
    statusRow(503, "Service Unavailable"),
    {"HtmlWith200", "200 with an HTML page", always(respond(200, "<html><body>Welcome</body></html>", "text/html")),
     "xxxxxxxxco"},
    {"PlainTextWith200", "200 with plain text", always(respond(200, "OK", "text/plain")), "xxxxxxxxco"},
    {"EmptyObjectWith200", "200 with {}", always(respond(200, "{}")), "xxxxxxxxco"},
    {"WrongTypesWith200", "200 whose expected members have the wrong JSON type",
     byKind({R"({"token": 12345})", R"({"data": {"id": "x-1", "name": "X"}})",
             R"({"data": [{"id": "new-1", "name": "X"}]})",
             R"({"postEndpoint": ["@origin/storage/upload"], "signature": "key=k"})", R"({"data": 7})",
             R"({"data": "done"})"}),
     "xxxxxxxxco"},
    {"TruncatedJson", "200 with a JSON body cut short", always(respond(200, R"({"data": [{"id": "a", "name": "A)")),
     "xxxxxxxxco"},
    {"OversizedBody", "200 with a 20 MiB body, above the 16 MiB cap", always({.action = FaultAction::oversized}),
     "xxxxxxxxxx"},
    {"InvalidUtf8InNames", "200 with the expected answer, a name in it holding bytes that are not UTF-8",
     byKind({"{\"token\": \"tok-\xff\"}", "{\"data\": [{\"id\": \"x-1\", \"name\": \"caf\xe9\"}]}",
             "{\"data\": {\"id\": \"new-1\", \"name\": \"caf\xe9\"}}",
             "{\"postEndpoint\": \"@origin/storage/upload\", \"signature\": {\"key\": \"caf\xe9\"}}", "caf\xe9",
             "{\"data\": {\"name\": \"caf\xe9\"}}"}),
     "xxxxxxxxco"},
};

struct Observation {
    char outcome = '?';  // 'x' failed cleanly, 'o' succeeded, '?' neither
    std::string detail;  // what was seen, when it was neither
    std::vector<std::string> problems;
    std::chrono::milliseconds elapsed{};
};

std::optional<std::string> stored(std::string_view key) {
    return platform::PreferenceStore::standard().stringForKey(key);
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        platform::PreferenceStore::setStandardPath(dir_.path() / "preferences.json");
        {
            devserver::Server seed({.port = 0, .testMode = true, .stateFile = dir_.path() / "seed.json"});
            ASSERT_TRUE(seed.start());
            token_ = seed.issueToken(demoEmail);
        }
        elsewhere_ = startService(dir_.path() / "elsewhere");
        ASSERT_TRUE(elsewhere_);
        platform::PreferenceStore& store = platform::PreferenceStore::standard();
        store.setValue(token_, prefs::apiToken);
        store.setValue(typedPassword, prefs::password);
    }

    // A local service of its own with the saved state (and so the stored token).
    std::unique_ptr<devserver::Server> startService(const fs::path& at) const {
        fs::create_directories(at);
        fs::copy_file(dir_.path() / "seed.json", at / "state.json");
        auto server = std::make_unique<devserver::Server>(devserver::ServerOptions{
            .port = 0, .testMode = true, .stateFile = at / "state.json", .storageDir = at / "storage"});
        return server->start() ? std::move(server) : nullptr;
    }

    Observation run(const Row& row, std::size_t column) {
        const Exchange& exchange = exchanges.at(column);
        const fs::path cellDir = dir_.path() / exchange.route;
        auto server = startService(cellDir);
        if (!server) return {.detail = "the local service did not start"};
        http::Session session(http::SessionOptions{.connectTimeout = 2s, .stallTimeout = 1s});
        std::string origin = server->origin();
        if (row.fault) {
            server->setFault(exchange.route, (*row.fault)(exchange, {origin, elsewhere_->origin(), token_}));
        } else if (exchange.route == std::string_view("storage")) {
            server->setFault("sign", respond(200, R"({"postEndpoint": ")" + closedOrigin +
                                                      R"(/storage/upload", "signature": {"key": "k"}})"));
        } else if (exchange.route == std::string_view("complete")) {
            // The service goes away once the storage has answered, before the completion is sent.
            log_.onLine([service = server.get()](std::string_view line) {
                if (line.starts_with("Response: ")) service->stop();
            });
        } else {
            origin = closedOrigin;
        }
        Preferences preferences(platform::PreferenceStore::standard());
        const Network network(preferences, origin, &session);
        if (row.warm) {
            for (const http::Role role : {http::Role::service, http::Role::storage})
                session.perform(role, {.url = origin + "/_warm"});
        }
        const auto start = Clock::now();
        Observation seen = exchange.kind == Kind::login ? runLogin(network)
                           : exchange.kind == Kind::listing
                               ? runListing(network, exchange.route)
                               : runTask(network, preferences, exchange, row.expected.at(column), *server, cellDir);
        seen.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        server->stop();
        // Sent once: the exchange's request reached the service once per file that came to that step
        // (the first file only, when a creation goes first), never again after a failure.
        if (row.fault) {
            const auto requests = server->recordedRequests();
            const auto count = std::ranges::count(requests, std::string(exchange.route), [](const auto& request) {
                return devserver::faultRouteOf(request.method, request.target.substr(0, request.target.find('?')));
            });
            const long attempts = exchange.kind == Kind::file ? 2 : 1;
            if (count != attempts)
                seen.problems.push_back("sent " + std::to_string(count) + " times for " + std::to_string(attempts));
        }
        if (!row.fault && exchange.route == std::string_view("complete")) log_.onLine({});
        return seen;
    }

    Observation runLogin(const Network& network) {
        const std::string result = network.login(demoEmail, typedPassword);
        const auto token = stored(prefs::apiToken);
        const auto password = stored(prefs::password);
        if (result.empty() && token == token_ && password == "") return {.outcome = 'o'};
        if (result == "login-failed" && token == token_ && password == typedPassword) return {.outcome = 'x'};
        return {.detail = "login answered \"" + result + "\" and the store changed"};
    }

    Observation runListing(const Network& network, std::string_view route) {
        const std::size_t count = route == "teams"        ? network.getTeams().size()
                                  : route == "workspaces" ? network.getWorkspaces().workspaces.size()
                                  : route == "folders"    ? network.getFolders(seededWorkspace).size()
                                                          : network.getProjects(seededWorkspace).size();
        Observation seen{.outcome = count == 0 ? 'x' : 'o'};
        if (stored(prefs::apiToken) != token_) seen.problems.push_back("the stored token changed");
        return seen;
    }

    // A creation publishes one file after it; a file step publishes two files into an existing project.
    Observation runTask(const Network& network, Preferences& preferences, const Exchange& exchange, char expected,
                        const devserver::Server& server, const fs::path& cellDir) {
        const bool newFolder = exchange.route == std::string_view("create-folder");
        const bool newProject = exchange.route == std::string_view("create-project");
        std::vector<std::string> files = {(cellDir / "a.jpg").string(), (cellDir / "b.jpg").string()};
        if (exchange.kind == Kind::creation) files.pop_back();
        for (const auto& file : files) std::ofstream(file, std::ios::binary) << std::string(3000, 'f');
        const std::string folderItem = newFolder ? "0" : newProject ? seededFolder : "none";
        const co::Value settings = {{"workspace-list-item", seededWorkspace},
                                    {"folder-list-item", folderItem},
                                    {"new-folder-item", "Trip"},
                                    {"project-list-item", newProject ? "0" : seededProject},
                                    {"new-project-item", "Day 1"}};
        auto task = std::make_shared<co::COFileHandlingPluginTask>(publishAction(), files);
        task->setSettings(settings);
        std::atomic<int> reports{0};
        co::Error error;
        const auto result = publishing::startPublishingTask(
            network, preferences, task, &error,
            [&](const co::TaskPtr&, std::uint64_t, std::uint64_t, const std::string&) { ++reports; });
        platform::MainQueue::shared().waitUntilDrained();

        const auto requests = server.recordedRequests();
        const auto sent = [&](std::string_view path) {
            return std::ranges::count_if(requests, [&](const auto& r) { return r.target.starts_with(path); });
        };
        Observation seen;
        static const std::regex bothFilesNamed(
            R"(None of the 2 files could be published: a\.jpg \([^()]+\), b\.jpg \([^()]+\)\.)");
        const std::string refusedCreation = newFolder ? "Creating folder failed" : "Creating project failed";
        const auto remembered = newFolder ? prefs::lastCreatedFolder : prefs::lastCreatedProject;
        if (result && result->message() == "Publishing completed!" && reports == std::ssize(files)) {
            seen.outcome = 'o';
            if (exchange.kind == Kind::creation && !stored(remembered))
                seen.problems.push_back("the creation was not kept");
        } else if (expected == 'p' && result && reports == 2 && result->message() != "Publishing completed!" &&
                   result->message().value_or("").find("a.jpg") != std::string::npos &&
                   result->message().value_or("").find("b.jpg") == std::string::npos) {
            seen.outcome = 'p';
            if (sent("/api/upload/complete") != 1) seen.problems.push_back("not only the second file was completed");
        } else if (exchange.kind == Kind::creation && !result && error.localizedDescription() == refusedCreation) {
            seen.outcome = 'x';
            if (stored(remembered)) seen.problems.push_back("a creation was remembered");
            if (reports != 0 || sent("/api/upload/") != 0) seen.problems.push_back("a file was sent");
        } else if (exchange.kind == Kind::file && !result &&
                   std::regex_match(error.localizedFailureReason(), bothFilesNamed) && reports == 2) {
            seen.outcome = 'x';
            if (exchange.route == std::string_view("sign") && sent("/storage/") != 0)
                seen.problems.push_back("a file went to the storage without a signature");
            const bool completed = sent("/api/upload/complete") != 0;
            if (exchange.route == std::string_view("storage") && completed != (expected == 'c')) {
                seen.problems.push_back(completed ? "a file the storage refused was completed"
                                                  : "a file the storage took was not completed");
            }
        } else {
            seen.detail =
                result ? "result \"" + result->message().value_or("") + "\""
                       : "error \"" + error.localizedDescription() + ": " + error.localizedFailureReason() + "\"";
            seen.detail += ", " + std::to_string(reports) + " reports";
        }
        return seen;
    }

    TempDir dir_;
    std::string token_;
    std::unique_ptr<devserver::Server> elsewhere_;
    platform::MainQueueThread mainQueue_;
    LogCapture log_;  // the whole process's log; a cell may act on a line as it is written
};

TEST_P(FaultMatrix, EveryExchangeEndsAsWrittenWithinItsBound) {
    const Row& row = GetParam();
    ASSERT_EQ(row.expected.size(), exchanges.size());
    std::vector<std::future<Observation>> cells;
    for (std::size_t column = 0; column < exchanges.size(); ++column)
        cells.push_back(std::async(std::launch::async, [&, column] { return run(row, column); }));
    for (std::size_t at = 0; at < exchanges.size(); ++at) {
        SCOPED_TRACE(exchanges[at].column);
        const Observation seen = cells[at].get();
        EXPECT_EQ(seen.outcome, row.expected[at] == 'c' ? 'x' : row.expected[at]) << seen.detail;
        EXPECT_TRUE(seen.problems.empty()) << ::testing::PrintToString(seen.problems);
        EXPECT_LE(seen.elapsed, row.bound);
    }
    EXPECT_TRUE(elsewhere_->recordedRequests().empty()) << "a redirect was followed";
    const std::string log = log_.all();
    for (const std::string& secret : {token_, typedPassword}) {
        for (std::size_t at = 0; at + 6 <= secret.size(); ++at)
            ASSERT_EQ(log.find(secret.substr(at, 6)), std::string::npos) << "part of a secret was logged";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(rows),
                         [](const auto& info) { return info.param.name; });

// The table of docs/fault-matrix.md, rendered from the rows; the text above it, which says what
// the outcomes mean, is the document's own.
std::string matrixTable() {
    std::ostringstream out;
    out << "| Fault | Bound |";
    for (const Exchange& exchange : exchanges) out << ' ' << exchange.column << " |";
    out << "\n|---|---|";
    for (std::size_t at = 0; at < exchanges.size(); ++at) out << "---|";
    out << '\n';
    for (const Row& row : rows) {
        out << "| " << row.how << " | " << row.bound.count() << " s |";
        for (const char expected : row.expected)
            out << (expected == 'o'   ? " ok |"
                    : expected == 'c' ? " completed, refused |"
                    : expected == 'p' ? " first fails, second ok |"
                                      : " fails |");
        out << '\n';
    }
    return out.str();
}

TEST(FaultMatrixDocument, IsTheTableTheTestRuns) {
    const fs::path path = fs::path(GALVORIA_SOURCE_DIR) / "docs" / "fault-matrix.md";
    const std::string text = readFile(path);
    const std::string document = text.substr(0, text.find("| Fault | Bound |")) + matrixTable();
    if (const char* write = std::getenv("GALVORIA_WRITE_FAULT_MATRIX"); write != nullptr && *write != '\0')
        std::ofstream(path, std::ios::binary | std::ios::trunc) << document;
    EXPECT_EQ(readFile(path), document) << "docs/fault-matrix.md differs from the table; regenerate it";
}

}  // namespace
}  // namespace galvoria::testing
