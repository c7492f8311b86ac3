#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/devserver/DevserverFixture.hpp"

namespace galvoria::devserver::testing {

std::string rawExchange(int port, const std::string& bytes, std::chrono::milliseconds timeout) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) continue;
            ssize_t count = ::recv(fd, buffer, sizeof(buffer), 0);
            if (count <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return answer;
}

}  // namespace galvoria::devserver::testing
