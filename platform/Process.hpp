#pragma once
// Child processes for the test suite and the benchmarks (never linked into the product): start a
// program with its standard streams piped, sent to a file or to /dev/null, wait for it with or
// without a time limit, and read what it wrote.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileDescriptor.hpp"

namespace platform {

// Where one standard stream of the child goes.
struct Stream {
    enum class Kind { null, pipe, file };
    Kind kind = Kind::null;
    std::filesystem::path path;  // for a file
    bool append = false;         // for a file written to: appended to instead of truncated

    static Stream null() { return {}; }
    static Stream pipe() { return {Kind::pipe, {}, false}; }
    static Stream file(std::filesystem::path path, bool append = false) {
        return {Kind::file, std::move(path), append};
    }
};

struct Launch {
    std::vector<std::string> arguments;  // arguments[0] is the program (looked up in PATH without a slash)
    std::vector<std::pair<std::string, std::string>> environment;  // set over the parent's environment
    Stream input;
    Stream output;
    Stream error;
};

// How a child ended, with the kernel's account of its resources.
struct Exit {
    int waitStatus = 0;
    rusage usage{};

    // The exit status, or no value when the child did not exit normally.
    [[nodiscard]] std::optional<int> exitStatus() const;
    // The exit status, or 128 + the signal that ended the child (as a shell reports it).
    [[nodiscard]] int shellStatus() const;
};

// A started child. Going away, it kills (SIGKILL) and reaps a child that was not waited for.
class Child {
public:
    // Starts the program; no value when it could not be started.
    static std::optional<Child> spawn(const Launch& launch);

    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;  // a child held before is killed and reaped
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    [[nodiscard]] pid_t pid() const { return pid_; }
    // The parent's ends of the streams launched as pipes (invalid for the others).
    FileDescriptor& input() { return input_; }
    FileDescriptor& output() { return output_; }
    FileDescriptor& error() { return error_; }

    void signal(int number) const;
    // Waits for the exit.
    Exit wait();
    // Waits at most `timeout`; no value when the child still runs.
    std::optional<Exit> waitFor(std::chrono::milliseconds timeout);

private:
    Child() = default;

    pid_t pid_ = -1;
    FileDescriptor input_;
    FileDescriptor output_;
    FileDescriptor error_;
};

// What is there to read (waiting for it); 0 at the end of the stream or on an error.
std::size_t readSome(int fd, char* buffer, std::size_t capacity);
// Everything until the end of the stream.
std::string readToEnd(int fd);

}  // namespace platform
