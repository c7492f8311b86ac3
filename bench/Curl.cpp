#include "bench/Curl.hpp"

#include <sstream>

namespace galvoria::bench {

namespace {

struct CurlRun {
    RunResult process;
    int status = 0;                // the HTTP status of the answer
    double transferSeconds = 0.0;  // curl's own account of the transfer
};

// One curl transfer to the service, the answer's body thrown away: `request` names what to send and
// where; the options to trust the run's authority come first for an https service.
CurlRun curl(const Paths& paths, const Service& service, const std::vector<std::string>& request) {
    ProcessCall call;
    call.arguments = {"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code} %{time_total}"};
    for (const auto& option : service.curlTrust()) call.arguments.push_back(option);
    call.arguments.insert(call.arguments.end(), request.begin(), request.end());
    call.output = paths.logs() / "curl.out";
    call.error = paths.logs() / "curl.log";
    CurlRun result{run(call)};
    std::istringstream reply(readText(call.output));
    reply >> result.status >> result.transferSeconds;
    return result;
}

}  // namespace

RunResult curlFormPost(const Paths& paths, const Service& service, const std::string& token, const fs::path& file,
                       const std::optional<std::string>& endpoint) {
    const Json signed_ = service.sign(token, file);
    const Json& signature = signed_.at("signature");
    std::vector<std::string> request;
    std::string type;
    for (const auto& [name, value] : signature.items()) {
        request.emplace_back("--form-string");
        request.push_back(name + "=" + value.get<std::string>());
        if (name == "Content-Type") type = value.get<std::string>();
    }
    request.emplace_back("-F");
    request.push_back("file=@" + file.string() + (type.empty() ? "" : ";type=" + type));
    request.push_back(endpoint.value_or(signed_.at("postEndpoint").get<std::string>()));
    const CurlRun posted = curl(paths, service, request);
    if (!posted.process.succeeded() || posted.status / 100 != 2) {
        fail("curl -F to the storage route failed; see " + (paths.logs() / "curl.log").string());
    }
    service.complete(token, signature);
    return posted.process;
}

double curlStreamedSeconds(const Paths& paths, const Service& service, const fs::path& file) {
    const CurlRun streamed = curl(
        paths, service, {"-X", "POST", "-H", "Expect:", "-T", file.string(), service.origin() + "/_bench/discard"});
    if (!streamed.process.succeeded() || streamed.status != 204 || streamed.transferSeconds <= 0.0) {
        fail("curl -T to /_bench/discard failed");
    }
    return streamed.transferSeconds;
}

}  // namespace galvoria::bench
