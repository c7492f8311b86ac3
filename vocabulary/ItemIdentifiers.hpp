#pragma once
// Identifiers of the items of the account panel and the publish options, and the fixed values of the
// options' lists. The host hands values back keyed by these identifiers, and presses buttons by them.
// Constants only: the host reads them too.

#include <string_view>

#include "vocabulary/PreferenceKeys.hpp"

namespace galvoria::account {

inline constexpr std::string_view group = "defaultSettingsGroup";
// The two text fields store what is typed under their own identifiers, the preference keys.
inline constexpr std::string_view usernameField = prefs::username;
inline constexpr std::string_view passwordField = prefs::password;
inline constexpr std::string_view loginButton = "login-item";
inline constexpr std::string_view logoutButton = "logout-item";
inline constexpr std::string_view forgotPasswordLabel = "forgot-password-item";
inline constexpr std::string_view loggedInLabel = "logged-in-item";

}  // namespace galvoria::account

namespace galvoria::options {

inline constexpr std::string_view sourceList = "workspace-source-list-item";
inline constexpr std::string_view workspaceList = "workspace-list-item";
inline constexpr std::string_view folderList = "folder-list-item";
inline constexpr std::string_view projectList = "project-list-item";
inline constexpr std::string_view newFolder = "new-folder-item";
inline constexpr std::string_view newProject = "new-project-item";
inline constexpr std::string_view notLoggedInLabel = "not-logged-in-label-item";
// Says why a listing the options need failed, while logged in.
inline constexpr std::string_view listingProblemLabel = "listing-problem-item";
inline constexpr std::string_view spacer1 = "space-1-item";
inline constexpr std::string_view spacer2 = "space-2-item";

// Value of the "Select ..." placeholder entries.
inline constexpr std::string_view placeholderValue = "none";
// Value of the "+ Create New ..." entries.
inline constexpr std::string_view createNewValue = "0";

}  // namespace galvoria::options
