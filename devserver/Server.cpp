#include "devserver/Server.hpp"

#include <openssl/crypto.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

constexpr std::size_t maximumConnectionThreads = 256;
constexpr int listenBacklog = 128;
constexpr std::size_t oversizedBodyBytes = 20 * 1024 * 1024;
constexpr std::string_view controlPrefix = "/_test/";
constexpr std::chrono::seconds stateSaveInterval{1};

// Set when a fault produced the response, so the error handler leaves its body alone.
thread_local const httplib::Request* faultAnswered = nullptr;

void logLine(const std::string& line) {
    std::string text = line + "\n";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

// A body that reads as the start of a JSON listing, of exactly `size` bytes.
std::string jsonLookingBody(std::size_t size) {
    std::string prefix = R"({"data": [{"id": "padding", "name": ")";
    std::string suffix = R"("}]})";
    if (size <= prefix.size() + suffix.size()) return std::string(size, ' ');
    return prefix + std::string(size - prefix.size() - suffix.size(), 'x') + suffix;
}

Json recordedRequestJson(const RecordedRequest& request) {
    Json headers = Json::array();
    for (const auto& [name, value] : request.headers) headers.push_back({name, value});
    return {{"method", request.method},
            {"target", request.target},
            {"headers", headers},
            {"body", request.body},
            {"bodyBytes", request.bodyBytes},
            {"receivedAtNs",
             std::chrono::duration_cast<std::chrono::nanoseconds>(request.receivedAt.time_since_epoch()).count()}};
}

}  // namespace

