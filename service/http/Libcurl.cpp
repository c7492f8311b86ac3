#include "service/http/Libcurl.hpp"

#include <dlfcn.h>

#include <type_traits>

namespace galvoria::http::detail {

// libcurl is opened when the first session starts, not when the plugin is loaded: mapping and
// relocating it with the two dozen libraries it needs takes longer than loading the rest of the
// plugin, and a host that only shows the plugin's settings never sends a request.
//
// Never closed nor paired with curl_global_cleanup: other threads of the process may still hold
// handles while static objects are torn down, and the cost is a few bytes at exit.
const Libcurl& libcurl() {
    static const Libcurl library = [] {
        Libcurl opened;
        void* handle = ::dlopen(GALVORIA_LIBCURL_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* reason = ::dlerror();
            opened.problem = std::string("The HTTP library could not be loaded: ") + (reason ? reason : "unknown");
            return opened;
        }
        const auto bind = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(handle, name));
            if (function == nullptr && opened.problem.empty()) {
                opened.problem = std::string("The HTTP library lacks ") + name + ".";
            }
        };
        bind(opened.globalInit, "curl_global_init");
        bind(opened.easyInit, "curl_easy_init");
        bind(opened.easyCleanup, "curl_easy_cleanup");
        bind(opened.easyReset, "curl_easy_reset");
        bind(opened.easySetopt, "curl_easy_setopt");
        bind(opened.easyPerform, "curl_easy_perform");
        bind(opened.easyGetinfo, "curl_easy_getinfo");
        bind(opened.easyStrerror, "curl_easy_strerror");
        bind(opened.slistAppend, "curl_slist_append");
        bind(opened.slistFreeAll, "curl_slist_free_all");
        if (opened.available() && opened.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            opened.problem = "The HTTP library could not be initialised.";
        }
        return opened;
    }();
    return library;
}

bool HeaderList::append(const std::string& line) {
    curl_slist* grown = libcurl().slistAppend(list_.get(), line.c_str());
    if (grown == nullptr) {
        return false;
    }
    // The list now starts at `grown` (the same node unless it was empty): hand the ownership over
    // without freeing anything.
    static_cast<void>(list_.release());
    list_.reset(grown);
    return true;
}

}  // namespace galvoria::http::detail
