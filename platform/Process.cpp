#include "platform/Process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace platform {
namespace {

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
};

// Arranges `target` (a standard stream) of the child; a pipe's parent end goes to `parentEnd`, its
// child end to `childEnd`, closed in the parent once the child runs.
bool arrange(FileActions& actions, const Stream& stream, int target, FileDescriptor& parentEnd,
             FileDescriptor& childEnd) {
    switch (stream.kind) {
        case Stream::Kind::null:
            return posix_spawn_file_actions_addopen(actions.get(), target, "/dev/null",
                                                    target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0) == 0;
        case Stream::Kind::file: {
            const int flags =
                target == STDIN_FILENO ? O_RDONLY : O_WRONLY | O_CREAT | (stream.append ? O_APPEND : O_TRUNC);
            return posix_spawn_file_actions_addopen(actions.get(), target, stream.path.c_str(), flags, 0644) == 0;
        }
        case Stream::Kind::pipe: {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) {
                return false;
            }
            const bool childReads = target == STDIN_FILENO;
            parentEnd.reset(childReads ? ends[1] : ends[0]);
            childEnd.reset(childReads ? ends[0] : ends[1]);
            return posix_spawn_file_actions_adddup2(actions.get(), childEnd.get(), target) == 0;
        }
    }
    return false;
}

// The parent's environment with `added` set over it.
std::vector<std::string> environmentWith(const std::vector<std::pair<std::string, std::string>>& added) {
    std::vector<std::string> entries;
    for (char** each = environ; *each != nullptr; ++each) {
        const std::string entry = *each;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& setting : added) {
            replaced = replaced || setting.first == name;
        }
        if (!replaced) {
            entries.push_back(entry);
        }
    }
    for (const auto& [name, value] : added) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

}  // namespace

std::optional<int> Exit::exitStatus() const {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return std::nullopt;
}

int Exit::shellStatus() const {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : -1;
}

std::optional<Child> Child::spawn(const Launch& launch) {
    if (launch.arguments.empty()) {
        return std::nullopt;
    }
    Child child;
    FileActions actions;
    FileDescriptor childEnds[3];
    if (!arrange(actions, launch.input, STDIN_FILENO, child.input_, childEnds[0]) ||
        !arrange(actions, launch.output, STDOUT_FILENO, child.output_, childEnds[1]) ||
        !arrange(actions, launch.error, STDERR_FILENO, child.error_, childEnds[2])) {
        return std::nullopt;
    }
    std::vector<std::string> arguments = launch.arguments;
    std::vector<std::string> environment = environmentWith(launch.environment);
    const std::vector<char*> argv = pointers(arguments);
    const std::vector<char*> envp = pointers(environment);
    if (posix_spawnp(&child.pid_, argv[0], actions.get(), nullptr, argv.data(), envp.data()) != 0) {
        child.pid_ = -1;
        return std::nullopt;
    }
    return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      error_(std::move(other.error_)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0) {
            signal(SIGKILL);
            static_cast<void>(wait());
        }
        pid_ = std::exchange(other.pid_, -1);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        error_ = std::move(other.error_);
    }
    return *this;
}

Child::~Child() {
    if (pid_ > 0) {
        signal(SIGKILL);
        static_cast<void>(wait());
    }
}

void Child::signal(int number) const {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

Exit Child::wait() {
    Exit exit;
    while (pid_ > 0 && ::wait4(pid_, &exit.waitStatus, 0, &exit.usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return exit;
}

std::optional<Exit> Child::waitFor(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return Exit{};
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Exit exit;
        const pid_t done = ::wait4(pid_, &exit.waitStatus, WNOHANG, &exit.usage);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            pid_ = -1;
            return exit;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::size_t readSome(int fd, char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, capacity);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
}

std::string readToEnd(int fd) {
    std::string text;
    char buffer[65536];
    while (const std::size_t got = readSome(fd, buffer, sizeof buffer)) {
        text.append(buffer, got);
    }
    return text;
}

}  // namespace platform
