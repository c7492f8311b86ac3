#pragma once
// Writing a whole text to a descriptor, across short writes and interrupted calls.

#include <string_view>

namespace platform {

// True when every byte was written.
bool writeAll(int fd, std::string_view text);

}  // namespace platform
