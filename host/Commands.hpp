#pragma once
// The commands a photographer or a script uses: log in and out, see where the host stands, list
// the destinations and publish files there. They drive the plugin through its entry points only,
// as the desktop application does.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/PluginSession.hpp"

namespace galvoria::host {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;  // the plugin refused, or not every file was published
inline constexpr int exitUsage = 2;

struct LoginOptions {
    std::optional<std::string> email;
    bool passwordFromStandardInput = false;
    bool force = false;  // give up the present login without asking
};

struct ReportOptions {
    bool json = false;
};

struct PublishOptions {
    std::vector<std::string> files;
    std::optional<std::string> source;
    std::optional<std::string> workspace;
    std::optional<std::string> folder;
    std::optional<std::string> newFolder;
    std::optional<std::string> project;
    std::optional<std::string> newProject;
    bool allowDuplicate = false;  // create a new folder or project even where one has its name
    bool quiet = false;
    bool json = false;
};

// What can be told about a command's arguments before the plugin is loaded: a problem for a
// usage error, or nothing. `interactive`: standard input is a terminal, so menus and prompts can
// ask for what is missing.
std::optional<std::string> checkLogin(const LoginOptions& options, bool interactive);
std::optional<std::string> checkPublish(const PublishOptions& options, bool interactive);

int runLogin(PluginSession& session, const LoginOptions& options);
int runLogout(PluginSession& session);
int runStatus(PluginSession& session, const ReportOptions& options);
int runDestinations(PluginSession& session, const ReportOptions& options);
int runPublish(PluginSession& session, const PublishOptions& options);

}  // namespace galvoria::host
