#pragma once
// The host's one way to the plugin: its entry points, called the way the desktop application calls
// them, on a worker thread while the main thread serves the main queue. Each call returns once the
// main queue has run every block the entry point posted (progress reports included), so what the
// plugin reported is complete when its call returns. Both the commands and the drive protocol call
// the plugin through a session; nothing else touches the principal object.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/CaptureOnePlugins.hpp"
#include "host/HostEnvironment.hpp"

namespace galvoria::host {

// One call of a settings callback: its code and the value passed with it, if any.
struct SettingsCallbackCall {
    std::uint64_t code = 0;
    std::optional<co::Value> value;
};

// What a settings entry point returned and what it passed to its callback, in order.
struct SettingsOutcome {
    bool ok = false;
    std::vector<SettingsCallbackCall> callbacks;

    [[nodiscard]] bool asksForRefresh() const;
};

// What the publish options' edit entry point returned and the code it left for the host.
struct ActionValueOutcome {
    bool ok = false;
    std::uint64_t callbackAction = 0;

    [[nodiscard]] bool asksForRefresh() const { return callbackAction == co::COActionSettingsCallbackRefresh; }
};

// Every call that takes an error out-parameter passes `error` on as it is: null means the host
// passes none, as a driver may ask.
class PluginSession {
public:
    explicit PluginSession(PluginLoader& loader) : loader_(loader) {}

    // The plugin-wide panel.
    std::optional<std::vector<co::GroupPtr>> settings(co::ErrorOut error);
    SettingsOutcome updateValue(const co::Value& value, const std::string& setting, co::ErrorOut error);
    SettingsOutcome handleEvent(std::uint64_t event, const co::ItemPtr& item, co::ErrorOut error);
    SettingsOutcome pressButton(const co::ItemPtr& item, co::ErrorOut error) {
        return handleEvent(co::COSettingsEventButtonPressed, item, error);
    }

    // The actions offered for `fileCount` files.
    std::optional<std::vector<co::ActionPtr>> publishingActions(std::uint64_t fileCount, co::ErrorOut error);
    // The first of them, the publish action; null when the plugin offers none.
    co::ActionPtr publishAction(std::uint64_t fileCount);

    // The render settings and their visibility.
    std::optional<co::Value> processingSettings(const co::ActionPtr& action, co::ErrorOut error);
    std::uint64_t processingSettingsVisibility(const co::ActionPtr& action);
    // Both questions, asked as the application asks them before it renders. The files a person
    // hands the host are already rendered; the visibility question lets the plugin fetch fresh
    // listings.
    void prepareRendering(const co::ActionPtr& action);

    // The publish action's options.
    std::optional<std::vector<co::GroupPtr>> actionSettings(const co::ActionPtr& action, const co::Value& values,
                                                            co::ErrorOut error);
    ActionValueOutcome updateActionValue(const co::Value& value, const std::string& setting,
                                         const co::ActionPtr& action, const co::Value& values, co::ErrorOut error);
    bool validate(const co::Value& values, const co::ActionPtr& action, co::ErrorOut error);

    std::optional<std::vector<co::TaskPtr>> tasks(const co::ActionPtr& action, const std::vector<std::string>& files,
                                                  co::ErrorOut error);
    co::PublishResultPtr publish(const co::TaskPtr& task, co::ErrorOut error, const co::ProgressBlock& progress);

    // Releases the principal object and creates a new one, as a host reloading the plugin would.
    bool restart(std::string& problem);

private:
    PluginLoader& loader_;
};

// Prepares the host, loads the plugin and runs `body` on a worker thread with a session on a new
// principal object, while this thread serves the main queue; the object is released once `body`
// returns. Returns the body's exit status, 2 when the bundle cannot be loaded or the object not
// created, and 1 when the body throws (each reason on standard error).
int runWithPlugin(const HostOptions& options, const std::function<int(PluginSession&)>& body);

// The item with this identifier in any of the groups; null when none has it.
co::ItemPtr findItem(const std::vector<co::GroupPtr>& groups, std::string_view identifier);
// An item's value as text: strings as they are, other values as JSON; empty when it has none.
std::string valueText(const co::COSettingsItem& item);

}  // namespace galvoria::host
