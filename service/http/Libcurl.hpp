#pragma once
// libcurl, opened at run time, and owners of its handles and header lists. Private to the HTTP
// seam: only service/http/*.cpp include this header, so no other file sees libcurl's declarations.

#include <curl/curl.h>

#include <memory>
#include <string>

namespace galvoria::http::detail {

// The libcurl functions the seam calls, bound by name.
struct Libcurl {
    decltype(&::curl_global_init) globalInit = nullptr;
    decltype(&::curl_easy_init) easyInit = nullptr;
    decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&::curl_easy_reset) easyReset = nullptr;
    decltype(&::curl_easy_setopt) easySetopt = nullptr;
    decltype(&::curl_easy_perform) easyPerform = nullptr;
    decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&::curl_easy_strerror) easyStrerror = nullptr;
    decltype(&::curl_slist_append) slistAppend = nullptr;
    decltype(&::curl_slist_free_all) slistFreeAll = nullptr;
    std::string problem;  // why it could not be opened; empty once it is

    [[nodiscard]] bool available() const { return problem.empty(); }
};

// Opens and initialises libcurl once, on first use.
const Libcurl& libcurl();

// Handles and lists exist only once libcurl has been opened.
struct EasyDeleter {
    void operator()(CURL* handle) const { libcurl().easyCleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct HeaderListDeleter {
    void operator()(curl_slist* list) const { libcurl().slistFreeAll(list); }
};

// A curl_slist that frees itself; append() keeps the list intact when libcurl runs out of memory.
class HeaderList {
public:
    bool append(const std::string& line);
    [[nodiscard]] curl_slist* get() const { return list_.get(); }

private:
    std::unique_ptr<curl_slist, HeaderListDeleter> list_;
};

}  // namespace galvoria::http::detail
