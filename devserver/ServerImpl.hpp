#pragma once
// The inside of the service, shared by the files that register its routes.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "devserver/Faults.hpp"
#include "devserver/HttpFront.hpp"
#include "devserver/Recorder.hpp"
#include "devserver/Server.hpp"
#include "devserver/Signing.hpp"
#include "devserver/State.hpp"
#include "devserver/Text.hpp"

namespace galvoria::devserver {

using Json = nlohmann::ordered_json;

// Text of a JSON value; invalid UTF-8 in strings is replaced rather than refused.
std::string dumpJson(const Json& json);
void sendJson(httplib::Response& response, int status, const Json& body);
// {"message": message}
void sendMessage(httplib::Response& response, int status, const std::string& message);
// The request body as a JSON object; an empty object when it is not one.
Json requestObject(const httplib::Request& request);
// The raw path of the request being served (percent-encoding intact).
std::string rawPathOf(const httplib::Request& request);
// A request header as it arrived (the library percent-decodes header values).
std::optional<std::string> rawHeaderOf(const httplib::Request& request, std::string_view name);

// The storage needs a Content-Length and no Transfer-Encoding.
bool hasDeclaredLength(const httplib::Request& request);
// 411 and the connection closed after it.
void refuseUnknownLength(httplib::Response& response);

// Where the bytes of a stored key live under the storage folder. Each key segment is percent-encoded,
// so no key can name a path outside the folder.
std::filesystem::path storagePathForKey(const std::filesystem::path& root, const std::string& key);

struct Server::Impl {
    explicit Impl(ServerOptions serverOptions);

    ServerOptions options;
    HttpFront front;
    std::thread listenThread;
    int boundPort = 0;
    bool running = false;
    std::filesystem::path storageDir;
    bool ownsStorageDir = false;

    mutable std::mutex stateMutex;
    ServiceState state;         // guarded by stateMutex
    std::string signingSecret;  // set once before serving
    std::string testToken;      // set once before serving
    std::atomic<std::int64_t> clockOffsetSeconds{0};

    // The state file is written by one thread, at most once a second, with every change made since
    // its last write; stop() writes what is left.
    std::thread saverThread;
    std::condition_variable stateChanged;  // with stateMutex
    bool stateDirty = false;               // guarded by stateMutex
    bool saverStopping = false;            // guarded by stateMutex

    Recorder recorder;
    FaultTable faults;

    [[nodiscard]] Clock::time_point now() const;
    [[nodiscard]] std::string originText() const;
    [[nodiscard]] UploadSigner signer() const { return UploadSigner(signingSecret); }

    bool loadState();
    void saveLocked();  // with stateMutex held: the state file is to be written
    [[nodiscard]] Json stateFileJsonLocked() const;
    void writeStateFile(const Json& json) const;
    void startSaver();
    void stopSaver();  // writes a pending change first
    void saverLoop();
    void resetState();
    std::string issueTokenLocked(const std::string& accountId, const std::string& deviceName);
    // The account of the request's bearer token.
    std::optional<std::string> authenticatedAccount(const httplib::Request& request) const;

    void installHooks();
    BodyObserver onRequestHead(const RequestHead& head, ConnectionInfo& connection);
    // A control request with the test token and, when it has a body, the type application/json;
    // anything else is answered here.
    bool controlRequestAllowed(const httplib::Request& request, httplib::Response& response) const;
    httplib::Server::HandlerResponse applyFault(const httplib::Request& request, httplib::Response& response);

    void registerServiceRoutes();
    void registerStorageRoutes();
    void registerPageRoutes();
    void registerTestRoutes();
};

}  // namespace galvoria::devserver
