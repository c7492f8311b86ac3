#include "service/Network.hpp"

#include <algorithm>
#include <memory>

#include "framework/JsonDecoding.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Log.hpp"
#include "platform/PreferenceStore.hpp"
#include "plugin/Preferences.hpp"
#include "service/RecordMapping.hpp"
#include "service/UrlEncoding.hpp"
#include "service/http/Http.hpp"

namespace galvoria {
namespace {

std::vector<http::Header> serviceHeaders(const std::optional<std::string>& token) {
    std::vector<http::Header> headers{
        {"Content-Type", "application/json"},
        {"Accept", "application/json"},
        {"User-Agent", "CaptureOne"},
    };
    if (token) {
        headers.push_back({"Authorization", "Bearer " + *token});
    }
    return headers;
}

std::string storedToken() { return prefs::stringOrEmpty(prefs::apiToken); }

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

// One blocking exchange: the session runs the transfer, the answer is handled on the main queue,
// and this thread waits for that handler.
ServiceResult exchange(http::Session& session, http::Request request) {
    platform::MainQueue& mainQueue = platform::MainQueue::shared();
    if (mainQueue.isMainThread()) {
        platform::log::line("Service request refused: it was made on the main thread, which must handle its answer.");
        return {};
    }
    if (!mainQueue.isServed()) {
        platform::log::line("Service request refused: no thread serves the main queue to handle its answer.");
        return {};
    }
    struct Pending {
        platform::DispatchSemaphore done;
        ServiceResult result;
    };
    auto pending = std::make_shared<Pending>();
    session.send(http::Role::service, std::move(request), {}, [pending](http::Response response) {
        platform::MainQueue::shared().async([pending, response = std::move(response)] {
            try {
                pending->result = decode(response);
            } catch (...) {
                pending->result = {};
                platform::log::toStandardOutput("Response could not be handled.");
            }
            pending->done.signal();
        });
    });
    pending->done.wait();
    return std::move(pending->result);
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

std::string dumped(const co::Value& value) { return value.dump(-1, ' ', false, co::Value::error_handler_t::replace); }

}  // namespace

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

ServiceResult Network::postRequest(const std::string& url,
                                   const std::map<std::string, std::optional<std::string>>& parameters,
                                   const std::optional<std::string>& token) const {
    co::Value body = co::Value::object();
    for (const auto& [key, value] : parameters) {
        body[key] = value ? co::Value(*value) : co::Value(nullptr);
    }
    http::Request request;
    request.method = "POST";
    request.url = url;
    request.headers = serviceHeaders(token);
    request.body = dumped(body);
    return exchange(session_ != nullptr ? *session_ : http::Session::shared(), std::move(request));
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
    request.headers = serviceHeaders(token);
    return exchange(session_ != nullptr ? *session_ : http::Session::shared(), std::move(request));
}

std::string Network::login(const std::string& email, const std::string& password) const {
    const ServiceResult result =
        postRequest(baseURL_ + "/sanctum/token",
                    {{"email", email}, {"password", password}, {"device_name", "c1-plugin"}}, std::nullopt);
    const bool refused = result.status == 400 || result.status == 401 || result.status == 422;
    const auto token = result.map.find("token");
    // Only a non-empty string is a token: anything else would erase the typed password and leave
    // the account logged out while reporting success.
    if (token == result.map.end() || !token->is_string() || token->get_ref<const std::string&>().empty()) {
        return "login-failed";
    }
    auto& store = platform::PreferenceStore::standard();
    store.setValue(token->get_ref<const std::string&>(), prefs::apiToken);
    store.setValue("", prefs::password);
    return refused ? "login-failed" : "";
}

ServiceResult Network::listing(const std::string& url) const {
    ServiceResult result = getRequest(url, {}, storedToken());
    auto problem = problemOf(result);
    const std::lock_guard lock(listingRecord_->mutex);
    listingRecord_->last = std::move(problem);
    return result;
}

std::optional<ListingProblem> Network::lastListingProblem() const {
    const std::lock_guard lock(listingRecord_->mutex);
    return listingRecord_->last;
}

std::vector<Team> Network::getTeams() const { return mapTeams(listing(baseURL_ + "/api/teams").map); }

WorkspaceListing Network::getWorkspaces() const { return mapWorkspaces(listing(baseURL_ + "/api/workspaces").map); }

std::vector<Folder> Network::getFolders(const std::string& workspaceId) const {
    return mapFolders(listing(baseURL_ + "/api/workspaces/" + encodePathSegment(workspaceId) + "/folders").map);
}

std::vector<Project> Network::getProjects(const std::string& workspaceId) const {
    return mapProjects(listing(baseURL_ + "/api/workspaces/" + encodePathSegment(workspaceId) + "/projects").map);
}

std::map<std::string, std::string> Network::createFolder(const std::string& name,
                                                         const std::string& workspaceId) const {
    const std::string url = baseURL_ + "/api/workspaces/" + encodePathSegment(workspaceId) + "/folders";
    auto result = creationResult(postRequest(url, {{"name", name}, {"parent_id", std::nullopt}}, storedToken()).map);
    platform::log::line("Folder Created: " + printedResult(result));
    return result;
}

std::map<std::string, std::string> Network::createProject(const std::string& name, const std::string& folderId,
                                                          const std::string& workspaceId) const {
    const std::string url = baseURL_ + "/api/workspaces/" + encodePathSegment(workspaceId) + "/projects";
    auto result = creationResult(
        postRequest(url, {{"name", name}, {"description", ""}, {"folder_id", folderId}}, storedToken()).map);
    platform::log::line("Project Created: " + printedResult(result));
    return result;
}

}  // namespace galvoria
