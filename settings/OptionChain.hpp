#pragma once
// The pure rules behind the publish options: reading the host's values, the new-folder and
// new-project states, which workspaces and projects a choice offers, and what blocks publishing.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/Value.hpp"
#include "service/Records.hpp"
#include "vocabulary/DestinationChoice.hpp"

namespace galvoria::settings {

// The host's value under `key` of whatever type; no value when it is missing.
std::optional<co::Value> anySetting(const co::Value& settings, std::string_view key);

// A value as a log line shows it: a string as it stands, anything else as its JSON text (bytes that
// are not UTF-8 replaced, so rendering never fails).
std::string logText(const co::Value& value);

// The user chose "+ Create New Folder" and no folder created by a publish is remembered.
bool isNewFolderState(const co::Value& settings, bool lastCreatedFolderStored);
// The user chose "+ Create New Project" and no project created by a publish is remembered.
bool isNewProjectState(const co::Value& settings, bool lastCreatedProjectStored);

// The workspaces of the selected source, in listing order: those whose team is the source, and
// those outside any team whose owner is the source. None without a selected source.
std::vector<Workspace> candidateWorkspaces(const std::vector<Workspace>& workspaces,
                                           const std::optional<std::string>& sourceId);
// The projects held by the folder, in listing order; top-level projects are never among them.
std::vector<Project> projectsInFolder(const std::vector<Project>& projects, const std::string& folderId);

// The first reason the options cannot be published, as the setting name the error shows ("Not logged
// in", "Folder", "Project"); no value when they can. Only emptiness is tested, and a missing choice
// means "create new", as for the publishing task.
std::optional<std::string> firstInvalidSetting(const co::Value& settings, bool loggedIn);

}  // namespace galvoria::settings