std::string dumpJson(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

void sendJson(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(dumpJson(body), "application/json");
}

void sendMessage(httplib::Response& response, int status, const std::string& message) {
    sendJson(response, status, {{"message", message}});
}

Json requestObject(const httplib::Request& request) {
    auto json = Json::parse(request.body, nullptr, false);
    return json.is_object() ? json : Json::object();
}

std::string rawPathOf(const httplib::Request& request) {
    if (const RequestHead* head = HttpFront::currentHead()) return std::string(head->path());
    return request.target.substr(0, request.target.find('?'));
}

std::optional<std::string> rawHeaderOf(const httplib::Request& request, std::string_view name) {
    if (const RequestHead* head = HttpFront::currentHead()) return head->header(name);
    std::string key(name);
    if (!request.has_header(key)) return std::nullopt;
    return request.get_header_value(key);
}

namespace {

// A key segment as a file name. An encoded segment never holds '%' on its own, so the stand-ins
// cannot meet a real segment.
std::string storageName(const std::string& segment) {
    std::string encoded = percentEncodeSegment(segment);
    if (encoded.empty()) return "%";
    if (encoded == ".") return "%2E";
    if (encoded == "..") return "%2E%2E";
    if (encoded.size() > 200) return encoded.substr(0, 120) + "%~" + sha256Hex(segment).substr(0, 32);
    return encoded;
}

}  // namespace

std::filesystem::path storagePathForKey(const std::filesystem::path& root, const std::string& key) {
    std::filesystem::path path = root;
    std::size_t start = 0;
    while (true) {
        auto slash = key.find('/', start);
        path /= storageName(key.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return path;
}

Server::Impl::Impl(ServerOptions serverOptions)
    : options(std::move(serverOptions)),
      front(FrontHooks{
          [this](const RequestHead& head, ConnectionInfo& connection) { return onRequestHead(head, connection); },
          [this](bool resumed) { recorder.countTlsHandshake(resumed); }}) {}

Clock::time_point Server::Impl::now() const { return Clock::now() + std::chrono::seconds(clockOffsetSeconds.load()); }

std::string Server::Impl::originText() const {
    std::string host = options.host;
    if (host.empty() || host == "0.0.0.0" || host == "::") host = "127.0.0.1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return (options.tls ? "https://" : "http://") + host + ":" + std::to_string(boundPort);
}

bool Server::Impl::loadState() {
    std::lock_guard lock(stateMutex);
    state = ServiceState::seeded();
    signingSecret = randomHex(32);
    if (!options.stateFile) return true;
    std::error_code error;
    if (!std::filesystem::exists(*options.stateFile, error)) {
        writeStateFile(stateFileJsonLocked());
        return true;
    }
    std::ifstream input(*options.stateFile, std::ios::binary);
    std::stringstream text;
    text << input.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    auto loaded = json.is_object() ? ServiceState::fromJson(json) : std::nullopt;
    if (!input || !loaded) {
        logLine("galvoria-devserver: the state file " + options.stateFile->string() + " cannot be read");
        return false;
    }
    state = std::move(*loaded);
    if (json.contains("signingSecret") && json["signingSecret"].is_string()) {
        signingSecret = json["signingSecret"].get<std::string>();
    } else {
        writeStateFile(stateFileJsonLocked());
    }
    return true;
}

void Server::Impl::saveLocked() {
    if (!options.stateFile) return;
    stateDirty = true;
    stateChanged.notify_one();
}

Json Server::Impl::stateFileJsonLocked() const {
    Json json = state.toJson();
    json["signingSecret"] = signingSecret;
    return json;
}

void Server::Impl::startSaver() {
    if (!options.stateFile || saverThread.joinable()) return;
    {
        std::lock_guard lock(stateMutex);
        saverStopping = false;
    }
    saverThread = std::thread([this] { saverLoop(); });
}

void Server::Impl::stopSaver() {
    if (!saverThread.joinable()) return;
    {
        std::lock_guard lock(stateMutex);
        saverStopping = true;
    }
    stateChanged.notify_one();
    saverThread.join();
}

void Server::Impl::saverLoop() {
    // The first change after a quiet second is written at once; the ones that follow within the
    // second wait for it to pass and are written together. A publish of thousands of files changes
    // the state three times per file: rewriting the whole file for each change made it crawl.
    auto lastWrite = std::chrono::steady_clock::time_point{};
    std::unique_lock lock(stateMutex);
    while (true) {
        stateChanged.wait(lock, [this] { return stateDirty || saverStopping; });
        if (!stateDirty) return;
        stateChanged.wait_until(lock, lastWrite + stateSaveInterval, [this] { return saverStopping; });
        stateDirty = false;
        Json json = stateFileJsonLocked();
        lock.unlock();
        writeStateFile(json);
        lastWrite = std::chrono::steady_clock::now();
        lock.lock();
    }
}

void Server::Impl::writeStateFile(const Json& json) const {
    const std::filesystem::path& target = *options.stateFile;
    std::filesystem::path temporary = target;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream output(temporary, std::ios::binary | std::ios::trunc);
        output << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
        output.flush();
        if (!output) {
            logLine("galvoria-devserver: the state file " + target.string() + " cannot be written");
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) logLine("galvoria-devserver: the state file " + target.string() + " cannot be replaced");
}

void Server::Impl::resetState() {
    std::lock_guard lock(stateMutex);
    for (const auto& [key, object] : state.objects) {
        std::error_code error;
        if (object.bytesKept) std::filesystem::remove(storagePathForKey(storageDir, key), error);
    }
    state = ServiceState::seeded();
    saveLocked();
}

std::string Server::Impl::issueTokenLocked(const std::string& accountId, const std::string& deviceName) {
    ++state.tokenCount;
    std::string token = std::to_string(state.tokenCount) + "|" + randomAlphanumeric(40);
    state.tokens.push_back({sha256Hex(token), accountId, deviceName, isoTime(now())});
    saveLocked();
    return token;
}

std::optional<std::string> Server::Impl::authenticatedAccount(const httplib::Request& request) const {
    std::string authorization = rawHeaderOf(request, "Authorization").value_or("");
    constexpr std::string_view scheme = "Bearer ";
    if (authorization.size() <= scheme.size() ||
        !equalsIgnoringCase(std::string_view(authorization).substr(0, scheme.size()), scheme)) {
        return std::nullopt;
    }
    std::string token = trimmed(std::string_view(authorization).substr(scheme.size()));
    if (token.empty()) return std::nullopt;
    std::lock_guard lock(stateMutex);
    const TokenRecord* record = state.tokenByDigest(sha256Hex(token));
    if (record == nullptr) return std::nullopt;
    return record->accountId;
}

BodyObserver Server::Impl::onRequestHead(const RequestHead& head, ConnectionInfo& connection) {
    if (!options.testMode || head.path().starts_with(controlPrefix)) return nullptr;
    RecordedRequest recorded{head.method, head.target, head.headers, {}, 0, std::chrono::steady_clock::now()};
    bool newConnection = !connection.counted;
    connection.counted = true;
    auto request = recorder.begin(std::move(recorded), newConnection);
    return [this, request](const char* data, std::size_t length) { recorder.appendBody(*request, data, length); };
}

bool Server::Impl::controlRequestAllowed(const httplib::Request& request, httplib::Response& response) const {
    const std::string given = rawHeaderOf(request, testTokenHeader).value_or("");
    if (given.size() != testToken.size() || CRYPTO_memcmp(given.data(), testToken.data(), given.size()) != 0) {
        sendMessage(response, 401, "The test token is missing or wrong.");
        return false;
    }
    // A web page can send a text/plain POST to any origin without asking first; it cannot send JSON.
    const bool hasBody = !request.body.empty() || rawHeaderOf(request, "Content-Length").value_or("0") != "0" ||
                         rawHeaderOf(request, "Transfer-Encoding") || request.method == "POST";
    const std::string type = rawHeaderOf(request, "Content-Type").value_or("");
    if (hasBody && !equalsIgnoringCase(trimmed(type.substr(0, type.find(';'))), "application/json")) {
        sendMessage(response, 415, "The control surface takes application/json only.");
        return false;
    }
    return true;
}

httplib::Server::HandlerResponse Server::Impl::applyFault(const httplib::Request& request,
                                                          httplib::Response& response) {
    using Handled = httplib::Server::HandlerResponse;
    faultAnswered = nullptr;
    if (options.testMode && rawPathOf(request).starts_with(controlPrefix)) {
        if (controlRequestAllowed(request, response)) return Handled::Unhandled;
        faultAnswered = &request;
        return Handled::Handled;
    }
    std::string route = faultRouteOf(request.method, rawPathOf(request));
    if (route.empty()) return Handled::Unhandled;
    if (faults.peekAction(route) == FaultAction::dropReused && !HttpFront::currentConnectionReused()) {
        return Handled::Unhandled;
    }
    std::optional<Fault> fault = faults.take(route);
    if (!fault) return Handled::Unhandled;

    if (fault->delayMs > 0 && !faults.sleep(std::chrono::milliseconds(fault->delayMs))) {
        HttpFront::dropCurrentConnection();
        return Handled::Handled;
    }
    faultAnswered = &request;
    switch (fault->action) {
        case FaultAction::delay:
            faultAnswered = nullptr;
            return Handled::Unhandled;
        case FaultAction::stall:
            if (faults.holdStalled([] { return HttpFront::currentPeerClosed(); })) {
                faultAnswered = nullptr;
                return Handled::Unhandled;
            }
            HttpFront::dropCurrentConnection();
            return Handled::Handled;
        case FaultAction::dropBefore:
            HttpFront::dropCurrentConnection();
            return Handled::Handled;
        case FaultAction::dropReused:
            // The body is read to its declared length first, so the client has sent the whole
            // request before the connection closes.
            static_cast<void>(HttpFront::readCurrentBody([](const char*, std::size_t) { return true; }));
            HttpFront::dropCurrentConnection();
            return Handled::Handled;
        case FaultAction::respond:
            response.status = fault->status.value_or(500);
            for (const auto& [name, value] : fault->headers) response.set_header(name, value);
            if (fault->body.empty()) {
                response.set_header("Content-Type", fault->contentType);
            } else {
                response.set_content(fault->body, fault->contentType);
            }
            return Handled::Handled;
        case FaultAction::dropMidBody: {
            auto body = std::make_shared<std::string>(fault->body.size() >= 2 ? fault->body : jsonLookingBody(8192));
            response.status = fault->status.value_or(200);
            for (const auto& [name, value] : fault->headers) response.set_header(name, value);
            HttpFront::closeCurrentConnectionAfterResponse();
            response.set_content_provider(body->size(), fault->contentType,
                                          [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                              if (offset > 0) return false;  // half sent: cut the connection
                                              return sink.write(body->data(), body->size() / 2);
                                          });
            return Handled::Handled;
        }
        case FaultAction::oversized: {
            auto body = std::make_shared<std::string>(jsonLookingBody(oversizedBodyBytes));
            response.status = fault->status.value_or(200);
            for (const auto& [name, value] : fault->headers) response.set_header(name, value);
            response.set_content_provider(body->size(), "application/json",
                                          [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                              std::size_t piece = std::min<std::size_t>(length, 256 * 1024);
                                              return sink.write(body->data() + offset, piece);
                                          });
            return Handled::Handled;
        }
    }
    return Handled::Unhandled;
}

void Server::Impl::installHooks() {
    front.new_task_queue = [] { return new GrowingThreadPool(maximumConnectionThreads); };
    front.set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    // A client keeps one connection for a whole publish, three requests per file: a cap of a
    // thousand requests would have it reconnect every few hundred files.
    front.set_keep_alive_max_count(1000000);
    front.set_keep_alive_timeout(5);
    front.set_read_timeout(30);
    front.set_write_timeout(30);
    front.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) { return applyFault(request, response); });
    front.set_expect_100_continue_handler([this](const httplib::Request& request, httplib::Response& response) {
        std::string route = faultRouteOf(request.method, rawPathOf(request));
        // A request that is to be dropped before any answer must not even see "100 Continue".
        if (!route.empty() && faults.peekAction(route) == FaultAction::dropBefore) {
            auto fault = faults.take(route);
            if (fault && fault->delayMs > 0) faults.sleep(std::chrono::milliseconds(fault->delayMs));
            HttpFront::dropCurrentConnection();
            response.status = 500;
            return 500;
        }
        // The storage refuses a body of unknown length before the client sends it.
        if (route == "storage" && !faults.peekAction(route) && !hasDeclaredLength(request)) {
            refuseUnknownLength(response);
            return 411;
        }
        return 100;
    });
    front.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& request,
                                                                    httplib::Response& response) {
        if (faultAnswered == &request || !response.body.empty() || response.content_provider_) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        sendMessage(response, response.status, response.status == 404 ? "Not Found." : "The request cannot be served.");
        return httplib::Server::HandlerResponse::Handled;
    }));
    if (options.logRequests) {
        front.set_logger([](const httplib::Request& request, const httplib::Response& response) {
            std::string path = request.target.substr(0, request.target.find('?'));
            std::string outcome = HttpFront::currentConnectionDropped() ? "dropped" : std::to_string(response.status);
            logLine(request.method + " " + printable(path) + " " + outcome);
        });
    }
    registerServiceRoutes();
    registerStorageRoutes();
    registerPageRoutes();
    if (options.testMode) registerTestRoutes();
}

