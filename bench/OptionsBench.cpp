// galvoria-bench-options: the publish options against a large account, in process.
//
//   galvoria-bench-options --prefs FILE --source ID --workspace ID --other-workspace ID --test-token T
//                          [--rebuilds N]
//
// Creates the plugin's principal object as the host does and calls its entry points directly:
//  - the cold walk: the caches are emptied, then the host's sequence of "value changed, ask for the
//    options again" goes account -> workspace -> folder -> project, on to a second folder and project,
//    over to another workspace and back; the requests are counted at the service (its /_test/stats)
//    (with the service's test token T) and compared with the count the caching rules imply for that walk;
//  - the warm rebuild: the options with every list chosen, rebuilt N times from the filled caches,
//    each call timed, the requests counted the same way.
// Prints one JSON object on standard output; the plugin's log goes to standard error.

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "framework/Value.hpp"
#include "platform/Dispatch.hpp"
#include "platform/PreferenceStore.hpp"
#include "plugin/GalvoriaCOPlugin.hpp"
#include "service/Network.hpp"
#include "vocabulary/PublishAction.hpp"

namespace {

using galvoria::Velbrook;

struct Arguments {
    std::string prefs;
    std::string source;
    std::string workspace;
    std::string otherWorkspace;
    std::string testToken;
    int rebuilds = 500;
};

std::optional<Arguments> parseArguments(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--prefs") {
            arguments.prefs = value;
        } else if (name == "--source") {
            arguments.source = value;
        } else if (name == "--workspace") {
            arguments.workspace = value;
        } else if (name == "--other-workspace") {
            arguments.otherWorkspace = value;
        } else if (name == "--test-token") {
            arguments.testToken = value;
        } else if (name == "--rebuilds") {
            arguments.rebuilds = std::max(1, std::atoi(value.c_str()));
        } else {
            return std::nullopt;
        }
    }
    if (arguments.prefs.empty() || arguments.source.empty() || arguments.workspace.empty() ||
        arguments.otherWorkspace.empty() || arguments.testToken.empty()) {
        return std::nullopt;
    }
    return arguments;
}

// Requests the service has received so far (control requests excluded); no value when it cannot say.
std::optional<std::uint64_t> serviceRequestCount(const std::string& testToken) {
    const std::string& origin = galvoria::serviceBaseURL();
    httplib::Client client(origin);
    auto response = client.Get("/_test/stats", {{"X-Galvoria-Test-Token", testToken}});
    if (!response || response->status != 200) return std::nullopt;
    const auto stats = co::Value::parse(response->body, nullptr, false);
    if (!stats.is_object() || !stats.contains("requests") || !stats["requests"].is_number_unsigned()) {
        return std::nullopt;
    }
    return stats["requests"].get<std::uint64_t>();
}

// The value of the n-th listed entry of a list (after the separator), if it has that many.
std::optional<std::string> listedValue(const std::vector<co::GroupPtr>& groups, std::string_view listIdentifier,
                                       std::size_t n) {
    if (groups.empty()) return std::nullopt;
    for (const auto& element : groups.front()->elements()) {
        const auto* list = dynamic_cast<const co::COSettingsListItem*>(element.get());
        if (list == nullptr || list->identifier() != listIdentifier) continue;
        std::size_t seen = 0;
        bool pastSeparator = false;
        for (const auto& option : list->options()) {
            if (option->isSeparator()) {
                pastSeparator = true;
            } else if (pastSeparator && seen++ == n && option->value().is_string()) {
                return option->value().get<std::string>();
            }
        }
    }
    return std::nullopt;
}

std::size_t optionCount(const std::vector<co::GroupPtr>& groups) {
    std::size_t count = 0;
    if (groups.empty()) return 0;
    for (const auto& element : groups.front()->elements()) {
        if (const auto* list = dynamic_cast<const co::COSettingsListItem*>(element.get())) {
            count += list->options().size();
        }
    }
    return count;
}

// The requests the caching rules allow for a walk that makes only valid choices against an account
// whose team and workspace listings are not empty: teams and workspaces once, folders once per
// workspace chosen, projects once per workspace in which a listed folder is chosen.
class RequestModel {
public:
    void rebuilt(const co::Value& settings) {
        if (!listed_) {
            expected_ += 2;
            listed_ = true;
        }
        const auto text = [&](const char* key) -> std::optional<std::string> {
            if (!settings.contains(key) || !settings[key].is_string()) return std::nullopt;
            return settings[key].get<std::string>();
        };
        const auto workspace = text("workspace-list-item");
        if (!workspace) return;
        if (foldersListed_.insert(*workspace).second) ++expected_;
        const auto folder = text("folder-list-item");
        if (folder && *folder != "none" && *folder != "0" && projectsListed_.insert(*workspace).second) ++expected_;
    }
    [[nodiscard]] std::uint64_t expected() const { return expected_; }

private:
    bool listed_ = false;
    std::set<std::string> foldersListed_;
    std::set<std::string> projectsListed_;
    std::uint64_t expected_ = 0;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::lround(fraction * static_cast<double>(values.size() - 1)));
    return values[std::min(index, values.size() - 1)];
}

