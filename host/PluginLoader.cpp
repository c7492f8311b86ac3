#include "host/PluginLoader.hpp"

#include <dlfcn.h>
#include <unistd.h>

namespace galvoria::host {
namespace fs = std::filesystem;

std::unique_ptr<PluginLoader> PluginLoader::load(const fs::path& bundlePath, std::string& problem) {
    auto bundle = platform::Bundle::atPath(bundlePath, &problem);
    if (!bundle) {
        return nullptr;
    }
    std::unique_ptr<PluginLoader> loader(new PluginLoader(std::move(*bundle)));
    const fs::path library = loader->bundle_.executablePath();
    loader->library_ = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (loader->library_ == nullptr) {
        const char* reason = ::dlerror();
        problem = "cannot load the plugin library " + library.string() + ": " + (reason != nullptr ? reason : "");
        return nullptr;
    }
    auto symbol = [&](const char* name) -> void* {
        void* found = ::dlsym(loader->library_, name);
        if (found == nullptr && problem.empty()) {
            problem = "the plugin library " + library.string() + " lacks the entry point " + name;
        }
        return found;
    };
    problem.clear();
    auto* version = reinterpret_cast<COPluginInterfaceVersionFn>(symbol(co::COPluginInterfaceVersionSymbol));
    auto* principal = reinterpret_cast<COPluginPrincipalClassFn>(symbol(co::COPluginPrincipalClassSymbol));
    loader->create_ = reinterpret_cast<COPluginCreateFn>(symbol(co::COPluginCreateSymbol));
    loader->destroy_ = reinterpret_cast<COPluginDestroyFn>(symbol(co::COPluginDestroySymbol));
    if (!problem.empty()) {
        return nullptr;
    }
    if (version() != co::COPluginInterfaceVersion) {
        problem = "the plugin library " + library.string() + " implements interface version " +
                  std::to_string(version()) + ", this host needs version " +
                  std::to_string(co::COPluginInterfaceVersion);
        return nullptr;
    }
    const std::string principalClass = principal() != nullptr ? principal() : "";
    if (principalClass != loader->bundle_.principalClass()) {
        problem = "the bundle names the principal class \"" + loader->bundle_.principalClass() +
                  "\" but its library provides \"" + principalClass + "\"";
        return nullptr;
    }
    return loader;
}

PluginLoader::~PluginLoader() {
    releaseInstance();
    // The library stays mapped until the process ends: objects it made (the publish action, the
    // HTTP session) may outlive the instance.
}

bool PluginLoader::createInstance(std::string& problem) {
    releaseInstance();
    instance_ = create_();
    if (instance_ == nullptr) {
        problem = "the plugin could not create its principal object";
        return false;
    }
    publishing_ = dynamic_cast<co::COPublishingPlugin*>(instance_);
    settings_ = dynamic_cast<co::COSettings*>(instance_);
    if (publishing_ == nullptr || settings_ == nullptr) {
        problem = std::string("the principal class \"") + bundle_.principalClass() + "\" does not implement " +
                  (publishing_ == nullptr ? "the publishing protocol" : "the settings protocol");
        releaseInstance();
        return false;
    }
    return true;
}

void PluginLoader::releaseInstance() {
    if (instance_ != nullptr) {
        destroy_(instance_);
    }
    instance_ = nullptr;
    publishing_ = nullptr;
    settings_ = nullptr;
}

fs::path defaultBundlePath() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return (error ? fs::current_path() : self.parent_path()) / "Galvoria.coplugin";
}

}  // namespace galvoria::host
