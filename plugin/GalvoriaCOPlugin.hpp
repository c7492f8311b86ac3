#pragma once
// Velbrook: the plugin's principal class, the one object the host creates and calls.

#include "framework/CaptureOnePlugins.hpp"
#include "service/Network.hpp"
#include "settings/ListingCaches.hpp"
#include "vocabulary/Preferences.hpp"

namespace galvoria {

class Velbrook final : public co::COPluginBase, public co::COPublishingPlugin, public co::COSettings {
public:
    // The plugin's state lives in `store`: the application's preference store.
    explicit Velbrook(platform::PreferenceStore& store) : preferences_(store) {}
    ~Velbrook() override = default;
    Velbrook(const Velbrook&) = delete;
    Velbrook& operator=(const Velbrook&) = delete;

    // File handling
    std::optional<std::vector<co::ActionPtr>> publishingActionsFileCount(std::uint64_t fileCount,
                                                                         co::ErrorOut error) override;
    std::optional<std::vector<co::TaskPtr>> tasksForAction(const co::ActionPtr& action,
                                                           const std::vector<std::string>& files,
                                                           co::ErrorOut error) override;
    // Render settings
    std::optional<co::Value> processingSettingsForAction(const co::ActionPtr& action, co::ErrorOut error) override;
    std::uint64_t processingSettingsVisibilityForAction(const co::ActionPtr& action) override;
    // Publish options
    std::optional<std::vector<co::GroupPtr>> settingsForAction(const co::ActionPtr& action, const co::Value& settings,
                                                               co::ErrorOut error) override;
    bool didUpdateValue(const co::Value& value, const std::string& setting, const co::ActionPtr& action,
                        const co::Value& settings, std::uint64_t* callbackAction, co::ErrorOut error) override;
    bool validateSettings(const co::Value& settings, const co::ActionPtr& action, co::ErrorOut error) override;
    // Publishing
    co::PublishResultPtr startPublishingTask(const co::TaskPtr& task, co::ErrorOut error,
                                             const co::ProgressBlock& progress) override;
    // Account panel
    std::optional<std::vector<co::GroupPtr>> settingsWithError(co::ErrorOut error) override;
    bool didUpdateValue(const co::Value& value, const std::string& setting, co::ErrorOut error,
                        const co::SettingsCallback& callback) override;
    bool handleEvent(std::uint64_t event, const co::ItemPtr& item, co::ErrorOut error,
                     const co::SettingsCallback& callback) override;

    // The render settings demanded for every action.
    static co::Value processingSettings();

    [[nodiscard]] const ListingCaches& caches() const { return caches_; }

private:
    Preferences preferences_;
    Network network_{preferences_};
    ListingCaches caches_;
};

}  // namespace galvoria
