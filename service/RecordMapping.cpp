#include "service/RecordMapping.hpp"

#include <algorithm>
#include <optional>

namespace galvoria {
namespace {

const co::Value* member(const co::Value& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> stringMember(const co::Value& object, const char* key) {
    const co::Value* value = member(object, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

const co::Value* objectMember(const co::Value& object, const char* key) {
    const co::Value* value = member(object, key);
    return value != nullptr && value->is_object() ? value : nullptr;
}

// JSON true and false, and the integers 1 and 0; everything else counts as absent.
std::optional<bool> booleanMember(const co::Value* object, const char* key) {
    const co::Value* value = object == nullptr ? nullptr : member(*object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_boolean()) {
        return value->get<bool>();
    }
    if (value->is_number_integer()) {
        if (*value == 1) {
            return true;
        }
        if (*value == 0) {
            return false;
        }
    }
    return std::nullopt;
}

bool isArrayOfObjects(const co::Value* value) {
    return value != nullptr && value->is_array() &&
           std::all_of(value->begin(), value->end(), [](const co::Value& element) { return element.is_object(); });
}

// The entries under "data", or nothing when "data" is not a non-empty array made only of objects.
const co::Value* listingEntries(const co::Value& map) {
    const co::Value* data = member(map, "data");
    return isArrayOfObjects(data) && !data->empty() ? data : nullptr;
}

struct Named {
    std::string id;
    std::string name;
};

std::optional<Named> identity(const co::Value& entry) {
    auto id = stringMember(entry, "id");
    auto name = stringMember(entry, "name");
    if (!id || !name) {
        return std::nullopt;
    }
    return Named{std::move(*id), std::move(*name)};
}

bool hasPlanFeature(const co::Value* features, std::string_view feature) {
    return std::any_of(features->begin(), features->end(),
                       [feature](const co::Value& element) { return stringMember(element, "id") == feature; });
}

}  // namespace

std::vector<Team> mapTeams(const co::Value& map) {
    std::vector<Team> teams;
    const co::Value* entries = listingEntries(map);
    if (entries == nullptr) {
        return teams;
    }
    for (const co::Value& entry : *entries) {
        auto named = identity(entry);
        if (!named) {
            continue;
        }
        Team team{std::move(named->id), std::move(named->name), {}};
        if (const co::Value* owner = objectMember(entry, "owner")) {
            team.ownerId = stringMember(*owner, "id").value_or(std::string{});
        }
        teams.push_back(std::move(team));
    }
    return teams;
}

WorkspaceListing mapWorkspaces(const co::Value& map) {
    WorkspaceListing listing;
    const co::Value* entries = listingEntries(map);
    if (entries == nullptr) {
        return listing;
    }
    for (const co::Value& entry : *entries) {
        auto named = identity(entry);
        if (!named) {
            continue;
        }
        Workspace workspace;
        workspace.id = std::move(named->id);
        workspace.name = std::move(named->name);

        const co::Value* acl = nullptr;
        if (const co::Value* permissions = objectMember(entry, "permissions")) {
            acl = objectMember(*permissions, "acl");
        }
        workspace.hasCreateFolderPermissions = booleanMember(acl, "workspace.folder.create").value_or(false);
        workspace.hasCreateProjectPermissions = booleanMember(acl, "workspace.project.create").value_or(false);

        if (const co::Value* features = member(entry, "plan_features"); isArrayOfObjects(features)) {
            workspace.hasFeatureReview = hasPlanFeature(features, "review");
            workspace.hasFeatureWorkflow = hasPlanFeature(features, "workflow");
        }

        if (const co::Value* owner = objectMember(entry, "owner")) {
            if (auto ownerId = stringMember(*owner, "id")) {
                workspace.ownerId = *ownerId;
                const bool known =
                    std::any_of(listing.accountSources.begin(), listing.accountSources.end(),
                                [&](const WorkspaceSource& source) { return source.id == workspace.ownerId; });
                // An owner without a name cannot be shown as a choice; a later workspace may name it.
                if (auto ownerName = stringMember(*owner, "name"); !known && ownerName) {
                    listing.accountSources.push_back(
                        {workspace.ownerId, std::move(*ownerName), WorkspaceSource::Source::account});
                }
            }
        }

        workspace.teamId = stringMember(entry, "team_id");
        workspace.hasOwnerPermissions = booleanMember(&entry, "has_owner_permissions").value_or(false);
        listing.workspaces.push_back(std::move(workspace));
    }
    return listing;
}

std::vector<Folder> mapFolders(const co::Value& map) {
    std::vector<Folder> folders;
    const co::Value* entries = listingEntries(map);
    if (entries == nullptr) {
        return folders;
    }
    for (const co::Value& entry : *entries) {
        if (auto named = identity(entry)) {
            folders.push_back({std::move(named->id), std::move(named->name)});
        }
    }
    return folders;
}

std::vector<Project> mapProjects(const co::Value& map) {
    std::vector<Project> projects;
    const co::Value* entries = listingEntries(map);
    if (entries == nullptr) {
        return projects;
    }
    for (const co::Value& entry : *entries) {
        if (auto named = identity(entry)) {
            projects.push_back({std::move(named->id), std::move(named->name), stringMember(entry, "folder_id")});
        }
    }
    return projects;
}

std::map<std::string, std::string> creationResult(const co::Value& map) {
    std::map<std::string, std::string> result;
    const co::Value* data = objectMember(map, "data");
    if (data == nullptr) {
        return result;
    }
    if (auto id = stringMember(*data, "id")) {
        result["id"] = std::move(*id);
    }
    if (auto name = stringMember(*data, "name")) {
        result["name"] = std::move(*name);
    }
    return result;
}

std::string printedResult(const std::map<std::string, std::string>& result) {
    if (result.empty()) {
        return "[:]";
    }
    std::string out = "[";
    for (const auto& [key, value] : result) {
        if (out.size() > 1) {
            out += ", ";
        }
        out += key;
        out += ": ";
        out += value;
    }
    out += ']';
    return out;
}

}  // namespace galvoria
