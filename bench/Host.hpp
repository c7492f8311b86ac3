#pragma once
// galvoria-host as the benchmarks run it: logging in through the plugin's account panel and
// publishing files to the seeded destination.

#include <string>
#include <vector>

#include "bench/Plan.hpp"
#include "bench/Process.hpp"

namespace galvoria::bench {

// A galvoria-host build (its service origin compiled in) and the preferences it publishes with.
struct Host {
    fs::path bin;
    fs::path prefs;

    [[nodiscard]] fs::path program() const { return bin / "galvoria-host"; }
};

// Logs in through the plugin's account panel; returns the token it stored.
std::string login(const Paths& paths, const Host& host);

// Publishes the files in one run of the host; the run fails the benchmark unless every file was published.
RunResult publish(const Paths& paths, const Host& host, const std::vector<fs::path>& files);

}  // namespace galvoria::bench
