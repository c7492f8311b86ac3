#include "bench/Process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>

extern char** environ;

namespace galvoria::bench {
namespace {

struct FileActions {
    posix_spawn_file_actions_t actions{};
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

// An owned descriptor, closed when it goes away.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

std::vector<char*> argumentVector(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

double seconds(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

RunResult run(const ProcessCall& call) {
    RunResult result;
    if (call.arguments.empty()) return result;

    int inputPipe[2];
    if (::pipe2(inputPipe, O_CLOEXEC) != 0) return result;
    Descriptor inputRead(inputPipe[0]);
    Descriptor inputWrite(inputPipe[1]);

    FileActions files;
    posix_spawn_file_actions_adddup2(&files.actions, inputRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_addopen(&files.actions, STDOUT_FILENO, call.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&files.actions, STDERR_FILENO, call.error.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);

    auto argv = argumentVector(call.arguments);
    const auto begin = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &files.actions, nullptr, argv.data(), environ) != 0) return result;
    result.started = true;
    result.startedAt = begin;
    inputRead.reset();
    // A pipe holds 64 KiB; every input here is far smaller, so this never waits on the child.
    static_cast<void>(writeAll(inputWrite.get(), call.input));
    inputWrite.reset();

    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const auto end = std::chrono::steady_clock::now();
    result.wallSeconds = std::chrono::duration<double>(end - begin).count();
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.userSeconds = seconds(usage.ru_utime);
    result.systemSeconds = seconds(usage.ru_stime);
    result.peakResidentBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024U;  // Linux reports KiB
    return result;
}

Background::~Background() { stop(); }

std::optional<std::string> Background::start(const std::vector<std::string>& arguments,
                                             const std::filesystem::path& error, int timeoutSeconds) {
    stop();
    int outputPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0) return std::nullopt;
    Descriptor outputRead(outputPipe[0]);
    Descriptor outputWrite(outputPipe[1]);

    FileActions files;
    posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files.actions, outputWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&files.actions, STDERR_FILENO, error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    auto argv = argumentVector(arguments);
    if (posix_spawnp(&pid_, argv[0], &files.actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        return std::nullopt;
    }
    outputWrite.reset();

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{outputRead.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[256];
        const ssize_t count = ::read(outputRead.get(), buffer, sizeof(buffer));
        if (count <= 0) break;
        line.append(buffer, static_cast<std::size_t>(count));
    }
    const auto newline = line.find('\n');
    if (newline == std::string::npos) {
        stop();
        return std::nullopt;
    }
    // Kept open so that a later line on standard output never meets a closed pipe.
    output_ = outputRead.release();
    return line.substr(0, newline);
}

void Background::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream input(path, std::ios::binary);
    std::stringstream text;
    text << input.rdbuf();
    return text.str();
}

}  // namespace galvoria::bench
