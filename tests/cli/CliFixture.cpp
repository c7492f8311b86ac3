#include "tests/cli/CliFixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace galvoria::testing {

TerminalProcess::TerminalProcess(const std::vector<std::string>& arguments) {
    // Everything the child needs is made before the fork: other threads may hold the allocator.
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    winsize size{.ws_row = 30, .ws_col = 100};
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid_ < 0) throw std::runtime_error("cannot open a pseudo-terminal");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
}

TerminalProcess::~TerminalProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
}

bool TerminalProcess::readSome(std::chrono::milliseconds timeout) {
    pollfd ready{master_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;  // EIO once the child has gone
    output_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool TerminalProcess::exited() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        while (readSome(std::chrono::milliseconds(50))) continue;
    }
    return status_.has_value();
}

bool TerminalProcess::waitFor(const std::string& text, std::size_t from, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto shown = [&] { return output_.find(text, std::min(from, output_.size())) != std::string::npos; };
    while (!shown() && std::chrono::steady_clock::now() < deadline)
        if (!readSome(std::chrono::milliseconds(200)) && exited()) return shown();
    return shown();
}

void TerminalProcess::type(const std::string& text) {
    // What a person types is a few bytes, which the terminal takes whole.
    EXPECT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

bool TerminalProcess::echoes() const {
    termios modes{};
    ::tcgetattr(master_, &modes);
    return (modes.c_lflag & ECHO) != 0;
}

int TerminalProcess::finish() {
    // Text that never shows: reads until the program ends or the wait runs out.
    waitFor(std::string(1, '\0'), 0, std::chrono::seconds(120));
    if (!exited()) {
        ADD_FAILURE() << "the program did not end in time; its output:\n" << output_;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        status_ = -1;
    }
    return *status_;
}

}  // namespace galvoria::testing
