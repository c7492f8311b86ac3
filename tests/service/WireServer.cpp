#include "tests/service/WireServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace galvoria::testing {
namespace {

// Waits for `fd` to be readable; false when the server is stopping first.
bool readable(int fd, int wake) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    return ::poll(fds, 2, -1) > 0 && (fds[1].revents == 0) && (fds[0].revents != 0);
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

std::vector<std::string> WireRequest::headerLines() const {
    std::vector<std::string> lines;
    std::istringstream in(head);
    std::string line;
    std::getline(in, line);  // the request line
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

WireServer::WireServer(Responder responder) : responder_(std::move(responder)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 16);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::pipe(wake_);
    acceptor_ = std::thread([this] {
        while (readable(listener_, wake_[0])) {
            const int connection = ::accept(listener_, nullptr, nullptr);
            if (connection >= 0) {
                ++connections_;
                threads_.emplace_back([this, connection] { serve(connection); });
            }
        }
    });
}

WireServer::~WireServer() {
    ::write(wake_[1], "x", 1);
    acceptor_.join();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void WireServer::serve(int connection) {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t got = readable(connection, wake_[0]) ? ::read(connection, chunk, sizeof chunk) : 0;
            if (got <= 0) {
                ::close(connection);
                return;
            }
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
        WireRequest request{buffer.substr(0, headEnd), {}};
        std::size_t bodyLength = 0;
        for (const std::string& line : request.headerLines()) {
            if (lowered(line).starts_with("content-length:")) {
                bodyLength = std::stoul(line.substr(15));
            }
        }
        buffer.erase(0, headEnd + 4);
        while (buffer.size() < bodyLength) {
            const ssize_t got = readable(connection, wake_[0]) ? ::read(connection, chunk, sizeof chunk) : 0;
            if (got <= 0) {
                ::close(connection);
                return;
            }
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
        request.body = buffer.substr(0, bodyLength);
        buffer.erase(0, bodyLength);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const std::optional<std::string> answer = responder_(request);
        if (!answer) {
            readable(connection, wake_[0]);  // hold the connection until the client or the server gives up
            ::close(connection);
            return;
        }
        ::send(connection, answer->data(), answer->size(), MSG_NOSIGNAL);
    }
}

std::string WireServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<WireRequest> WireServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::string WireServer::response(int status, const std::string& body, const std::vector<std::string>& headers) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
    for (const std::string& header : headers) {
        out += header + "\r\n";
    }
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return out;
}

}  // namespace galvoria::testing
