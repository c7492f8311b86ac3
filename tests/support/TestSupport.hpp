#pragma once
// What tests of every area share: temporary folders, a driven galvoria-host process, log capture.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/Value.hpp"
#include "platform/Log.hpp"
#include "platform/Process.hpp"

namespace galvoria::testing {

// Built with a sanitizer: several times slower, its allocator holds freed memory back (so a resident
// size says little), and its own checks need file descriptors of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool sanitizedBuild = true;
#else
inline constexpr bool sanitizedBuild = false;
#endif
#else
inline constexpr bool sanitizedBuild = false;
#endif

// The local service's seeded demo account.
inline constexpr const char* demoEmail = "demo@galvoria.test";
inline constexpr const char* demoPassword = "galvoria-demo";

// `count` bytes of a pattern that differs from offset to offset.
std::string patternBytes(std::size_t count, unsigned seed = 1);

// JSON texts for the decoding limits: `levels` arrays one inside the other around `innermost`, an
// array of `count` copies of `element`, and an object of `count` members "k0", "k1", … (each valued
// its number) followed by `repeats` of its earlier keys again with new values.
std::string nested(std::size_t levels, const std::string& innermost = "1");
std::string arrayOf(const std::string& element, std::size_t count);
std::string wideObject(std::size_t count, std::size_t repeats = 0);

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The port of an origin such as "http://127.0.0.1:8470".
std::optional<std::uint16_t> portOf(const std::string& origin);

// The whole content of a file, byte for byte; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

// Sends raw bytes on a fresh loopback connection to `port` and returns everything the other end
// answered until it closed the connection or three seconds passed.
std::string rawExchange(int port, const std::string& bytes);

// A running `galvoria-host drive` on the built bundle, talked to line by line.
class DriveSession {
public:
    struct Options {
        std::filesystem::path prefs;
        std::optional<std::filesystem::path> strings;
        std::vector<std::pair<std::string, std::string>> environment;  // added to the host's environment
        std::optional<std::filesystem::path> bundle;                   // default: the built bundle
    };

    explicit DriveSession(Options options);
    ~DriveSession();
    DriveSession(const DriveSession&) = delete;
    DriveSession& operator=(const DriveSession&) = delete;

    // Writes one request and returns its reply, passing over events; a null value (and a test
    // failure) when none came.
    co::Value call(const co::Value& request, std::chrono::seconds timeout = std::chrono::seconds(120));
    // Writes raw text (for malformed requests); the reply is read with nextLine().
    void writeRaw(const std::string& text);
    // The next protocol line, parsed; null when standard output ended or the time ran out.
    co::Value nextLine(std::chrono::seconds timeout = std::chrono::seconds(60));
    // Closes standard input and waits for the host to exit; returns its exit status.
    int finish(std::chrono::seconds timeout = std::chrono::seconds(60));
    // Everything the host wrote to standard error so far (all of it once finish() returned).
    std::string standardError();
    // Every raw line the host wrote to standard output so far.
    std::vector<std::string> standardOutputLines();
    [[nodiscard]] int pid() const { return pid_; }

private:
    void readLoop(int fd, bool protocol);

    std::optional<platform::Child> child_;
    int pid_ = -1;
    std::optional<int> status_;
    std::thread outReader_;
    std::thread errReader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;  // every line of standard output
    std::size_t read_ = 0;            // how many of them nextLine() has taken
    std::string errorText_;
    bool outputEnded_ = false;
};

// Runs galvoria-host with the given arguments and input; returns (exit status, stdout, stderr).
struct ProcessResult {
    int status = -1;
    std::string standardOutput;
    std::string standardError;
};
ProcessResult runProcess(const std::vector<std::string>& arguments, const std::string& input = {},
                         const std::vector<std::pair<std::string, std::string>>& environment = {});

// Collects the log lines written in this process while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<std::string> lines(platform::log::Channel channel = platform::log::Channel::log) const;
    // Every line of both channels joined, for "does not contain" checks.
    std::string all() const;
    // The lines of both channels that start with `prefix`.
    std::vector<std::string> startingWith(std::string_view prefix) const;
    // Runs `hook` on every line as it is written, on the writing thread (none: stops).
    void onLine(std::function<void(std::string_view)> hook);

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<platform::log::Channel, std::string>> lines_;
    std::function<void(std::string_view)> hook_;
};

}  // namespace galvoria::testing
