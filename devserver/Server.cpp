// The service's core: the connection hooks and routes put together, start and stop, tokens and
// the helpers every route uses to read requests and answer them.

#include "devserver/Server.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

constexpr std::size_t maximumConnectionThreads = 256;
constexpr int listenBacklog = 128;

}  // namespace

void logLine(const std::string& line) {
    std::string text = line + "\n";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

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
    installFaultHooks();
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

void Server::reset() { impl_->resetAll(); }

std::vector<RecordedRequest> Server::recordedRequests() const { return impl_->recorder.snapshot(); }

void Server::clearRecordedRequests() { impl_->recorder.clearRequests(); }

void Server::setFault(const std::string& route, Fault fault) { impl_->faults.set(route, std::move(fault)); }

void Server::clearFaults() { impl_->faults.clear(); }

nlohmann::json Server::state() const {
    std::lock_guard lock(impl_->stateMutex);
    return nlohmann::json(impl_->state.toJson());
}

std::string Server::issueToken(const std::string& email) { return impl_->issueTestToken(email).value_or(""); }

ServerStats Server::stats() const { return impl_->recorder.stats(); }

void Server::advanceClock(std::chrono::seconds offset) { impl_->clockOffsetSeconds += offset.count(); }

}  // namespace galvoria::devserver
