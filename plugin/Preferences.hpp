#pragma once
// The plugin's preference keys, each named once, and the small readers every part shares.

#include <string>
#include <string_view>

namespace galvoria::prefs {

inline constexpr std::string_view apiToken = "api-token";
inline constexpr std::string_view username = "username-item";
inline constexpr std::string_view password = "password-item";
inline constexpr std::string_view lastCreatedFolder = "last-created-folder";
inline constexpr std::string_view lastCreatedProject = "last-created-project";

// The stored string, or the empty string when the key is absent.
std::string stringOrEmpty(std::string_view key);
// Logged in exactly when "api-token" holds a non-empty string.
bool isLoggedIn();

}  // namespace galvoria::prefs