void Server::Impl::registerTestRoutes() {
    front.Post("/_test/reset", [this](const httplib::Request&, httplib::Response& response) {
        resetState();
        recorder.clearAll();
        faults.clear();
        clockOffsetSeconds = 0;
        response.status = 204;
    });
    front.Get("/_test/requests", [this](const httplib::Request&, httplib::Response& response) {
        Json requests = Json::array();
        for (const auto& request : recorder.snapshot()) requests.push_back(recordedRequestJson(request));
        sendJson(response, 200, {{"requests", requests}});
    });
    front.Delete("/_test/requests", [this](const httplib::Request&, httplib::Response& response) {
        recorder.clearRequests();
        response.status = 204;
    });
    front.Get("/_test/state", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(stateMutex);
        sendJson(response, 200, state.toJson());
    });
    front.Get("/_test/stats", [this](const httplib::Request&, httplib::Response& response) {
        ServerStats stats = recorder.stats();
        sendJson(response, 200,
                 {{"connections", stats.connections},
                  {"requests", stats.requests},
                  {"tlsHandshakes", stats.tlsHandshakes},
                  {"tlsResumed", stats.tlsResumed}});
    });
    front.Post("/_test/token", [this](const httplib::Request& request, httplib::Response& response) {
        Json body = requestObject(request);
        std::string email = body.contains("email") && body["email"].is_string() ? body["email"].get<std::string>() : "";
        std::lock_guard lock(stateMutex);
        const AccountRecord* account = state.accountByEmail(email);
        if (account == nullptr) {
            sendJson(response, 422,
                     {{"message", "No account has that e-mail address."},
                      {"errors", {{"email", {"No account has that e-mail address."}}}}});
            return;
        }
        sendJson(response, 200, {{"token", issueTokenLocked(account->id, "test")}});
    });
    front.Post("/_test/faults", [this](const httplib::Request& request, httplib::Response& response) {
        std::string error;
        auto json = nlohmann::json::parse(request.body, nullptr, false);
        auto parsed = parseFault(json, error);
        if (!parsed) {
            sendJson(response, 422, {{"message", error}});
            return;
        }
        faults.set(parsed->route, parsed->fault);
        response.status = 204;
    });
    front.Delete("/_test/faults", [this](const httplib::Request&, httplib::Response& response) {
        faults.clear();
        response.status = 204;
    });
    front.Post("/_test/clock", [this](const httplib::Request& request, httplib::Response& response) {
        Json body = requestObject(request);
        if (!body.contains("advanceSeconds") || !body["advanceSeconds"].is_number_integer()) {
            sendJson(response, 422, {{"message", "advanceSeconds must be an integer."}});
            return;
        }
        clockOffsetSeconds += body["advanceSeconds"].get<std::int64_t>();
        sendJson(response, 200, {{"now", isoTime(now())}});
    });
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() {
    stop();
    if (impl_->ownsStorageDir) {
        std::error_code error;
        std::filesystem::remove_all(impl_->storageDir, error);
    }
}

