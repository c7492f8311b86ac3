#pragma once
// Identifiers of the publish options' items and the fixed values of their lists. The host hands the
// chosen values back keyed by these identifiers, and the publishing task reads them from there.

#include <string_view>

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
