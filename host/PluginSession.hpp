#pragma once
// The host's commands talk to the plugin the way the desktop application does: through its entry
// points only, called on a worker thread while the main thread serves the main queue. Each call
// returns once the main queue has run every block the entry point posted (progress reports
// included), so what the plugin reported is complete when its call returns.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/CaptureOnePlugins.hpp"
#include "host/HostEnvironment.hpp"

namespace galvoria::host {

// What a settings call returned, left in its error out-parameter and passed to its callback.
struct SettingsOutcome {
    bool ok = false;
    co::Error error;
    std::vector<std::uint64_t> callbackCodes;

    [[nodiscard]] bool asksForRefresh() const;
};

class PluginSession {
public:
    explicit PluginSession(PluginLoader& loader) : loader_(loader) {}

    // The plugin-wide panel.
    std::vector<co::GroupPtr> settings(co::Error& error);
    SettingsOutcome updateValue(const co::Value& value, const std::string& setting);
    SettingsOutcome pressButton(const co::ItemPtr& item);

    // The publish action, as offered for `fileCount` files; null when the plugin offers none.
    co::ActionPtr publishAction(std::uint64_t fileCount);
    // The questions the application asks before it renders: render settings and their visibility.
    void prepareRendering(const co::ActionPtr& action);

    // The publish action's options.
    std::optional<std::vector<co::GroupPtr>> actionSettings(const co::ActionPtr& action, const co::Value& values);
    // True when the plugin asks for the options to be built again.
    bool updateActionValue(const co::Value& value, const std::string& setting, const co::ActionPtr& action,
                           const co::Value& values);
    bool validate(const co::Value& values, const co::ActionPtr& action, co::Error& error);

    std::optional<std::vector<co::TaskPtr>> tasks(const co::ActionPtr& action, const std::vector<std::string>& files,
                                                  co::Error& error);
    co::PublishResultPtr publish(const co::TaskPtr& task, co::Error& error, const co::ProgressBlock& progress);

private:
    PluginLoader& loader_;
};

// Loads the plugin and runs `command` on a worker thread with a session on its principal object,
// while this thread serves the main queue. Returns the command's exit status, or 2 when the
// bundle cannot be loaded (its reason on standard error).
int runWithPlugin(const HostOptions& options, const std::function<int(PluginSession&)>& command);

// The item with this identifier in any of the groups; null when none has it.
co::ItemPtr findItem(const std::vector<co::GroupPtr>& groups, std::string_view identifier);
// An item's value as text: strings as they are, other values as JSON; empty when it has none.
std::string valueText(const co::COSettingsItem& item);

}  // namespace galvoria::host
