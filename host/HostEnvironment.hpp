#pragma once
// What every mode of the host sets up before it loads the plugin: the preference store's file, the
// application's string table, and the plugin itself.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "host/PluginLoader.hpp"

namespace galvoria::host {

struct HostOptions {
    std::filesystem::path bundle;
    std::optional<std::filesystem::path> prefs;    // default: the user's store
    std::optional<std::filesystem::path> strings;  // the application's string table
};

// Points the store at its file, loads the string table and the bundle (its principal object is
// created later, on the thread that calls the plugin). On failure returns null with a one-line
// reason in `problem`.
std::unique_ptr<PluginLoader> prepareHost(const HostOptions& options, std::string& problem);

}  // namespace galvoria::host
