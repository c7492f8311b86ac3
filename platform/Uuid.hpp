#pragma once
#include <string>

namespace platform {
// A fresh random UUID in upper-case 8-4-4-4-12 form.
std::string makeUuidString();
}  // namespace platform
