#include "tests/support/TestSupport.hpp"

#include "platform/FileWrite.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

namespace galvoria::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "galvoria-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::optional<std::uint16_t> portOf(const std::string& origin) {
    const auto colon = origin.rfind(':');
    if (colon == std::string::npos || colon + 1 >= origin.size()) {
        return std::nullopt;
    }
    const std::string digits = origin.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5) {
        return std::nullopt;
    }
    const unsigned long port = std::stoul(digits);
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

namespace {

struct Spawned {
    int pid = -1;
    int input = -1;
    int output = -1;
    int error = -1;
};

Spawned spawn(const std::vector<std::string>& arguments,
              const std::vector<std::pair<std::string, std::string>>& environment) {
    int in[2];
    int out[2];
    int err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create pipes");
    }
    // Everything the child needs is prepared before fork: between fork and exec only
    // async-signal-safe calls are made (other threads may hold the allocator's lock).
    std::vector<std::string> environmentText;
    for (char** each = environ; *each != nullptr; ++each) {
        const std::string entry = *each;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& added : environment) {
            replaced = replaced || added.first == name;
        }
        if (!replaced) {
            environmentText.push_back(entry);
        }
    }
    for (const auto& [name, value] : environment) {
        environmentText.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : environmentText) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("cannot fork");
    }
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    return {pid, in[1], out[0], err[0]};
}

int waitFor(int pid, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) {
                return WEXITSTATUS(status);
            }
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "process " << pid << " did not exit in time";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Reads what is there (waiting for it); 0 at the end of input or on an error.
std::size_t readSome(int fd, char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, capacity);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
}

}  // namespace

DriveSession::DriveSession(Options options) {
    std::vector<std::string> arguments{GALVORIA_HOST_BINARY,
                                       "drive",
                                       "--bundle",
                                       options.bundle ? options.bundle->string() : std::string(GALVORIA_BUNDLE_PATH),
                                       "--prefs",
                                       options.prefs.string()};
    if (options.strings) {
        arguments.emplace_back("--strings");
        arguments.push_back(options.strings->string());
    }
    ::signal(SIGPIPE, SIG_IGN);
    const Spawned spawned = spawn(arguments, options.environment);
    pid_ = spawned.pid;
    input_ = spawned.input;
    outReader_ = std::thread([this, fd = spawned.output] { readLoop(fd, true); });
    errReader_ = std::thread([this, fd = spawned.error] { readLoop(fd, false); });
}

DriveSession::~DriveSession() {
    if (!status_) {
        finish();
    }
    if (outReader_.joinable()) {
        outReader_.join();
    }
    if (errReader_.joinable()) {
        errReader_.join();
    }
}

void DriveSession::readLoop(int fd, bool protocol) {
    std::string pending;
    char buffer[65536];
    for (;;) {
        const std::size_t got = readSome(fd, buffer, sizeof buffer);
        if (got == 0) {
            break;
        }
        std::lock_guard lock(mutex_);
        if (!protocol) {
            errorText_.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            lines_.push_back(pending.substr(0, newline));
            allLines_.push_back(lines_.back());
            pending.erase(0, newline + 1);
        }
        changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    if (protocol) {
        if (!pending.empty()) {
            lines_.push_back(pending);
            allLines_.push_back(pending);
        }
        outputEnded_ = true;
    }
    changed_.notify_all();
}

void DriveSession::writeRaw(const std::string& text) { platform::writeAll(input_, text); }

co::Value DriveSession::nextLine(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return !lines_.empty() || outputEnded_; }) || lines_.empty()) {
        return nullptr;
    }
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    auto parsed = co::Value::parse(line, nullptr, false);
    if (parsed.is_discarded()) {
        ADD_FAILURE() << "the host wrote a line that is not JSON: " << line;
        return nullptr;
    }
    return parsed;
}

co::Value DriveSession::call(const co::Value& request, std::chrono::seconds timeout) {
    writeRaw(request.dump() + "\n");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        co::Value line = nextLine(std::max(left, std::chrono::seconds(1)));
        if (line.is_null()) {
            ADD_FAILURE() << "no reply to " << request.dump();
            return nullptr;
        }
        if (line.contains("event")) {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(line));
            continue;
        }
        return line;
    }
}

std::vector<co::Value> DriveSession::takeEvents() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

int DriveSession::finish(std::chrono::seconds timeout) {
    if (status_) {
        return *status_;
    }
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
    status_ = waitFor(pid_, timeout);
    if (outReader_.joinable()) {
        outReader_.join();
    }
    if (errReader_.joinable()) {
        errReader_.join();
    }
    return *status_;
}

std::string DriveSession::standardError() {
    std::lock_guard lock(mutex_);
    return errorText_;
}

std::vector<std::string> DriveSession::standardOutputLines() {
    std::lock_guard lock(mutex_);
    return allLines_;
}

ProcessResult runProcess(const std::vector<std::string>& arguments, const std::string& input,
                         const std::vector<std::pair<std::string, std::string>>& environment) {
    ::signal(SIGPIPE, SIG_IGN);
    const Spawned spawned = spawn(arguments, environment);
    ProcessResult result;
    std::thread writer([&] {
        platform::writeAll(spawned.input, input);
        ::close(spawned.input);
    });
    auto drain = [](int fd, std::string& into) {
        char buffer[65536];
        for (;;) {
            const std::size_t got = readSome(fd, buffer, sizeof buffer);
            if (got == 0) {
                break;
            }
            into.append(buffer, got);
        }
        ::close(fd);
    };
    std::thread errReader([&] { drain(spawned.error, result.standardError); });
    drain(spawned.output, result.standardOutput);
    errReader.join();
    writer.join();
    result.status = waitFor(spawned.pid, std::chrono::seconds(120));
    return result;
}

LogCapture::LogCapture() {
    platform::log::setSink([this](platform::log::Channel channel, std::string_view text) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(channel, std::string(text));
    });
}

LogCapture::~LogCapture() { platform::log::setSink({}); }

std::vector<std::string> LogCapture::lines(platform::log::Channel channel) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [each, text] : lines_) {
        if (each == channel) {
            out.push_back(text);
        }
    }
    return out;
}

std::string LogCapture::all() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& line : lines_) {
        out += line.second;
        out += '\n';
    }
    return out;
}

}  // namespace galvoria::testing
