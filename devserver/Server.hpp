#pragma once
// The local galvoria service: the account and directory API, upload signing and completion, a
// presigned-POST storage endpoint, the project library pages and a benchmark sink, all served over
// plain HTTP. With testMode it also serves the control surface under /_test/ (recorded requests,
// faults per route, state, statistics, tokens).
//
// The seeded demo account is "demo@galvoria.test" with the password "galvoria-demo".

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace galvoria::devserver {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8470;                                 // 0: an ephemeral port
    bool testMode = false;                           // serves the /_test/ control surface
    std::optional<std::filesystem::path> stateFile;  // load at start if present, save on every change
    std::filesystem::path storageDir;  // where stored files land; empty: a fresh folder under the temp dir
    bool discardStorage = false;       // parse the storage form fully but do not keep the file bytes
    bool logRequests = false;          // one line per request on standard error
};

// One request as it arrived, in arrival order. Requests to the /_test/ control surface are not recorded.
struct RecordedRequest {
    std::string method;
    std::string target;                                        // the raw request target, query included
    std::vector<std::pair<std::string, std::string>> headers;  // raw names and values, in wire order
    std::string body;                                          // the first MiB of the body bytes as read
    std::uint64_t bodyBytes = 0;                               // all body bytes read
};

enum class FaultAction {
    respond,      // answer with status, body, contentType and headers instead of the real handler, after delayMs
    delay,        // sleep delayMs, then run the real handler
    dropBefore,   // close the connection without sending a single response byte
    dropMidBody,  // send status line, headers with a Content-Length and part of the body, then close
    stall,      // never answer until the fault is cleared or replaced (then the real handler runs) or the server stops
    oversized,  // answer 200 with a JSON-looking body of 20 MiB, streamed
    // On a kept-alive connection that has already served a request: read the whole request, then
    // close without a byte of answer. A request that opens its connection is served as usual and
    // does not use the fault.
    dropReused,
};

// The routes a fault can target: "login", "teams", "workspaces", "folders", "projects", "create-folder",
// "create-project", "sign", "storage", "complete", "library".
const std::vector<std::string>& faultRoutes();
std::optional<FaultAction> faultActionFromName(std::string_view name);  // "respond", "drop-before", ...
std::string_view faultActionName(FaultAction action);

// Mirrors the JSON of POST /_test/faults:
// {"route", "action", "status", "body", "contentType", "headers": {...}, "delayMs", "times"}.
struct Fault {
    FaultAction action = FaultAction::respond;
    std::optional<int> status;  // absent: 500 for respond, 200 for drop-mid-body and oversized
    std::string body;
    std::string contentType = "application/json";
    std::map<std::string, std::string> headers;
    int delayMs = 0;
    std::optional<int> times;  // how many requests it applies to; absent: until cleared
};

struct ServerStats {
    std::uint64_t connections = 0;  // connections that carried a service request since the last reset
    std::uint64_t requests = 0;     // service requests since the last reset (control requests excluded)
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();  // stops and joins
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, serves on a background thread and returns once it accepts connections; false if it cannot
    // bind or its state file cannot be read.
    bool start();
    void stop();
    int port() const;
    std::string origin() const;  // "http://127.0.0.1:<port>"

    // The same as the /_test/ routes, for in-process tests:
    void reset();  // back to the seeded demo state; clears recordings, statistics, faults and the clock offset
    std::vector<RecordedRequest> recordedRequests() const;
    void clearRecordedRequests();
    void setFault(const std::string& route, Fault fault);  // replaces the route's fault
    void clearFaults();
    nlohmann::json state() const;  // the whole in-memory state as JSON
    std::string issueToken(
        const std::string& email);  // a valid token for a seeded account; empty for an unknown e-mail
    ServerStats stats() const;
    void advanceClock(std::chrono::seconds offset);  // moves the service's clock forward (expiring signed uploads)

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace galvoria::devserver
