#pragma once
// The principal object's cached service listings, filled while the publish options are built.

#include <map>
#include <string>
#include <vector>

#include "service/Records.hpp"

namespace galvoria {

struct ListingCaches {
    std::vector<Team> teams;
    std::vector<WorkspaceSource> workspaceSources;
    std::vector<Workspace> workspaces;
    std::map<std::string, std::vector<Folder>> folders;    // by workspace identifier
    std::map<std::string, std::vector<Project>> projects;  // by workspace identifier

    void empty() {
        teams.clear();
        workspaceSources.clear();
        workspaces.clear();
        folders.clear();
        projects.clear();
    }
};

}  // namespace galvoria
