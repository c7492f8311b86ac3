#include "tests/support/TestSupport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <charconv>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/FileDescriptor.hpp"
#include "platform/FileWrite.hpp"

namespace galvoria::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "galvoria-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::string patternBytes(std::size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1103515245U + 12345U;
        byte = static_cast<char>(seed >> 16U);
    }
    return bytes;
}

std::string nested(std::size_t levels, const std::string& innermost) {
    return std::string(levels, '[') + innermost + std::string(levels, ']');
}

std::string arrayOf(const std::string& element, std::size_t count) {
    std::string text = "[";
    text.reserve(count * (element.size() + 1) + 1);
    for (std::size_t i = 0; i < count; ++i) text += (i == 0 ? "" : ",") + element;
    return text + "]";
}

std::string wideObject(std::size_t count, std::size_t repeats) {
    std::string text = "{";
    for (std::size_t i = 0; i < count + repeats; ++i) {
        const std::size_t key = i < count ? i : (i - count) * 7 % count;
        text += (i == 0 ? "\"k" : ",\"k") + std::to_string(key) + "\":" + std::to_string(i);
    }
    return text + "}";
}

std::optional<std::uint16_t> portOf(const std::string& origin) {
    const std::string_view digits = std::string_view(origin).substr(origin.rfind(':') + 1);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end != digits.data() + digits.size() || port == 0 || port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

namespace {

platform::Child spawn(const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment) {
    auto child = platform::Child::spawn({.arguments = arguments,
                                         .environment = environment,
                                         .input = platform::Stream::pipe(),
                                         .output = platform::Stream::pipe(),
                                         .error = platform::Stream::pipe()});
    if (!child) throw std::runtime_error("cannot start " + arguments.front());
    return std::move(*child);
}

int waitFor(platform::Child& child, std::chrono::seconds timeout) {
    if (const auto exit = child.waitFor(timeout)) return exit->shellStatus();
    ADD_FAILURE() << "process " << child.pid() << " did not exit in time";
    child.signal(SIGKILL);
    static_cast<void>(child.wait());
    return -1;
}

}  // namespace

DriveSession::DriveSession(Options options) {
    const std::string bundle = options.bundle ? options.bundle->string() : GALVORIA_BUNDLE_PATH;
    std::vector<std::string> arguments{GALVORIA_HOST_BINARY, "drive", "--bundle", bundle, "--prefs", options.prefs};
    if (options.strings) arguments.insert(arguments.end(), {"--strings", *options.strings});
    ::signal(SIGPIPE, SIG_IGN);
    child_.emplace(spawn(arguments, options.environment));
    pid_ = child_->pid();
    outReader_ = std::thread([this, fd = std::move(child_->output())] { readLoop(fd.get(), true); });
    errReader_ = std::thread([this, fd = std::move(child_->error())] { readLoop(fd.get(), false); });
}

DriveSession::~DriveSession() { finish(); }

void DriveSession::readLoop(int fd, bool protocol) {
    std::string pending;
    char buffer[65536];
    for (std::size_t got = 0; (got = platform::readSome(fd, buffer, sizeof buffer)) != 0;) {
        std::lock_guard lock(mutex_);
        (protocol ? pending : errorText_).append(buffer, got);
        for (std::size_t newline = 0; protocol && (newline = pending.find('\n')) != std::string::npos;) {
            lines_.push_back(pending.substr(0, newline));
            pending.erase(0, newline + 1);
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    if (protocol) {
        if (!pending.empty()) lines_.push_back(pending);
        outputEnded_ = true;
    }
    changed_.notify_all();
}

void DriveSession::writeRaw(const std::string& text) { platform::writeAll(child_->input().get(), text); }

co::Value DriveSession::nextLine(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return read_ < lines_.size() || outputEnded_; }) ||
        read_ == lines_.size())
        return nullptr;
    const std::string& line = lines_[read_++];
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
        if (!line.contains("event")) return line;
    }
}

int DriveSession::finish(std::chrono::seconds timeout) {
    if (status_) return *status_;
    child_->input().reset();
    status_ = waitFor(*child_, timeout);
    outReader_.join();
    errReader_.join();
    return *status_;
}

std::string DriveSession::standardError() {
    std::lock_guard lock(mutex_);
    return errorText_;
}

std::vector<std::string> DriveSession::standardOutputLines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string rawExchange(int port, const std::string& bytes) {
    const platform::FileDescriptor connection(::socket(AF_INET, SOCK_STREAM, 0));
    const int fd = connection.get();
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(static_cast<std::uint16_t>(port))};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) continue;
            const ssize_t count = ::recv(fd, buffer, sizeof(buffer), 0);
            if (count <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(count));
        }
    }
    return answer;
}

ProcessResult runProcess(const std::vector<std::string>& arguments, const std::string& input,
                         const std::vector<std::pair<std::string, std::string>>& environment) {
    ::signal(SIGPIPE, SIG_IGN);
    platform::Child child = spawn(arguments, environment);
    ProcessResult result;
    std::thread writer([&] {
        platform::writeAll(child.input().get(), input);
        child.input().reset();
    });
    std::thread errReader([&] { result.standardError = platform::readToEnd(child.error().get()); });
    result.standardOutput = platform::readToEnd(child.output().get());
    errReader.join();
    writer.join();
    result.status = waitFor(child, std::chrono::seconds(120));
    return result;
}

LogCapture::LogCapture() {
    platform::log::setSink([this](platform::log::Channel channel, std::string_view text) {
        std::unique_lock lock(mutex_);
        lines_.emplace_back(channel, std::string(text));
        const auto hook = hook_;
        lock.unlock();
        if (hook) hook(text);
    });
}

LogCapture::~LogCapture() { platform::log::setSink({}); }

std::vector<std::string> LogCapture::lines(platform::log::Channel channel) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [each, text] : lines_)
        if (each == channel) out.push_back(text);
    return out;
}

std::vector<std::string> LogCapture::startingWith(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [channel, text] : lines_)
        if (text.starts_with(prefix)) out.push_back(text);
    return out;
}

void LogCapture::onLine(std::function<void(std::string_view)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::string LogCapture::all() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& line : lines_) out += line.second + '\n';
    return out;
}

}  // namespace galvoria::testing