bool Server::start() {
    Impl& impl = *impl_;
    if (impl.running) return true;
    if (impl.storageDir.empty()) {
        if (!impl.options.storageDir.empty()) {
            impl.storageDir = impl.options.storageDir;
        } else {
            std::string pattern = (std::filesystem::temp_directory_path() / "galvoria-devserver-XXXXXX").string();
            if (::mkdtemp(pattern.data()) == nullptr) return false;
            impl.storageDir = pattern;
            impl.ownsStorageDir = true;
        }
        std::error_code error;
        std::filesystem::create_directories(impl.storageDir, error);
        if (error) {
            logLine("galvoria-devserver: the storage folder " + impl.storageDir.string() + " cannot be created");
            return false;
        }
        if (impl.options.tls) {
            std::string error;
            if (!impl.front.useTls(impl.options.tls->certificateChain.string(), impl.options.tls->privateKey.string(),
                                   error)) {
                logLine("galvoria-devserver: " + error);
                return false;
            }
        }
        impl.front.setResponseLatency(impl.options.responseLatency);
        if (!impl.loadState()) return false;
        impl.testToken = impl.options.testToken.empty() ? randomHex(32) : impl.options.testToken;
        impl.installHooks();
    }

    if (impl.options.port == 0) {
        impl.boundPort = impl.front.bind_to_any_port(impl.options.host);
    } else {
        impl.boundPort = impl.front.bind_to_port(impl.options.host, impl.options.port) ? impl.options.port : -1;
    }
    if (impl.boundPort <= 0) return false;
    impl.startSaver();
    impl.front.widenBacklog(listenBacklog);
    impl.listenThread = std::thread([&impl] { impl.front.listen_after_bind(); });
    // Connections queue in the backlog from here on; stop() needs the library to have started listening.
    while (!impl.front.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl.running = true;
    return true;
}

void Server::stop() {
    Impl& impl = *impl_;
    if (!impl.running) return;
    impl.faults.stopAll();
    impl.front.stop();
    if (impl.listenThread.joinable()) impl.listenThread.join();
    impl.stopSaver();
    impl.running = false;
}

int Server::port() const { return impl_->boundPort; }

std::string Server::origin() const { return impl_->originText(); }

std::string Server::testToken() const { return impl_->testToken; }

void Server::reset() {
    impl_->resetState();
    impl_->recorder.clearAll();
    impl_->faults.clear();
    impl_->clockOffsetSeconds = 0;
}

std::vector<RecordedRequest> Server::recordedRequests() const { return impl_->recorder.snapshot(); }

void Server::clearRecordedRequests() { impl_->recorder.clearRequests(); }

void Server::setFault(const std::string& route, Fault fault) { impl_->faults.set(route, std::move(fault)); }

void Server::clearFaults() { impl_->faults.clear(); }

nlohmann::json Server::state() const {
    std::lock_guard lock(impl_->stateMutex);
    return nlohmann::json(impl_->state.toJson());
}

std::string Server::issueToken(const std::string& email) {
    std::lock_guard lock(impl_->stateMutex);
    const AccountRecord* account = impl_->state.accountByEmail(email);
    return account ? impl_->issueTokenLocked(account->id, "test") : std::string();
}

ServerStats Server::stats() const { return impl_->recorder.stats(); }

void Server::advanceClock(std::chrono::seconds offset) { impl_->clockOffsetSeconds += offset.count(); }

}  // namespace galvoria::devserver
