#pragma once
// Loads a plugin bundle and creates its principal object, checking the plugin contract first: the
// library must export every entry point of the current interface version, name the principal class
// the manifest names, and its principal object must implement the publishing and settings
// protocols.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "framework/CaptureOnePlugins.hpp"
#include "platform/Bundle.hpp"

namespace galvoria::host {

class PluginLoader {
public:
    // Loads the bundle's library; no value (and `problem` set) when the bundle breaks the contract.
    static std::unique_ptr<PluginLoader> load(const std::filesystem::path& bundlePath, std::string& problem);
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Creates the principal object; the previous one, if any, is released first.
    bool createInstance(std::string& problem);
    // Releases the principal object as an unloading host would. The library stays loaded.
    void releaseInstance();

    [[nodiscard]] co::COPublishingPlugin* publishing() const { return publishing_; }
    [[nodiscard]] co::COSettings* settings() const { return settings_; }
    [[nodiscard]] const platform::Bundle& bundle() const { return bundle_; }

private:
    explicit PluginLoader(platform::Bundle bundle) : bundle_(std::move(bundle)) {}

    platform::Bundle bundle_;
    void* library_ = nullptr;
    COPluginCreateFn create_ = nullptr;
    COPluginDestroyFn destroy_ = nullptr;
    co::COPluginBase* instance_ = nullptr;
    co::COPublishingPlugin* publishing_ = nullptr;
    co::COSettings* settings_ = nullptr;
};

// The bundle built next to this program: "<dir of the executable>/Galvoria.coplugin".
std::filesystem::path defaultBundlePath();

}  // namespace galvoria::host
