#pragma once
// One easy transfer: its settings, its callbacks and the response they gather. Private to the HTTP
// seam.

#include <atomic>

#include "service/http/Http.hpp"
#include "service/http/Libcurl.hpp"

namespace galvoria::http::detail {

// Runs `request` (already checked against the rules) on `curl` with the prepared header list and
// returns its response. `curl` is reset afterwards: no pointer into this call survives in it, and
// its live connections stay for the next transfer. `closing` aborts the transfer at its next
// progress check (at least once a second).
Response runTransfer(CURL* curl, Request& request, curl_slist* headers, const Progress& progress,
                     const SessionOptions& options, const std::atomic<bool>& closing);

}  // namespace galvoria::http::detail
