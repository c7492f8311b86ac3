#include "settings/OptionChain.hpp"

#include "settings/OptionIdentifiers.hpp"

namespace galvoria::settings {

std::optional<co::Value> anySetting(const co::Value& settings, std::string_view key) {
    if (!settings.is_object()) {
        return std::nullopt;
    }
    const auto found = settings.find(std::string(key));
    if (found == settings.end()) {
        return std::nullopt;
    }
    return *found;
}

std::optional<std::string> stringSetting(const co::Value& settings, std::string_view key) {
    if (!settings.is_object()) {
        return std::nullopt;
    }
    const auto found = settings.find(std::string(key));
    if (found == settings.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

std::string logText(const co::Value& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.dump(-1, ' ', false, co::Value::error_handler_t::replace);
}

bool isNewFolderState(const co::Value& settings, bool lastCreatedFolderStored) {
    return !lastCreatedFolderStored && stringSetting(settings, options::folderList) == options::createNewValue;
}

bool isNewProjectState(const co::Value& settings, bool lastCreatedProjectStored) {
    return !lastCreatedProjectStored && stringSetting(settings, options::projectList) == options::createNewValue;
}

std::vector<Workspace> candidateWorkspaces(const std::vector<Workspace>& workspaces,
                                           const std::optional<std::string>& sourceId) {
    std::vector<Workspace> candidates;
    if (!sourceId) {
        return candidates;
    }
    for (const auto& workspace : workspaces) {
        const bool belongs = workspace.teamId ? *workspace.teamId == *sourceId : workspace.ownerId == *sourceId;
        if (belongs) {
            candidates.push_back(workspace);
        }
    }
    return candidates;
}

std::vector<Project> projectsInFolder(const std::vector<Project>& projects, const std::string& folderId) {
    std::vector<Project> listed;
    for (const auto& project : projects) {
        if (project.folderId && *project.folderId == folderId) {
            listed.push_back(project);
        }
    }
    return listed;
}

namespace {

// A list choice names either an existing entry (the value must not be empty) or "create new" (the
// name to create must not be empty). A missing or non-string choice counts as "create new".
bool choiceIsUsable(const co::Value& settings, std::string_view list, std::string_view name) {
    const std::string choice = stringSetting(settings, list).value_or(std::string(options::createNewValue));
    if (choice == options::createNewValue) {
        return !stringSetting(settings, name).value_or(std::string{}).empty();
    }
    return !choice.empty();
}

}  // namespace

std::optional<std::string> firstInvalidSetting(const co::Value& settings, bool loggedIn) {
    if (!loggedIn) {
        return "Not logged in";
    }
    if (!choiceIsUsable(settings, options::folderList, options::newFolder)) {
        return "Folder";
    }
    if (!choiceIsUsable(settings, options::projectList, options::newProject)) {
        return "Project";
    }
    return std::nullopt;
}

}  // namespace galvoria::settings
