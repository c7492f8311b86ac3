#include "devserver/State.hpp"

#include "devserver/Signing.hpp"
#include "devserver/Text.hpp"

namespace galvoria::devserver {

namespace {

constexpr const char* demoAccountId = "acc-7d1f2c";
constexpr const char* sharingAccountId = "acc-3b9e41";
constexpr const char* seedTime = "2024-11-02T09:15:00Z";

nlohmann::ordered_json optionalText(const std::optional<std::string>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

std::optional<std::string> optionalTextFrom(const nlohmann::json& json, const char* key) {
    if (!json.contains(key) || json.at(key).is_null()) return std::nullopt;
    return json.at(key).get<std::string>();
}

}  // namespace

std::string passwordDigest(const std::string& password) { return sha256Hex("galvoria-devserver\n" + password); }

ServiceState ServiceState::seeded() {
    ServiceState state;
    // The account that logs in: demo@galvoria.test / galvoria-demo.
    state.accounts = {
        {demoAccountId, "Demo Photographer", "demo@galvoria.test", passwordDigest("galvoria-demo")},
        {sharingAccountId, "Mireille Laurent", "mireille@galvoria.test", ""},
    };
    state.teams = {
        {"team-5a2c91", "Studio Lumière", demoAccountId},
        {"team-8e4d07", "Agence Nord", sharingAccountId},
    };
    state.workspaces = {
        {"ws-4f1c2a", "Personal", std::nullopt, demoAccountId, true, true, true, {"review", "workflow"}},
        {"ws-9b3e77", "Weddings 2024", std::nullopt, demoAccountId, true, true, true, {"review"}},
        {"ws-c27d05", "Lumière Productions", "team-5a2c91", demoAccountId, true, true, true, {"review", "workflow"}},
        {"ws-e81f4b", "Client Selects", std::nullopt, sharingAccountId, false, false, true, {"review"}},
        {"ws-0a6d93", "Nord Archive", "team-8e4d07", sharingAccountId, false, false, false, {}},
    };
    state.folders = {
        {"fld-31a8e2", "ws-4f1c2a", "Été à Montréal", std::nullopt, seedTime},
        {"fld-5c07b9", "ws-4f1c2a", "Portraits 📷", std::nullopt, seedTime},
        {"fld-7e2d14", "ws-4f1c2a", "Cafe\u0301", std::nullopt, seedTime},
        {"fld-a4f630", "ws-9b3e77", "Ceremony", std::nullopt, seedTime},
        {"fld-b19c58", "ws-9b3e77", "Reception", std::nullopt, seedTime},
        {"fld-d6e203", "ws-c27d05", "Campaigns", std::nullopt, seedTime},
        {"fld-f0b7c1", "ws-0a6d93", "2019", std::nullopt, seedTime},
    };
    state.projects = {
        {"prj-1d4e8a", "ws-4f1c2a", "Old Port at Dusk", "", "fld-31a8e2", seedTime, {}},
        {"prj-2b7f31", "ws-4f1c2a", "Studio Sessions 📷", "", "fld-5c07b9", seedTime, {}},
        {"prj-3c9a02", "ws-4f1c2a", "Unsorted", "", std::nullopt, seedTime, {}},
        {"prj-4a6d95", "ws-4f1c2a", "Espresso Série", "", "fld-7e2d14", seedTime, {}},
        {"prj-5e1b47", "ws-9b3e77", "Anna & Mark", "", "fld-a4f630", seedTime, {}},
        {"prj-6f8c23", "ws-9b3e77", "Highlights", "", std::nullopt, seedTime, {}},
        {"prj-7a2e69", "ws-c27d05", "Spring Lookbook", "", "fld-d6e203", seedTime, {}},
        {"prj-8d3f10", "ws-c27d05", "Behind the Scenes", "", std::nullopt, seedTime, {}},
        {"prj-9b5c84", "ws-e81f4b", "Selects for Review", "", std::nullopt, seedTime, {}},
        {"prj-0e7a36", "ws-0a6d93", "Archive 2019", "", "fld-f0b7c1", seedTime, {}},
    };
    return state;
}

const AccountRecord* ServiceState::accountById(const std::string& id) const {
    for (const auto& account : accounts) {
        if (account.id == id) return &account;
    }
    return nullptr;
}

const AccountRecord* ServiceState::accountByEmail(const std::string& email) const {
    for (const auto& account : accounts) {
        if (equalsIgnoringCase(account.email, email)) return &account;
    }
    return nullptr;
}

const WorkspaceRecord* ServiceState::workspace(const std::string& id) const {
    for (const auto& workspace : workspaces) {
        if (workspace.id == id) return &workspace;
    }
    return nullptr;
}

const FolderRecord* ServiceState::folder(const std::string& workspaceId, const std::string& id) const {
    for (const auto& folder : folders) {
        if (folder.workspaceId == workspaceId && folder.id == id) return &folder;
    }
    return nullptr;
}

ProjectRecord* ServiceState::project(const std::string& id) {
    for (auto& project : projects) {
        if (project.id == id) return &project;
    }
    return nullptr;
}

const ProjectRecord* ServiceState::project(const std::string& id) const {
    return const_cast<ServiceState*>(this)->project(id);
}

const TokenRecord* ServiceState::tokenByDigest(const std::string& digest) const {
    for (const auto& token : tokens) {
        if (token.digest == digest) return &token;
    }
    return nullptr;
}

nlohmann::ordered_json ServiceState::toJson() const {
    using Json = nlohmann::ordered_json;
    Json json = Json::object();
    json["accounts"] = Json::array();
    for (const auto& a : accounts) {
        json["accounts"].push_back(
            {{"id", a.id}, {"name", a.name}, {"email", a.email}, {"passwordDigest", a.passwordDigest}});
    }
    json["teams"] = Json::array();
    for (const auto& t : teams) json["teams"].push_back({{"id", t.id}, {"name", t.name}, {"ownerId", t.ownerId}});
    json["workspaces"] = Json::array();
    for (const auto& w : workspaces) {
        json["workspaces"].push_back({{"id", w.id},
                                      {"name", w.name},
                                      {"teamId", optionalText(w.teamId)},
                                      {"ownerId", w.ownerId},
                                      {"hasOwnerPermissions", w.hasOwnerPermissions},
                                      {"canCreateFolders", w.canCreateFolders},
                                      {"canCreateProjects", w.canCreateProjects},
                                      {"planFeatures", w.planFeatures}});
    }
    json["folders"] = Json::array();
    for (const auto& f : folders) {
        json["folders"].push_back({{"id", f.id},
                                   {"workspaceId", f.workspaceId},
                                   {"name", f.name},
                                   {"parentId", optionalText(f.parentId)},
                                   {"createdAt", f.createdAt}});
    }
    json["projects"] = Json::array();
    for (const auto& p : projects) {
        Json files = Json::array();
        for (const auto& f : p.files) {
            files.push_back({{"id", f.id},
                             {"name", f.name},
                             {"size", f.size},
                             {"key", f.key},
                             {"contentType", f.contentType},
                             {"createdAt", f.createdAt}});
        }
        json["projects"].push_back({{"id", p.id},
                                    {"workspaceId", p.workspaceId},
                                    {"name", p.name},
                                    {"description", p.description},
                                    {"folderId", optionalText(p.folderId)},
                                    {"createdAt", p.createdAt},
                                    {"files", files}});
    }
    json["tokens"] = Json::array();
    for (const auto& t : tokens) {
        json["tokens"].push_back({{"digest", t.digest},
                                  {"accountId", t.accountId},
                                  {"deviceName", t.deviceName},
                                  {"createdAt", t.createdAt}});
    }
    json["pendingUploads"] = Json::array();
    for (const auto& [key, u] : pendingUploads) {
        json["pendingUploads"].push_back({{"key", u.key},
                                          {"projectId", u.projectId},
                                          {"fileName", u.fileName},
                                          {"contentType", u.contentType},
                                          {"maximumBytes", u.maximumBytes},
                                          {"signedAt", u.signedAt}});
    }
    json["objects"] = Json::array();
    for (const auto& [key, o] : objects) {
        json["objects"].push_back({{"key", o.key},
                                   {"contentType", o.contentType},
                                   {"size", o.size},
                                   {"bytesKept", o.bytesKept},
                                   {"storedAt", o.storedAt}});
    }
    json["tokenCount"] = tokenCount;
    return json;
}

std::optional<ServiceState> ServiceState::fromJson(const nlohmann::json& json) {
    try {
        ServiceState state;
        for (const auto& a : json.at("accounts")) {
            state.accounts.push_back({a.at("id").get<std::string>(), a.at("name").get<std::string>(),
                                      a.at("email").get<std::string>(), a.at("passwordDigest").get<std::string>()});
        }
        for (const auto& t : json.at("teams")) {
            state.teams.push_back(
                {t.at("id").get<std::string>(), t.at("name").get<std::string>(), t.at("ownerId").get<std::string>()});
        }
        for (const auto& w : json.at("workspaces")) {
            state.workspaces.push_back({w.at("id").get<std::string>(), w.at("name").get<std::string>(),
                                        optionalTextFrom(w, "teamId"), w.at("ownerId").get<std::string>(),
                                        w.at("hasOwnerPermissions").get<bool>(), w.at("canCreateFolders").get<bool>(),
                                        w.at("canCreateProjects").get<bool>(),
                                        w.at("planFeatures").get<std::vector<std::string>>()});
        }
        for (const auto& f : json.at("folders")) {
            state.folders.push_back({f.at("id").get<std::string>(), f.at("workspaceId").get<std::string>(),
                                     f.at("name").get<std::string>(), optionalTextFrom(f, "parentId"),
                                     f.at("createdAt").get<std::string>()});
        }
        for (const auto& p : json.at("projects")) {
            ProjectRecord project{p.at("id").get<std::string>(),
                                  p.at("workspaceId").get<std::string>(),
                                  p.at("name").get<std::string>(),
                                  p.at("description").get<std::string>(),
                                  optionalTextFrom(p, "folderId"),
                                  p.at("createdAt").get<std::string>(),
                                  {}};
            for (const auto& f : p.at("files")) {
                project.files.push_back({f.at("id").get<std::string>(), f.at("name").get<std::string>(),
                                         f.at("size").get<std::uint64_t>(), f.at("key").get<std::string>(),
                                         f.at("contentType").get<std::string>(), f.at("createdAt").get<std::string>()});
            }
            state.projects.push_back(std::move(project));
        }
        for (const auto& t : json.at("tokens")) {
            state.tokens.push_back({t.at("digest").get<std::string>(), t.at("accountId").get<std::string>(),
                                    t.at("deviceName").get<std::string>(), t.at("createdAt").get<std::string>()});
        }
        for (const auto& u : json.at("pendingUploads")) {
            PendingUpload upload{u.at("key").get<std::string>(),
                                 u.at("projectId").get<std::string>(),
                                 u.at("fileName").get<std::string>(),
                                 u.at("contentType").get<std::string>(),
                                 u.at("maximumBytes").get<std::uint64_t>(),
                                 u.at("signedAt").get<std::string>()};
            state.pendingUploads.emplace(upload.key, upload);
        }
        for (const auto& o : json.at("objects")) {
            StoredObject object{o.at("key").get<std::string>(), o.at("contentType").get<std::string>(),
                                o.at("size").get<std::uint64_t>(), o.at("bytesKept").get<bool>(),
                                o.at("storedAt").get<std::string>()};
            state.objects.emplace(object.key, object);
        }
        state.tokenCount = json.at("tokenCount").get<std::uint64_t>();
        return state;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace galvoria::devserver
