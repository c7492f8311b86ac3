#pragma once
// galvoria-devserver as the benchmarks run it: on a fixed origin (plain HTTP, or HTTPS with the
// run's certificate), with its test surface, and the few service calls the baselines make.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench/Case.hpp"
#include "bench/Plan.hpp"
#include "bench/Process.hpp"

namespace httplib {
class Client;
}

namespace galvoria::bench {

enum class StorageMode {
    disk,     // parses the form and writes the file
    discard,  // parses the form and keeps no byte
    sink,     // as discard, and signs uploads to /_bench/discard, which reads the form without parsing it
};

struct ServiceStats {
    std::uint64_t connections = 0;
    std::uint64_t requests = 0;
    std::uint64_t tlsHandshakes = 0;
};

class Service {
public:
    Service(const Paths& paths, std::string origin, bool tls) : paths_(paths), origin_(std::move(origin)), tls_(tls) {}

    // Starts it with its test surface; `stateFile` loads (and keeps) a prepared state, `latencyMs`
    // holds every response head back.
    void start(StorageMode mode, const std::optional<fs::path>& stateFile = std::nullopt, int latencyMs = 0);
    void stop() { process_.stop(); }

    [[nodiscard]] const std::string& origin() const { return origin_; }
    [[nodiscard]] int port() const { return std::stoi(origin_.substr(origin_.rfind(':') + 1)); }
    [[nodiscard]] bool tls() const { return tls_; }
    [[nodiscard]] const std::string& testToken() const { return testToken_; }
    // curl's options to trust the run's authority, for an https origin.
    [[nodiscard]] std::vector<std::string> curlTrust() const;

    // Counted by the service since it started.
    [[nodiscard]] ServiceStats stats() const;
    // The requests recorded since it started or were last cleared, in arrival order.
    [[nodiscard]] Json requests() const;
    void clearRequests() const;

    // Signs an upload as the plugin would; the service's answer.
    [[nodiscard]] Json sign(const std::string& token, const fs::path& file) const;
    void complete(const std::string& token, const Json& signature) const;

    // Removes the stored files so the disk does not fill up across runs, and writes back whatever
    // else is dirty, so that every run starts without the kernel's write-back under way.
    void clearStorage() const;

private:
    [[nodiscard]] httplib::Client clientOf() const;
    [[nodiscard]] Json control(const std::string& path) const;

    const Paths& paths_;
    std::string origin_;
    bool tls_;
    std::string testToken_;
    Background process_;
};

}  // namespace galvoria::bench
