#pragma once
// The baselines' transfers with curl.

#include <optional>
#include <string>

#include "bench/Plan.hpp"
#include "bench/Process.hpp"
#include "bench/Service.hpp"

namespace galvoria::bench {

// curl -F posting the signed form, as the plugin builds it, to the signed storage endpoint (or to
// `endpoint`: the same form to another route), then completing the upload; the curl process's run.
RunResult curlFormPost(const Paths& paths, const Service& service, const std::string& token, const fs::path& file,
                       const std::optional<std::string>& endpoint = std::nullopt);

// curl -T streaming the file to the route that discards the body (reading it while it sends it, as
// the plugin does); curl's own transfer time.
double curlStreamedSeconds(const Paths& paths, const Service& service, const fs::path& file);

}  // namespace galvoria::bench
