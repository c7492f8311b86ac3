#include "devserver/HttpFront.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "devserver/Connection.hpp"
#include "devserver/Text.hpp"

namespace galvoria::devserver {

namespace {

thread_local Connection* currentConnection = nullptr;

}  // namespace

std::optional<std::string> RequestHead::header(std::string_view name) const {
    for (const auto& [headerName, value] : headers) {
        if (equalsIgnoringCase(headerName, name)) return value;
    }
    return std::nullopt;
}

std::string_view RequestHead::path() const {
    std::string_view text(target);
    return text.substr(0, text.find('?'));
}

HttpFront::HttpFront(FrontHooks hooks) : hooks_(std::move(hooks)) {
    set_post_routing_handler(
        [](const httplib::Request&, httplib::Response& response) { settleCurrentRequest(response); });
}

bool HttpFront::useTls(const std::string& certificateChain, const std::string& privateKey, std::string& error) {
    TlsContext context = loadTlsContext(certificateChain, privateKey, error);
    if (!context) return false;
    tlsContext_ = std::move(context);
    return true;
}

void HttpFront::widenBacklog(int backlog) {
    if (svr_sock_ != INVALID_SOCKET) ::listen(svr_sock_, backlog);
}

const RequestHead* HttpFront::currentHead() { return currentConnection ? currentConnection->head() : nullptr; }

void HttpFront::dropCurrentConnection() {
    if (currentConnection) currentConnection->drop();
}

bool HttpFront::currentConnectionDropped() { return currentConnection && currentConnection->dropped(); }

void HttpFront::closeCurrentConnectionAfterResponse() {
    if (currentConnection) currentConnection->closeAfterResponse();
}

bool HttpFront::readCurrentBody(const std::function<bool(const char*, std::size_t)>& receiver) {
    return currentConnection != nullptr && currentConnection->readBody(receiver);
}

void HttpFront::settleCurrentRequest(httplib::Response& response) {
    if (currentConnection) currentConnection->settle(response);
}

bool HttpFront::currentPeerClosed() { return currentConnection && currentConnection->peerClosed(); }

bool HttpFront::currentConnectionReused() { return currentConnection && currentConnection->reused(); }

bool HttpFront::process_and_close_socket(socket_t sock) {
    // A response goes out as a head and a body in two writes; held back for the acknowledgement of
    // the first, the second would wait out the peer's delayed acknowledgement (some 40 ms).
    int noDelay = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    Connection connection(sock, *this, hooks_, std::chrono::seconds(read_timeout_sec_),
                          std::chrono::seconds(write_timeout_sec_), responseLatency_);
    bool served = false;
    if (tlsContext_ && !connection.acceptTls(tlsContext_.get())) {
        connection.drop();
        connection.close();
        return false;
    }
    try {
        std::size_t remaining = keep_alive_max_count_;
        while (!stopping() && remaining > 0 &&
               connection.waitForNextRequest(std::chrono::seconds(keep_alive_timeout_sec_))) {
            connection.beginRequest();
            bool connectionClosed = false;
            currentConnection = &connection;
            served = process_request(connection, remaining == 1, connectionClosed, nullptr);
            currentConnection = nullptr;
            if (!connection.endRequest() || !served || connectionClosed) break;
            --remaining;
        }
    } catch (...) {
        // A failing request ends its connection, never the server.
        currentConnection = nullptr;
        served = false;
    }
    connection.close();
    return served;
}

GrowingThreadPool::GrowingThreadPool(std::size_t maximumThreads) : maximumThreads_(maximumThreads) {}

GrowingThreadPool::~GrowingThreadPool() { shutdown(); }

void GrowingThreadPool::enqueue(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > idle_ && threads_.size() < maximumThreads_) {
        threads_.emplace_back([this] { work(); });
    } else {
        changed_.notify_one();
    }
}

void GrowingThreadPool::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        threads.swap(threads_);
    }
    changed_.notify_all();
    for (auto& thread : threads) thread.join();
}

void GrowingThreadPool::work() {
    std::unique_lock lock(mutex_);
    while (true) {
        ++idle_;
        changed_.wait(lock, [this] { return shuttingDown_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty()) return;
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // The job's connection is gone; the worker stays.
        }
        lock.lock();
    }
}

}  // namespace galvoria::devserver
