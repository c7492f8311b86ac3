// Placeholder until the service client lands: every exchange answers as a failed one would.
#include "service/Network.hpp"

namespace galvoria {

const std::string& serviceBaseURL() {
    static const std::string origin = GALVORIA_SERVICE_URL;
    return origin;
}

ServiceResult Network::postRequest(const std::string&, const std::map<std::string, std::optional<std::string>>&,
                                   const std::optional<std::string>&) const {
    return {};
}
ServiceResult Network::getRequest(const std::string&, const std::map<std::string, std::string>&,
                                  const std::optional<std::string>&) const {
    return {};
}
std::string Network::login(const std::string&, const std::string&) const { return "login-failed"; }
std::vector<Team> Network::getTeams() const { return {}; }
WorkspaceListing Network::getWorkspaces() const { return {}; }
std::vector<Folder> Network::getFolders(const std::string&) const { return {}; }
std::vector<Project> Network::getProjects(const std::string&) const { return {}; }
std::map<std::string, std::string> Network::createFolder(const std::string&, const std::string&) const { return {}; }
std::map<std::string, std::string> Network::createProject(const std::string&, const std::string&,
                                                          const std::string&) const {
    return {};
}

}  // namespace galvoria
