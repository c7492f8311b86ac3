#pragma once
// Ownership of a file descriptor: closed when its owner goes away, handed on by moving. Header
// only, so that any folder (the local service and the benchmarks included) can use it without
// linking the platform library.

#include <unistd.h>

namespace platform {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1) noexcept {
        static_cast<void>(close());
        fd_ = fd;
    }
    // Closes now; false when the system reports a failure (for a written file: data may be lost).
    // The descriptor is gone either way: on Linux close() frees it even when it fails, EINTR
    // included, so it is never closed a second time (that could close one another thread opened).
    bool close() noexcept {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

}  // namespace platform
