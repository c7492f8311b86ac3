#include "host/HostEnvironment.hpp"

#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "host/Terminal.hpp"
#include "platform/Bundle.hpp"
#include "platform/PreferenceStore.hpp"

namespace galvoria::host {
namespace fs = std::filesystem;

namespace {

bool loadStringTable(const fs::path& file, std::string& problem) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        problem = "cannot read the string table " + file.string();
        return false;
    }
    const auto json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        problem = "the string table " + file.string() + " is not a JSON object";
        return false;
    }
    std::map<std::string, std::string> table;
    for (const auto& [key, value] : json.items()) {
        if (!value.is_string()) {
            problem = "the string table " + file.string() + " maps \"" + key + "\" to something other than a string";
            return false;
        }
        table.emplace(key, value.get<std::string>());
    }
    platform::setMainStringTable(std::move(table));
    return true;
}

}  // namespace

std::unique_ptr<PluginLoader> prepareHost(const HostOptions& options, std::string& problem) {
    // Relative paths are resolved once, here; nothing later depends on the working directory.
    std::error_code error;
    const auto store =
        options.prefs ? std::optional(fs::absolute(*options.prefs, error)) : platform::PreferenceStore::defaultPath();
    if (!store) {
        problem =
            "no preference store: neither XDG_CONFIG_HOME nor HOME is an absolute path; set HOME or give "
            "--prefs FILE";
        return nullptr;
    }
    platform::PreferenceStore::setStandardPath(*store);
    if (const auto folder = platform::PreferenceStore::standard().folderProblem()) {
        problem = "the preference store cannot be used: " + *folder;
        return nullptr;
    }
    if (options.strings && !loadStringTable(fs::absolute(*options.strings, error), problem)) {
        return nullptr;
    }
    return PluginLoader::load(fs::absolute(options.bundle, error), problem);
}

int accountForStoreWrites(int status) {
    const auto problem = platform::PreferenceStore::standard().lastWriteProblem();
    if (!problem) {
        return status;
    }
    terminal::err("galvoria-host: the preferences could not be saved: " + terminal::visible(*problem) + "\n");
    return status == 0 ? 1 : status;
}

}  // namespace galvoria::host
