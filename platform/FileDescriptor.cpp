#include "platform/FileDescriptor.hpp"

#include <unistd.h>

namespace platform {

void FileDescriptor::reset(int fd) noexcept {
    static_cast<void>(close());
    fd_ = fd;
}

bool FileDescriptor::close() noexcept {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

}  // namespace platform
