#include "settings/OptionChain.hpp"

#include "vocabulary/ItemIdentifiers.hpp"

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

std::optional<std::string> firstInvalidSetting(const co::Value& settings, bool loggedIn) {
    if (!loggedIn) {
        return "Not logged in";
    }
    const DestinationChoice choice = DestinationChoice::fromOptions(settings);
    if (!choice.folder.isUsable()) {
        return "Folder";
    }
    if (!choice.project.isUsable()) {
        return "Project";
    }
    return std::nullopt;
}

}  // namespace galvoria::settings
