#include "platform/Bundle.hpp"

#include <dlfcn.h>

#include <fstream>
#include <mutex>
#include <shared_mutex>

#include <nlohmann/json.hpp>

namespace platform {
namespace fs = std::filesystem;

std::optional<Bundle> Bundle::atPath(const fs::path& folder, std::string* problem) {
    auto fail = [problem](std::string text) -> std::optional<Bundle> {
        if (problem != nullptr) {
            *problem = std::move(text);
        }
        return std::nullopt;
    };
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        return fail("not a bundle folder: " + folder.string());
    }
    std::ifstream in(folder / "manifest.json");
    if (!in) {
        return fail("the bundle has no manifest.json: " + folder.string());
    }
    const auto manifest = nlohmann::json::parse(in, nullptr, false);
    if (manifest.is_discarded() || !manifest.is_object()) {
        return fail("the bundle's manifest.json is not a JSON object: " + folder.string());
    }
    Bundle bundle;
    bundle.path_ = fs::absolute(folder, error).lexically_normal();
    if (bundle.path_.has_filename() == false) {
        bundle.path_ = bundle.path_.parent_path();
    }
    if (const auto it = manifest.find("bundleIdentifier");
        it != manifest.end() && it->is_string() && !it->get<std::string>().empty()) {
        bundle.identifier_ = it->get<std::string>();
    }
    const auto principal = manifest.find("principalClass");
    const auto executable = manifest.find("executable");
    if (principal == manifest.end() || !principal->is_string() || executable == manifest.end() ||
        !executable->is_string()) {
        return fail("the bundle's manifest.json lacks \"principalClass\" or \"executable\": " + folder.string());
    }
    bundle.principalClass_ = principal->get<std::string>();
    bundle.executable_ = executable->get<std::string>();
    return bundle;
}

std::optional<Bundle> Bundle::containingAddress(const void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return std::nullopt;
    }
    std::error_code error;
    fs::path library = fs::weakly_canonical(info.dli_fname, error);
    for (fs::path folder = library.parent_path(); folder.has_relative_path(); folder = folder.parent_path()) {
        if (folder.extension() == ".coplugin") {
            return atPath(folder);
        }
    }
    return std::nullopt;
}

std::optional<fs::path> Bundle::urlForResource(std::string_view name, std::string_view extension) const {
    fs::path file = path_ / "Resources" / (std::string(name) + "." + std::string(extension));
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return std::nullopt;
    }
    return file;
}

namespace {
std::shared_mutex& tableMutex() {
    static std::shared_mutex mutex;
    return mutex;
}
std::map<std::string, std::string>& table() {
    static std::map<std::string, std::string> strings;
    return strings;
}
}  // namespace

void setMainStringTable(std::map<std::string, std::string> strings) {
    std::unique_lock lock(tableMutex());
    table() = std::move(strings);
}

std::string localizedString(const std::string& key, std::string_view /*comment*/) {
    std::shared_lock lock(tableMutex());
    const auto found = table().find(key);
    return found == table().end() ? key : found->second;
}

}  // namespace platform
