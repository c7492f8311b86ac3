#pragma once
// The plugin's preference keys, each named once. Constants only: the host reads them too.

#include <string_view>

namespace galvoria::prefs {

inline constexpr std::string_view apiToken = "api-token";
inline constexpr std::string_view username = "username-item";
inline constexpr std::string_view password = "password-item";
inline constexpr std::string_view lastCreatedFolder = "last-created-folder";
inline constexpr std::string_view lastCreatedProject = "last-created-project";

}  // namespace galvoria::prefs
