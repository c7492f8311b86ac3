#pragma once
// The service's records as the plugin keeps them: plain values mapped from the JSON listings.

#include <optional>
#include <string>
#include <vector>

namespace galvoria {

struct Team {
    std::string id;
    std::string name;
    std::string ownerId;  // empty when the listing names no owner
};

struct Workspace {
    std::string id;
    std::string name;
    std::optional<std::string> teamId;  // absent for a workspace outside any team
    std::string ownerId;                // empty when the listing names no owner
    bool hasOwnerPermissions = false;
    bool hasCreateFolderPermissions = false;
    bool hasCreateProjectPermissions = false;
    bool hasFeatureReview = false;
    bool hasFeatureWorkflow = false;
};

struct WorkspaceSource {
    enum class Source { account, team };

    std::string id;
    std::string name;
    Source source = Source::account;
};

struct Folder {
    std::string id;
    std::string name;
};

struct Project {
    std::string id;
    std::string name;
    std::optional<std::string> folderId;  // absent for a project at the workspace's top level
};

struct WorkspaceListing {
    std::vector<Workspace> workspaces;
    std::vector<WorkspaceSource> accountSources;  // one per distinct owner, in order of appearance
};

}  // namespace galvoria
