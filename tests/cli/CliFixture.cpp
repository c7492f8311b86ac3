#include "tests/cli/CliFixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>
#include <thread>

namespace galvoria::testing {
namespace fs = std::filesystem;

TerminalProcess::TerminalProcess(const std::vector<std::string>& arguments) {
    // Everything the child needs is made before the fork: other threads may hold the allocator.
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 30;
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
        int status = 0;
        ::waitpid(pid_, &status, 0);
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

bool TerminalProcess::waitFor(const std::string& text, std::size_t from, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text, std::min(from, output_.size())) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!readSome(std::min(left, std::chrono::milliseconds(200)))) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                while (readSome(std::chrono::milliseconds(50))) {
                }
                return output_.find(text, std::min(from, output_.size())) != std::string::npos;
            }
        }
    }
    return true;
}

void TerminalProcess::type(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(master_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

bool TerminalProcess::echoes() const {
    termios modes{};
    ::tcgetattr(master_, &modes);
    return (modes.c_lflag & ECHO) != 0;
}

int TerminalProcess::finish(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        readSome(std::chrono::milliseconds(50));
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the program did not end in time; its output:\n" << output_;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status_ = -1;
        }
    }
    while (readSome(std::chrono::milliseconds(20))) {
    }
    return *status_;
}

void CliTest::SetUp() {
    server_ = std::make_unique<devserver::Server>(devserver::ServerOptions{
        .port = *portOf(GALVORIA_SERVICE_URL), .testMode = true, .storageDir = dir_.path() / "storage"});
    ASSERT_TRUE(server_->start());
    fs::create_directories(dir_.path() / "photos");
}

std::vector<std::string> CliTest::hostArguments(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), GALVORIA_HOST_BINARY);
    arguments.emplace_back("--prefs");
    arguments.push_back(prefs().string());
    return arguments;
}

ProcessResult CliTest::host(std::vector<std::string> arguments, const std::string& input) {
    return runProcess(hostArguments(std::move(arguments)), input);
}

void CliTest::logInDirectly() {
    store().setValue(server_->issueToken(demoEmail), "api-token");
    store().setValue(demoEmail, "username-item");
}

std::string CliTest::photo(const std::string& name, std::size_t bytes) {
    const fs::path path = dir_.path() / "photos" / name;
    std::mt19937 random(static_cast<unsigned>(bytes));
    std::string content(bytes, '\0');
    for (auto& byte : content) byte = static_cast<char>(random());
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

std::vector<std::string> CliTest::projectIdsNamed(const std::string& name) const {
    std::vector<std::string> ids;
    const auto state = server_->state();
    for (const auto& project : state["projects"]) {
        if (project["name"] == name) ids.push_back(project["id"].get<std::string>());
    }
    return ids;
}

std::vector<std::string> CliTest::filesOf(const std::string& projectId) const {
    std::vector<std::string> names;
    const auto state = server_->state();
    for (const auto& project : state["projects"]) {
        if (project["id"] != projectId) continue;
        for (const auto& file : project["files"]) names.push_back(file["name"].get<std::string>());
    }
    return names;
}

std::string CliTest::libraryLink(const std::string& projectId) const {
    return std::string(GALVORIA_SERVICE_URL) + "/project/" + projectId + "/library";
}

std::size_t CliTest::storedFileCount() const {
    std::size_t count = 0;
    const auto state = server_->state();
    for (const auto& project : state["projects"]) count += project["files"].size();
    return count;
}

}  // namespace galvoria::testing
