#pragma once
// Pure mapping from the service's decoded answers to records and results.
//
// Each function takes the whole decoded top-level object of a response (the envelope holding
// "data"). Lookups are strict about JSON types: an "id" that is a number is no identifier.
// An entry lacking a string "id" or "name" is left out; the rest of the listing stays.

#include <map>
#include <string>
#include <vector>

#include "framework/Value.hpp"
#include "service/Records.hpp"

namespace galvoria {

std::vector<Team> mapTeams(const co::Value& map);
// Workspaces in listing order, with one account source per distinct owner in order of appearance.
WorkspaceListing mapWorkspaces(const co::Value& map);
std::vector<Folder> mapFolders(const co::Value& map);
std::vector<Project> mapProjects(const co::Value& map);

// "id" and "name" of the object under "data", each only when it is a string.
std::map<std::string, std::string> creationResult(const co::Value& map);
// The result as it appears in the log: "[id: 12, name: Summer]", or "[:]" when empty.
std::string printedResult(const std::map<std::string, std::string>& result);

}  // namespace galvoria
