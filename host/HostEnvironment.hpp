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
// reason in `problem`: also when no store file can be named or its folder is writable by others.
std::unique_ptr<PluginLoader> prepareHost(const HostOptions& options, std::string& problem);

// A command's exit status once the store's writes are accounted for: when one failed, the person is
// told on standard error that the preferences could not be saved and why, and a success becomes
// status 1. The plugin's entry points cannot report such a failure themselves.
int accountForStoreWrites(int status);

}  // namespace galvoria::host
