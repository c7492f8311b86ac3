// The control surface under /_test/, served in test mode: the requests recorded as they arrived,
// faults per route, the state, statistics, tokens for seeded accounts and the service's clock.
// Every control request carries the test token and, when it has a body, the type application/json.

#include <openssl/crypto.h>

#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

Json recordedRequestJson(const RecordedRequest& request) {
    Json headers = Json::array();
    for (const auto& [name, value] : request.headers) headers.push_back({name, value});
    return {{"method", request.method},
            {"target", request.target},
            {"headers", headers},
            {"body", request.body},
            {"bodyBytes", request.bodyBytes},
            {"receivedAtNs",
             std::chrono::duration_cast<std::chrono::nanoseconds>(request.receivedAt.time_since_epoch()).count()}};
}

}  // namespace

void Server::Impl::resetAll() {
    resetState();
    recorder.clearAll();
    faults.clear();
    clockOffsetSeconds = 0;
}

std::optional<std::string> Server::Impl::issueTestToken(const std::string& email) {
    std::lock_guard lock(stateMutex);
    const AccountRecord* account = state.accountByEmail(email);
    if (account == nullptr) return std::nullopt;
    return issueTokenLocked(account->id, "test");
}

BodyObserver Server::Impl::onRequestHead(const RequestHead& head, ConnectionInfo& connection) {
    if (!options.testMode || head.path().starts_with(controlPrefix)) return nullptr;
    RecordedRequest recorded{head.method, head.target, head.headers, {}, 0, std::chrono::steady_clock::now()};
    bool newConnection = !connection.counted;
    connection.counted = true;
    auto request = recorder.begin(std::move(recorded), newConnection);
    return [this, request](const char* data, std::size_t length) { recorder.appendBody(*request, data, length); };
}

bool Server::Impl::controlRequestAllowed(const httplib::Request& request, httplib::Response& response) const {
    const std::string given = rawHeaderOf(request, testTokenHeader).value_or("");
    if (given.size() != testToken.size() || CRYPTO_memcmp(given.data(), testToken.data(), given.size()) != 0) {
        sendMessage(response, 401, "The test token is missing or wrong.");
        return false;
    }
    // A web page can send a text/plain POST to any origin without asking first; it cannot send JSON.
    const bool hasBody = !request.body.empty() || rawHeaderOf(request, "Content-Length").value_or("0") != "0" ||
                         rawHeaderOf(request, "Transfer-Encoding") || request.method == "POST";
    const std::string type = rawHeaderOf(request, "Content-Type").value_or("");
    if (hasBody && !equalsIgnoringCase(trimmed(type.substr(0, type.find(';'))), "application/json")) {
        sendMessage(response, 415, "The control surface takes application/json only.");
        return false;
    }
    return true;
}

void Server::Impl::registerTestRoutes() {
    front.Post("/_test/reset", [this](const httplib::Request&, httplib::Response& response) {
        resetAll();
        response.status = 204;
    });
    front.Get("/_test/requests", [this](const httplib::Request&, httplib::Response& response) {
        Json requests = Json::array();
        for (const auto& request : recorder.snapshot()) requests.push_back(recordedRequestJson(request));
        sendJson(response, 200, {{"requests", requests}});
    });
    front.Delete("/_test/requests", [this](const httplib::Request&, httplib::Response& response) {
        recorder.clearRequests();
        response.status = 204;
    });
    front.Get("/_test/state", [this](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(stateMutex);
        sendJson(response, 200, state.toJson());
    });
    front.Get("/_test/stats", [this](const httplib::Request&, httplib::Response& response) {
        ServerStats stats = recorder.stats();
        sendJson(response, 200,
                 {{"connections", stats.connections},
                  {"requests", stats.requests},
                  {"tlsHandshakes", stats.tlsHandshakes},
                  {"tlsResumed", stats.tlsResumed}});
    });
    front.Post("/_test/token", [this](const httplib::Request& request, httplib::Response& response) {
        Json body = requestObject(request);
        std::string email = body.contains("email") && body["email"].is_string() ? body["email"].get<std::string>() : "";
        std::optional<std::string> token = issueTestToken(email);
        if (!token) {
            sendJson(response, 422,
                     {{"message", "No account has that e-mail address."},
                      {"errors", {{"email", {"No account has that e-mail address."}}}}});
            return;
        }
        sendJson(response, 200, {{"token", *token}});
    });
    front.Post("/_test/faults", [this](const httplib::Request& request, httplib::Response& response) {
        std::string error;
        auto json = nlohmann::json::parse(request.body, nullptr, false);
        auto parsed = parseFault(json, error);
        if (!parsed) {
            sendJson(response, 422, {{"message", error}});
            return;
        }
        faults.set(parsed->route, parsed->fault);
        response.status = 204;
    });
    front.Delete("/_test/faults", [this](const httplib::Request&, httplib::Response& response) {
        faults.clear();
        response.status = 204;
    });
    front.Post("/_test/clock", [this](const httplib::Request& request, httplib::Response& response) {
        Json body = requestObject(request);
        if (!body.contains("advanceSeconds") || !body["advanceSeconds"].is_number_integer()) {
            sendJson(response, 422, {{"message", "advanceSeconds must be an integer."}});
            return;
        }
        clockOffsetSeconds += body["advanceSeconds"].get<std::int64_t>();
        sendJson(response, 200, {{"now", isoTime(now())}});
    });
}

}  // namespace galvoria::devserver
