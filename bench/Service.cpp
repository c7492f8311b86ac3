#include "bench/Service.hpp"

#include <httplib.h>
#include <unistd.h>

#include <string_view>
#include <system_error>

namespace galvoria::bench {

void Service::start(StorageMode mode, const std::optional<fs::path>& stateFile, int latencyMs) {
    std::vector<std::string> arguments{
        paths_.devserver().string(), "--port", std::to_string(port()), "--test-mode", "--storage",
        paths_.storage().string()};
    if (mode != StorageMode::disk) arguments.emplace_back("--discard-storage");
    if (mode == StorageMode::sink) arguments.emplace_back("--sign-to-discard");
    if (stateFile) {
        arguments.emplace_back("--state");
        arguments.push_back(stateFile->string());
    }
    if (tls_) {
        arguments.insert(arguments.end(),
                         {"--tls-cert", paths_.tlsCertificate.string(), "--tls-key", paths_.tlsKey.string()});
    }
    if (latencyMs > 0) arguments.insert(arguments.end(), {"--latency", std::to_string(latencyMs)});
    fs::create_directories(paths_.storage());
    const fs::path log = paths_.logs() / (tls_ ? "devserver-tls.log" : "devserver.log");
    const auto line = process_.start(arguments, log);
    // "galvoria-devserver listening on ORIGIN (test token TOKEN)"
    constexpr std::string_view tokenMark = " (test token ";
    const auto mark = line ? line->find(tokenMark) : std::string::npos;
    if (!line || line->find(origin_) == std::string::npos || mark == std::string::npos) {
        fail("galvoria-devserver did not start on " + origin_ + " (is another one running there?); see " +
             log.string());
    }
    testToken_ = line->substr(mark + tokenMark.size());
    testToken_ = testToken_.substr(0, testToken_.find(')'));
}

std::vector<std::string> Service::curlTrust() const {
    if (!tls_) return {};
    return {"--cacert", paths_.tlsAuthority.string()};
}

ServiceStats Service::stats() const {
    const Json body = control("/_test/stats");
    return {body.at("connections").get<std::uint64_t>(), body.at("requests").get<std::uint64_t>(),
            body.at("tlsHandshakes").get<std::uint64_t>()};
}

Json Service::requests() const { return control("/_test/requests").at("requests"); }

void Service::clearRequests() const {
    httplib::Client client = clientOf();
    auto response = client.Delete("/_test/requests", {{"X-Galvoria-Test-Token", testToken_}});
    if (!response || response->status != 204) fail("the service's recorded requests cannot be cleared");
}

Json Service::sign(const std::string& token, const fs::path& file) const {
    httplib::Client client = clientOf();
    const std::string name = file.filename().string();
    const Json body = {{"fileName", name},
                       {"originalFileName", name},
                       {"projectId", demoProject},
                       {"fileSize", std::to_string(fs::file_size(file))}};
    auto response = client.Post("/api/upload/sign/lightroom", {{"Authorization", "Bearer " + token}}, body.dump(),
                                "application/json");
    if (!response || response->status != 200) fail("the service did not sign an upload for the baseline");
    return Json::parse(response->body);
}

void Service::complete(const std::string& token, const Json& signature) const {
    httplib::Client client = clientOf();
    const Json body = {{"signature", signature}};
    client.Post("/api/upload/complete", {{"Authorization", "Bearer " + token}}, body.dump(), "application/json");
}

void Service::clearStorage() const {
    std::error_code error;
    fs::remove_all(paths_.storage() / "uploads", error);
    fs::remove_all(paths_.storage() / ".incoming", error);
    ::sync();
}

httplib::Client Service::clientOf() const {
    httplib::Client client(origin_);
    if (tls_) client.set_ca_cert_path(paths_.tlsAuthority.string());
    client.set_read_timeout(120, 0);
    return client;
}

Json Service::control(const std::string& path) const {
    httplib::Client client = clientOf();
    auto response = client.Get(path, {{"X-Galvoria-Test-Token", testToken_}});
    if (!response || response->status != 200) fail("the service's " + path + " cannot be read");
    return Json::parse(response->body);
}

}  // namespace galvoria::bench