int runBench(const Arguments& arguments) {
    platform::PreferenceStore::setStandardPath(arguments.prefs);
    platform::MainQueueThread mainQueue;
    Velbrook plugin(platform::PreferenceStore::standard());
    const co::ActionPtr& action = galvoria::publishAction();
    co::Error error;

    // The host's way of choosing: tell the plugin of the change, then ask for the options again.
    co::Value settings = co::Value::object();
    RequestModel model;
    std::vector<co::GroupPtr> groups;
    const auto rebuild = [&] {
        auto result = plugin.settingsForAction(action, settings, &error);
        groups = result.value_or(std::vector<co::GroupPtr>{});
        model.rebuilt(settings);
    };
    // A new workspace clears the choices below it, so a chosen folder always belongs to the chosen
    // workspace (the request model counts on that).
    const auto choose = [&](const std::string& setting, const std::optional<std::string>& value) {
        if (!value) return false;
        if (setting == "workspace-list-item") {
            settings.erase("folder-list-item");
            settings.erase("project-list-item");
        }
        settings[setting] = *value;
        std::uint64_t callbackAction = 0;
        plugin.didUpdateValue(co::Value(*value), setting, action, settings, &callbackAction, &error);
        rebuild();
        return true;
    };

    const auto before = serviceRequestCount(arguments.testToken);
    plugin.processingSettingsVisibilityForAction(action);  // the host picks the action: caches emptied
    rebuild();
    const bool walked = choose("workspace-source-list-item", arguments.source) &&
                        choose("workspace-list-item", arguments.workspace) &&
                        choose("folder-list-item", listedValue(groups, "folder-list-item", 0)) &&
                        choose("project-list-item", listedValue(groups, "project-list-item", 0)) &&
                        choose("folder-list-item", listedValue(groups, "folder-list-item", 1)) &&
                        choose("project-list-item", listedValue(groups, "project-list-item", 0)) &&
                        choose("workspace-list-item", arguments.otherWorkspace) &&
                        choose("folder-list-item", listedValue(groups, "folder-list-item", 0)) &&
                        choose("workspace-list-item", arguments.workspace) &&
                        choose("folder-list-item", listedValue(groups, "folder-list-item", 0)) &&
                        choose("project-list-item", listedValue(groups, "project-list-item", 0));
    const auto afterWalk = serviceRequestCount(arguments.testToken);
    if (!walked || !before || !afterWalk) {
        std::cerr << "galvoria-bench-options: the walk did not find its choices or the service's counts\n";
        return 1;
    }

    // The filled caches, rebuilt with every list chosen.
    const auto& caches = plugin.caches();
    std::size_t cachedFolders = 0;
    std::size_t cachedProjects = 0;
    for (const auto& [workspace, folders] : caches.folders) cachedFolders += folders.size();
    for (const auto& [workspace, projects] : caches.projects) cachedProjects += projects.size();

    constexpr int warmUpCalls = 20;
    for (int i = 0; i < warmUpCalls; ++i) plugin.settingsForAction(action, settings, &error);
    const auto beforeWarm = serviceRequestCount(arguments.testToken);
    std::vector<double> milliseconds;
    milliseconds.reserve(static_cast<std::size_t>(arguments.rebuilds));
    std::size_t options = 0;
    for (int i = 0; i < arguments.rebuilds; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        auto result = plugin.settingsForAction(action, settings, &error);
        const auto end = std::chrono::steady_clock::now();
        milliseconds.push_back(std::chrono::duration<double, std::milli>(end - begin).count());
        if (result) options = optionCount(*result);
    }
    const auto afterWarm = serviceRequestCount(arguments.testToken);
    if (!beforeWarm || !afterWarm) {
        std::cerr << "galvoria-bench-options: the service's counts could not be read\n";
        return 1;
    }

    double sum = 0.0;
    for (const double value : milliseconds) sum += value;
    co::Value report = {
        {"coldRequests", *afterWalk - *before},
        {"expectedColdRequests", model.expected()},
        {"warmRequests", *afterWarm - *beforeWarm},
        {"rebuilds", arguments.rebuilds},
        {"rebuildMedianMs", percentile(milliseconds, 0.5)},
        {"rebuildMeanMs", sum / static_cast<double>(milliseconds.size())},
        {"rebuildP95Ms", percentile(milliseconds, 0.95)},
        {"rebuildMaxMs", percentile(milliseconds, 1.0)},
        {"optionsPerRebuild", options},
        {"cachedSources", caches.workspaceSources.size()},
        {"cachedWorkspaces", caches.workspaces.size()},
        {"cachedFolders", cachedFolders},
        {"cachedProjects", cachedProjects},
    };
    std::cout << report.dump() << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto arguments = parseArguments(argc, argv);
    if (!arguments) {
        std::cerr << "usage: galvoria-bench-options --prefs FILE --source ID --workspace ID --other-workspace ID "
                     "--test-token T [--rebuilds N]\n";
        return 2;
    }
    try {
        return runBench(*arguments);
    } catch (const std::exception& exception) {
        std::cerr << "galvoria-bench-options: " << exception.what() << "\n";
        return 1;
    }
}
