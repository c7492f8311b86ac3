#pragma once
// The local galvoria service: the account and directory API, upload signing and completion, a
// presigned-POST storage endpoint, the project library pages and a benchmark sink, served over plain
// HTTP or, given a certificate and its key, over HTTPS. With testMode it also records the requests
// it receives and serves the control surface under /_test/ (recorded requests, faults per route,
// state, statistics, tokens); every control request carries the test token in the header named by
// testTokenHeader and, when it has a body, the type application/json.
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

inline constexpr std::string_view testTokenHeader = "X-Galvoria-Test-Token";

struct TlsFiles {
    std::filesystem::path certificateChain;  // PEM: the server's certificate, then any intermediates
    std::filesystem::path privateKey;        // PEM
};

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8470;        // 0: an ephemeral port
    bool testMode = false;  // records requests and serves the /_test/ control surface
    std::string testToken;  // what /_test/ requires; empty: a fresh one from the system's randomness
    // Loaded at start if present; saved within a second of a change (changes in between are saved
    // together) and when the server stops.
    std::optional<std::filesystem::path> stateFile;
    std::filesystem::path storageDir;  // where stored files land; empty: a fresh folder under the temp dir
    bool discardStorage = false;       // parse the storage form fully but do not keep the file bytes
    // Signs uploads to /_bench/discard, which reads the form without parsing it and stores it as
    // received in full, so a benchmark can measure a client against the link alone.
    bool signToDiscard = false;
    std::optional<TlsFiles> tls;  // serve HTTPS
    // Every response head (interim ones included) is held back this long: each request/response
    // exchange costs one emulated round trip. Latency only: the bytes flow at full speed.
    std::chrono::milliseconds responseLatency{0};
    bool logRequests = false;  // one line per request on standard error
};

// One request as it arrived, in arrival order. Requests to the /_test/ control surface are not recorded.
struct RecordedRequest {
    std::string method;
    std::string target;                                        // the raw request target, query included
    std::vector<std::pair<std::string, std::string>> headers;  // raw names and values, in wire order
    std::string body;                                          // the first MiB of the body bytes as read
    std::uint64_t bodyBytes = 0;                               // all body bytes read
    std::chrono::steady_clock::time_point receivedAt;          // when its head was complete
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
    std::uint64_t connections = 0;    // connections that carried a service request since the last reset
    std::uint64_t requests = 0;       // service requests since the last reset (control requests excluded)
    std::uint64_t tlsHandshakes = 0;  // full TLS handshakes (new sessions, not resumed ones)
    std::uint64_t tlsResumed = 0;     // TLS handshakes that resumed an earlier session
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();  // stops and joins
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, serves on a background thread and returns once it accepts connections; false if it cannot
    // bind, its state file cannot be read or its certificate and key cannot be loaded.
    bool start();
    void stop();  // also saves a changed state
    int port() const;
    std::string origin() const;     // "http://127.0.0.1:<port>", or https:// with TLS
    std::string testToken() const;  // what /_test/ requires; set once started

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
