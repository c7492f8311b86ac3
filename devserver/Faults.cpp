#include "devserver/Faults.hpp"

#include <algorithm>
#include <array>
#include <regex>

namespace galvoria::devserver {

namespace {

constexpr std::array<std::pair<FaultAction, std::string_view>, 7> actionNames{{
    {FaultAction::respond, "respond"},
    {FaultAction::delay, "delay"},
    {FaultAction::dropBefore, "drop-before"},
    {FaultAction::dropMidBody, "drop-mid-body"},
    {FaultAction::stall, "stall"},
    {FaultAction::oversized, "oversized"},
    {FaultAction::dropReused, "drop-reused"},
}};

constexpr std::chrono::milliseconds pollInterval{100};

}  // namespace

const std::vector<std::string>& faultRoutes() {
    static const std::vector<std::string> routes{"login",    "teams",         "workspaces",     "folders",
                                                 "projects", "create-folder", "create-project", "sign",
                                                 "storage",  "complete",      "library"};
    return routes;
}

std::optional<FaultAction> faultActionFromName(std::string_view name) {
    for (const auto& [action, actionName] : actionNames) {
        if (actionName == name) return action;
    }
    return std::nullopt;
}

std::string_view faultActionName(FaultAction action) {
    for (const auto& [candidate, name] : actionNames) {
        if (candidate == action) return name;
    }
    return "respond";
}

std::optional<ParsedFault> parseFault(const nlohmann::json& json, std::string& error) {
    if (!json.is_object()) {
        error = "The fault must be a JSON object.";
        return std::nullopt;
    }
    ParsedFault parsed;
    if (!json.contains("route") || !json["route"].is_string() ||
        std::ranges::find(faultRoutes(), json["route"].get<std::string>()) == faultRoutes().end()) {
        error = "The route must be one of the known routes.";
        return std::nullopt;
    }
    parsed.route = json["route"].get<std::string>();
    std::optional<FaultAction> action;
    if (json.contains("action") && json["action"].is_string())
        action = faultActionFromName(json["action"].get<std::string>());
    if (!action) {
        error = "The action must be one of respond, delay, drop-before, drop-mid-body, stall, oversized, drop-reused.";
        return std::nullopt;
    }
    parsed.fault.action = *action;
    auto integer = [&](const char* key, std::optional<int>& out) {
        if (!json.contains(key) || json[key].is_null()) return true;
        if (!json[key].is_number_integer()) return false;
        out = json[key].get<int>();
        return true;
    };
    std::optional<int> delay;
    if (!integer("status", parsed.fault.status) || !integer("delayMs", delay) ||
        !integer("times", parsed.fault.times)) {
        error = "status, delayMs and times must be integers.";
        return std::nullopt;
    }
    if ((parsed.fault.status && (*parsed.fault.status < 100 || *parsed.fault.status > 599)) || delay.value_or(0) < 0 ||
        (parsed.fault.times && *parsed.fault.times < 1)) {
        error = "status must lie in 100...599, delayMs must not be negative and times must be positive.";
        return std::nullopt;
    }
    parsed.fault.delayMs = delay.value_or(0);
    if (json.contains("body")) {
        if (!json["body"].is_string()) {
            error = "body must be a string.";
            return std::nullopt;
        }
        parsed.fault.body = json["body"].get<std::string>();
    }
    if (json.contains("contentType")) {
        if (!json["contentType"].is_string()) {
            error = "contentType must be a string.";
            return std::nullopt;
        }
        parsed.fault.contentType = json["contentType"].get<std::string>();
    }
    if (json.contains("headers")) {
        if (!json["headers"].is_object()) {
            error = "headers must be an object of strings.";
            return std::nullopt;
        }
        for (const auto& [name, value] : json["headers"].items()) {
            if (!value.is_string()) {
                error = "headers must be an object of strings.";
                return std::nullopt;
            }
            parsed.fault.headers[name] = value.get<std::string>();
        }
    }
    return parsed;
}

std::string faultRouteOf(std::string_view method, std::string_view rawPath) {
    static const std::regex workspaceChild("^/api/workspaces/[^/]+/(folders|projects)$");
    static const std::regex library("^/project/[^/]+/library$");
    const std::string path(rawPath);
    if (method == "POST") {
        if (path == "/sanctum/token") return "login";
        if (path == "/api/upload/sign/lightroom") return "sign";
        if (path == "/storage/upload") return "storage";
        if (path == "/api/upload/complete") return "complete";
        std::smatch match;
        if (std::regex_match(path, match, workspaceChild))
            return match[1] == "folders" ? "create-folder" : "create-project";
    } else if (method == "GET") {
        if (path == "/api/teams") return "teams";
        if (path == "/api/workspaces") return "workspaces";
        std::smatch match;
        if (std::regex_match(path, match, workspaceChild)) return match[1];
        if (std::regex_match(path, library)) return "library";
    }
    return {};
}

void FaultTable::set(const std::string& route, Fault fault) {
    {
        std::lock_guard lock(mutex_);
        faults_[route] = std::move(fault);
        ++generation_;
    }
    changed_.notify_all();
}

void FaultTable::clear() {
    {
        std::lock_guard lock(mutex_);
        faults_.clear();
        ++generation_;
    }
    changed_.notify_all();
}

std::optional<Fault> FaultTable::take(const std::string& route) {
    std::lock_guard lock(mutex_);
    auto found = faults_.find(route);
    if (found == faults_.end()) return std::nullopt;
    Fault fault = found->second;
    if (found->second.times && --*found->second.times <= 0) faults_.erase(found);
    return fault;
}

std::optional<FaultAction> FaultTable::peekAction(const std::string& route) {
    std::lock_guard lock(mutex_);
    auto found = faults_.find(route);
    if (found == faults_.end()) return std::nullopt;
    return found->second.action;
}

bool FaultTable::sleep(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, duration, [this] { return stopping_; });
}

bool FaultTable::holdStalled(const std::function<bool()>& peerGone) {
    std::unique_lock lock(mutex_);
    const std::uint64_t start = generation_;
    while (!stopping_ && generation_ == start) {
        changed_.wait_for(lock, pollInterval);
        if (peerGone()) return false;
    }
    return !stopping_;
}

void FaultTable::stopAll() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

}  // namespace galvoria::devserver
