#include "service/Network.hpp"

#include <algorithm>
#include <array>
#include <memory>

#include "framework/JsonDecoding.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Log.hpp"
#include "service/Exchange.hpp"
#include "service/RecordMapping.hpp"
#include "service/UrlEncoding.hpp"
#include "service/http/Http.hpp"

namespace galvoria {
namespace {

struct Route {
    Network::Endpoint endpoint;
    std::string_view method;
    std::string_view path;  // "{workspace}" stands for the workspace identifier as one encoded segment
    bool userAgent;         // the plugin's User-Agent header: every route but an upload's
    bool bearer;            // an Authorization header with the bearer token
};

using Endpoint = Network::Endpoint;
constexpr std::string_view workspaceSegment = "{workspace}";

// Every endpoint the plugin calls, in the order of the enumeration.
constexpr std::array<Route, 9> routes{{
    {Endpoint::login, "POST", "/sanctum/token", true, false},
    {Endpoint::teams, "GET", "/api/teams", true, true},
    {Endpoint::workspaces, "GET", "/api/workspaces", true, true},
    {Endpoint::folders, "GET", "/api/workspaces/{workspace}/folders", true, true},
    {Endpoint::projects, "GET", "/api/workspaces/{workspace}/projects", true, true},
    {Endpoint::createFolder, "POST", "/api/workspaces/{workspace}/folders", true, true},
    {Endpoint::createProject, "POST", "/api/workspaces/{workspace}/projects", true, true},
    {Endpoint::sign, "POST", "/api/upload/sign/lightroom", false, true},
    {Endpoint::complete, "POST", "/api/upload/complete", false, true},
}};

constexpr bool routesInOrder() {
    for (std::size_t index = 0; index < routes.size(); ++index) {
        if (static_cast<std::size_t>(routes[index].endpoint) != index) {
            return false;
        }
    }
    return true;
}
static_assert(routesInOrder(), "one route per endpoint, in the order of the enumeration");

// The headers of a service request, in the order they are sent.
std::vector<http::Header> serviceHeaders(bool userAgent, const std::optional<std::string>& token) {
    std::vector<http::Header> headers{{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    if (userAgent) {
        headers.push_back({"User-Agent", "CaptureOne"});
    }
    if (token) {
        headers.push_back({"Authorization", "Bearer " + *token});
    }
    return headers;
}

// JSON as the service expects it; bytes that are not UTF-8 (a name, say) become U+FFFD instead of
// ending the request.
std::string dumped(const co::Value& value) { return value.dump(-1, ' ', false, co::Value::error_handler_t::replace); }

// A JSON object of the parameters in key order; absent values are sent as JSON null.
std::string parameterBody(const std::map<std::string, std::optional<std::string>>& parameters) {
    co::Value body = co::Value::object();
    for (const auto& [key, value] : parameters) {
        body[key] = value ? co::Value(*value) : co::Value(nullptr);
    }
    return dumped(body);
}

bool isSuccessStatus(long status) { return status >= 200 && status < 300; }

// Turns a response into the status and the top-level JSON object; whatever else arrived leaves the
// map empty and is described on standard output (never with the body itself, which may echo input).
// A body past the decoder's depth or memory limit counts as not the expected JSON.
ServiceResult decode(const http::Response& response) {
    ServiceResult result;
    result.status = response.status;
    if (!response.ok()) {
        platform::log::toStandardOutput("Request failed: " + *response.transportError);
        return result;
    }
    if (response.body.empty()) {
        platform::log::toStandardOutput("Response could not be decoded: the body is empty (status " +
                                        std::to_string(response.status) + ").");
        return result;
    }
    co::DecodedJson decoded = co::decodeJson(response.body);
    if (decoded.failure == co::JsonFailure::notJson) {
        platform::log::toStandardOutput("Response could not be decoded: the body is not valid JSON (status " +
                                        std::to_string(response.status) + ", error at byte " +
                                        std::to_string(decoded.errorByte) + ").");
        return result;
    }
    if (!decoded.ok()) {
        platform::log::toStandardOutput("Response could not be decoded: the body " + decoded.problem() + " (status " +
                                        std::to_string(response.status) + ").");
        return result;
    }
    if (!decoded.value.is_object()) {
        platform::log::toStandardOutput("Response could not be decoded: the body is a JSON " +
                                        std::string(decoded.value.type_name()) + ", not an object (status " +
                                        std::to_string(response.status) + ").");
        return result;
    }
    result.map = std::move(decoded.value);
    return result;
}

// How a listing's answer failed, if it did. A refusal keeps the service's own text when its body
// is a JSON object with a non-empty string "message".
std::optional<ListingProblem> problemOf(const ServiceResult& result) {
    if (result.status == 0) {
        return ListingProblem{ListingProblem::Kind::noAnswer, 0, {}};
    }
    if (result.status < 200 || result.status >= 300) {
        ListingProblem problem{ListingProblem::Kind::refused, result.status, {}};
        if (const auto message = result.map.find("message"); message != result.map.end() && message->is_string()) {
            problem.message = message->get<std::string>();
        }
        return problem;
    }
    const auto data = result.map.find("data");
    const bool listed =
        data != result.map.end() && data->is_array() &&
        std::all_of(data->begin(), data->end(), [](const co::Value& entry) { return entry.is_object(); });
    if (!listed) {
        return ListingProblem{ListingProblem::Kind::unusable, result.status, {}};
    }
    return std::nullopt;
}

}  // namespace

void logUploadInternalError(const std::optional<std::string>& what) {
    platform::log::line(what ? "Upload ended by an internal error: " + *what : "Upload ended by an internal error");
}

co::Value decodeAnswerBody(std::string_view body) {
    co::DecodedJson decoded = co::decodeJson(body);
    if (decoded.failure == co::JsonFailure::tooDeep || decoded.failure == co::JsonFailure::tooLarge) {
        platform::log::line("Response could not be decoded: the body " + decoded.problem() + ".");
    }
    return std::move(decoded.value);
}

const std::string& serviceBaseURL() {
    static const std::string origin = GALVORIA_SERVICE_URL;
    return origin;
}

http::Session& Network::session() const { return session_ != nullptr ? *session_ : http::Session::shared(); }

http::Request Network::requestFor(Endpoint endpoint, const std::optional<std::string>& token,
                                  const std::string& workspaceId) const {
    const Route& route = routes.at(static_cast<std::size_t>(endpoint));
    std::string path(route.path);
    if (const auto at = path.find(workspaceSegment); at != std::string::npos) {
        path.replace(at, workspaceSegment.size(), encodePathSegment(workspaceId));
    }
    http::Request request;
    request.method = std::string(route.method);
    request.url = baseURL_ + path;
    request.headers = serviceHeaders(route.userAgent, route.bearer ? token : std::nullopt);
    return request;
}

ServiceResult Network::send(http::Request request) const {
    return exchange<ServiceResult>(session(), http::Role::service, std::move(request), {}, decode,
                                   [](const std::optional<std::string>&) {
                                       platform::log::toStandardOutput("Response could not be handled.");
                                       return ServiceResult{};
                                   })
        .value_or(ServiceResult{});
}

ServiceResult Network::postRequest(const std::string& url,
                                   const std::map<std::string, std::optional<std::string>>& parameters,
                                   const std::optional<std::string>& token) const {
    http::Request request;
    request.method = "POST";
    request.url = url;
    request.headers = serviceHeaders(true, token);
    request.body = parameterBody(parameters);
    return send(std::move(request));
}

ServiceResult Network::getRequest(const std::string& url, const std::map<std::string, std::string>& parameters,
                                  const std::optional<std::string>& token) const {
    http::Request request;
    request.method = "GET";
    request.url = url;
    if (!parameters.empty()) {
        request.url += (url.find('?') == std::string::npos ? '?' : '&');
        request.url += encodeFormFields(parameters);
    }
    request.headers = serviceHeaders(true, token);
    return send(std::move(request));
}

std::string Network::login(const std::string& email, const std::string& password) const {
    http::Request request = requestFor(Endpoint::login, std::nullopt);
    request.body = parameterBody({{"email", email}, {"password", password}, {"device_name", "c1-plugin"}});
    const ServiceResult result = send(std::move(request));
    const bool refused = result.status == 400 || result.status == 401 || result.status == 422;
    const auto token = result.map.find("token");
    // Only a non-empty string is a token: anything else would erase the typed password and leave
    // the account logged out while reporting success.
    if (token == result.map.end() || !token->is_string() || token->get_ref<const std::string&>().empty()) {
        return "login-failed";
    }
    preferences_->setToken(token->get_ref<const std::string&>());
    preferences_->setPassword("");
    return refused ? "login-failed" : "";
}

ServiceResult Network::listing(Endpoint endpoint, const std::string& workspaceId) const {
    ServiceResult result = send(requestFor(endpoint, preferences_->token(), workspaceId));
    auto problem = problemOf(result);
    const std::lock_guard lock(listingRecord_->mutex);
    listingRecord_->last = std::move(problem);
    return result;
}

std::optional<ListingProblem> Network::lastListingProblem() const {
    const std::lock_guard lock(listingRecord_->mutex);
    return listingRecord_->last;
}

std::vector<Team> Network::getTeams() const { return mapTeams(listing(Endpoint::teams).map); }

WorkspaceListing Network::getWorkspaces() const { return mapWorkspaces(listing(Endpoint::workspaces).map); }

std::vector<Folder> Network::getFolders(const std::string& workspaceId) const {
    return mapFolders(listing(Endpoint::folders, workspaceId).map);
}

std::vector<Project> Network::getProjects(const std::string& workspaceId) const {
    return mapProjects(listing(Endpoint::projects, workspaceId).map);
}

std::map<std::string, std::string> Network::createFolder(const std::string& name,
                                                         const std::string& workspaceId) const {
    http::Request request = requestFor(Endpoint::createFolder, preferences_->token(), workspaceId);
    request.body = parameterBody({{"name", name}, {"parent_id", std::nullopt}});
    auto result = creationResult(send(std::move(request)).map);
    platform::log::line("Folder Created: " + printedResult(result));
    return result;
}

std::map<std::string, std::string> Network::createProject(const std::string& name, const std::string& folderId,
                                                          const std::string& workspaceId) const {
    http::Request request = requestFor(Endpoint::createProject, preferences_->token(), workspaceId);
    request.body = parameterBody({{"name", name}, {"description", ""}, {"folder_id", folderId}});
    auto result = creationResult(send(std::move(request)).map);
    platform::log::line("Project Created: " + printedResult(result));
    return result;
}

Signing Network::sign(const std::string& token, const std::string& fileName, const std::string& projectId,
                      std::uint64_t fileSize) const {
    co::Value body = co::Value::object();
    body["fileName"] = fileName;
    body["originalFileName"] = fileName;
    body["projectId"] = projectId;
    body["fileSize"] = std::to_string(fileSize);
    http::Request request = requestFor(Endpoint::sign, token);
    request.body = dumped(body);
    const auto handle = [](const http::Response& response) -> Signing {
        if (!response.ok()) {
            platform::log::toStandardOutput(*response.transportError);
            return {Signing::Kind::noAnswer};
        }
        // An answer without a usable signing is a refusal when its status says so.
        Signing notSigned = isSuccessStatus(response.status) ? Signing{Signing::Kind::unusable, response.status}
                                                             : Signing{Signing::Kind::refused, response.status};
        // Any JSON text, a top-level fragment included, counts as decoded.
        co::Value json = decodeAnswerBody(response.body);
        if (json.is_discarded()) {
            platform::log::toStandardOutput("Response could not be decoded as JSON (status " +
                                            std::to_string(response.status) + ")");
            return notSigned;
        }
        platform::log::line("Upload Sign Response: Success");
        if (!json.is_object()) {
            return notSigned;
        }
        const auto endpoint = json.find("postEndpoint");
        const auto signature = json.find("signature");
        if (endpoint == json.end() || !endpoint->is_string() || signature == json.end() || !signature->is_object()) {
            return notSigned;
        }
        // Moved out of the answer, never copied: its members keep the order the form needs.
        return {Signing::Kind::signedUp, response.status, endpoint->get<std::string>(),
                std::make_shared<const co::Value>(std::move(*signature))};
    };
    return exchange<Signing>(session(), http::Role::service, std::move(request), {}, handle,
                             [](const std::optional<std::string>& what) {
                                 logUploadInternalError(what);
                                 return Signing{Signing::Kind::internal};
                             })
        .value_or(Signing{Signing::Kind::internal});
}

Completion Network::complete(const std::string& token, co::Value fields) const {
    co::Value body = co::Value::object();
    body["signature"] = std::move(fields);
    http::Request request = requestFor(Endpoint::complete, token);
    request.body = dumped(body);
    const auto handle = [](const http::Response& response) -> Completion {
        if (!response.ok()) {
            platform::log::toStandardOutput(*response.transportError);
            return {Completion::Kind::noAnswer};
        }
        if (!isSuccessStatus(response.status)) {
            return {Completion::Kind::refused, response.status};
        }
        return {Completion::Kind::completed, response.status};
    };
    return exchange<Completion>(session(), http::Role::service, std::move(request), {}, handle,
                                [](const std::optional<std::string>& what) {
                                    logUploadInternalError(what);
                                    return Completion{Completion::Kind::internal};
                                })
        .value_or(Completion{Completion::Kind::internal});
}

}  // namespace galvoria
