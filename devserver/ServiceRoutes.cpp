// The account, directory and upload API under /sanctum and /api, answering like a Laravel service:
// JSON bodies, 401 without a valid bearer token, 403 when the workspace's permissions forbid an action,
// 404 for unknown records and 422 with per-field messages for invalid input. As in Laravel, string
// inputs are trimmed and an empty string counts as absent.

#include <regex>

#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

constexpr std::size_t maximumNameCodePoints = 255;
constexpr std::string_view credentialsMessage = "The provided credentials are incorrect.";

// Collects per-field messages and answers 422 the way Laravel's validator does.
class Validation {
public:
    void fail(const std::string& field, const std::string& message) {
        if (!errors_.contains(field)) errors_[field] = Json::array();
        errors_[field].push_back(message);
        ++count_;
    }
    [[nodiscard]] bool failed() const { return count_ > 0; }
    void respond(httplib::Response& response) const {
        std::string message = errors_.begin().value().front().get<std::string>();
        if (count_ > 1) {
            message += " (and " + std::to_string(count_ - 1) + " more error" + (count_ > 2 ? "s" : "") + ")";
        }
        sendJson(response, 422, {{"message", message}, {"errors", errors_}});
    }

private:
    Json errors_ = Json::object();
    std::size_t count_ = 0;
};

// "parent_id" -> "parent id", "fileName" -> "file name".
std::string displayName(std::string_view field) {
    std::string out;
    for (char c : field) {
        if (c == '_') {
            out.push_back(' ');
        } else if (c >= 'A' && c <= 'Z') {
            out.push_back(' ');
            out.push_back(static_cast<char>(c - 'A' + 'a'));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// An input member as Laravel sees it: trimmed strings, "" as absent. Nothing when absent or null.
std::optional<Json> input(const Json& body, const std::string& field) {
    if (!body.contains(field) || body[field].is_null()) return std::nullopt;
    if (body[field].is_string()) {
        std::string text = trimmed(body[field].get<std::string>());
        if (text.empty()) return std::nullopt;
        return Json(text);
    }
    return body[field];
}

// A required string of at most 255 characters.
std::optional<std::string> requiredName(const Json& body, const std::string& field, Validation& validation) {
    auto value = input(body, field);
    std::string label = displayName(field);
    if (!value) {
        validation.fail(field, "The " + label + " field is required.");
        return std::nullopt;
    }
    if (!value->is_string()) {
        validation.fail(field, "The " + label + " field must be a string.");
        return std::nullopt;
    }
    auto text = value->get<std::string>();
    if (codePointCount(text) > maximumNameCodePoints) {
        validation.fail(field, "The " + label + " field must not be greater than 255 characters.");
        return std::nullopt;
    }
    return text;
}

// An optional reference to a folder of the workspace: absent, or the id of one of its folders.
std::optional<std::string> folderReference(const Json& body, const std::string& field, const ServiceState& state,
                                           const std::string& workspaceId, Validation& validation) {
    auto value = input(body, field);
    if (!value) return std::nullopt;
    if (!value->is_string() || state.folder(workspaceId, value->get<std::string>()) == nullptr) {
        validation.fail(field, "The selected " + displayName(field) + " is invalid.");
        return std::nullopt;
    }
    return value->get<std::string>();
}

Json nullable(const std::optional<std::string>& value) { return value ? Json(*value) : Json(nullptr); }

Json ownerJson(const ServiceState& state, const std::string& accountId) {
    const AccountRecord* account = state.accountById(accountId);
    return {{"id", accountId}, {"name", account ? account->name : ""}};
}

Json folderJson(const FolderRecord& folder) {
    return {{"id", folder.id},
            {"name", folder.name},
            {"parent_id", nullable(folder.parentId)},
            {"workspace_id", folder.workspaceId},
            {"created_at", folder.createdAt}};
}

Json projectJson(const ProjectRecord& project) {
    return {{"id", project.id},
            {"name", project.name},
            {"folder_id", nullable(project.folderId)},
            {"description", project.description},
            {"workspace_id", project.workspaceId},
            {"created_at", project.createdAt}};
}

Json fileJson(const FileRecord& file, const std::string& projectId) {
    return {{"id", file.id},           {"name", file.name},
            {"size", file.size},       {"content_type", file.contentType},
            {"project_id", projectId}, {"created_at", file.createdAt}};
}

void unauthenticated(httplib::Response& response) { sendMessage(response, 401, "Unauthenticated."); }

}  // namespace

void Server::Impl::registerServiceRoutes() {
    front.Post("/sanctum/token", [this](const httplib::Request& request, httplib::Response& response) {
        Json body = requestObject(request);
        auto email = input(body, "email");
        // Passwords are taken as typed: blanks around them belong to the password.
        bool hasPassword =
            body.contains("password") && body["password"].is_string() && !body["password"].get<std::string>().empty();
        auto device = input(body, "device_name");
        std::lock_guard lock(stateMutex);
        const AccountRecord* account =
            email && email->is_string() ? state.accountByEmail(email->get<std::string>()) : nullptr;
        if (account == nullptr || !hasPassword || !device || !device->is_string() || account->passwordDigest.empty() ||
            !constantTimeEquals(passwordDigest(body["password"].get<std::string>()), account->passwordDigest)) {
            sendJson(response, 422,
                     {{"message", credentialsMessage}, {"errors", {{"email", {std::string(credentialsMessage)}}}}});
            return;
        }
        sendJson(response, 200, {{"token", issueTokenLocked(account->id, device->get<std::string>())}});
    });

    front.Get("/api/teams", [this](const httplib::Request& request, httplib::Response& response) {
        if (!authenticatedAccount(request)) return unauthenticated(response);
        std::lock_guard lock(stateMutex);
        Json data = Json::array();
        for (const auto& team : state.teams) {
            data.push_back({{"id", team.id}, {"name", team.name}, {"owner", ownerJson(state, team.ownerId)}});
        }
        sendJson(response, 200, {{"data", data}});
    });

    front.Get("/api/workspaces", [this](const httplib::Request& request, httplib::Response& response) {
        if (!authenticatedAccount(request)) return unauthenticated(response);
        std::lock_guard lock(stateMutex);
        Json data = Json::array();
        for (const auto& workspace : state.workspaces) {
            Json features = Json::array();
            for (const auto& feature : workspace.planFeatures) features.push_back({{"id", feature}});
            data.push_back({{"id", workspace.id},
                            {"name", workspace.name},
                            {"team_id", nullable(workspace.teamId)},
                            {"owner", ownerJson(state, workspace.ownerId)},
                            {"has_owner_permissions", workspace.hasOwnerPermissions},
                            {"permissions",
                             {{"acl",
                               {{"workspace.folder.create", workspace.canCreateFolders},
                                {"workspace.project.create", workspace.canCreateProjects}}}}},
                            {"plan_features", features}});
        }
        sendJson(response, 200, {{"data", data}});
    });

    // The workspace identifier is one path segment of the raw target, percent-decoded.
    auto workspaceRoute = [this](const httplib::Request& request, httplib::Response& response) {
        static const std::regex pattern("^/api/workspaces/([^/]+)/(folders|projects)$");
        std::smatch match;
        std::string path = rawPathOf(request);
        if (!std::regex_match(path, match, pattern)) return sendMessage(response, 404, "Not Found.");
        if (!authenticatedAccount(request)) return unauthenticated(response);
        const std::string workspaceId = percentDecode(match[1].str());
        const bool folders = match[2] == "folders";

        std::lock_guard lock(stateMutex);
        const WorkspaceRecord* workspace = state.workspace(workspaceId);
        if (workspace == nullptr) return sendMessage(response, 404, "Workspace not found.");

        if (request.method == "GET") {
            Json data = Json::array();
            if (folders) {
                for (const auto& folder : state.folders) {
                    if (folder.workspaceId == workspaceId) {
                        data.push_back(
                            {{"id", folder.id}, {"name", folder.name}, {"parent_id", nullable(folder.parentId)}});
                    }
                }
            } else {
                for (const auto& project : state.projects) {
                    if (project.workspaceId == workspaceId) {
                        data.push_back({{"id", project.id},
                                        {"name", project.name},
                                        {"folder_id", nullable(project.folderId)},
                                        {"description", project.description}});
                    }
                }
            }
            return sendJson(response, 200, {{"data", data}});
        }

        if (!(folders ? workspace->canCreateFolders : workspace->canCreateProjects)) {
            return sendMessage(response, 403, "This action is unauthorized.");
        }
        Json body = requestObject(request);
        Validation validation;
        auto name = requiredName(body, "name", validation);
        if (folders) {
            auto parent = folderReference(body, "parent_id", state, workspaceId, validation);
            if (validation.failed()) return validation.respond(response);
            FolderRecord folder{"fld-" + randomHex(6), workspaceId, *name, parent, isoTime(now())};
            state.folders.push_back(folder);
            saveLocked();
            return sendJson(response, 201, {{"data", folderJson(folder)}});
        }
        auto folder = folderReference(body, "folder_id", state, workspaceId, validation);
        std::string description;
        if (auto value = input(body, "description")) {
            if (value->is_string()) {
                description = value->get<std::string>();
            } else {
                validation.fail("description", "The description field must be a string.");
            }
        }
        if (validation.failed()) return validation.respond(response);
        ProjectRecord project{"prj-" + randomHex(6), workspaceId, *name, description, folder, isoTime(now()), {}};
        state.projects.push_back(project);
        saveLocked();
        sendJson(response, 201, {{"data", projectJson(project)}});
    };
    front.Get("/api/workspaces/(.*)", workspaceRoute);
    front.Post("/api/workspaces/(.*)", workspaceRoute);

    front.Post("/api/upload/sign/lightroom", [this](const httplib::Request& request, httplib::Response& response) {
        if (!authenticatedAccount(request)) return unauthenticated(response);
        Json body = requestObject(request);
        Validation validation;
        auto fileName = requiredName(body, "fileName", validation);
        if (auto original = input(body, "originalFileName"); original && !original->is_string()) {
            validation.fail("originalFileName", "The original file name field must be a string.");
        }
        auto projectId = input(body, "projectId");
        if (!projectId || !projectId->is_string()) {
            validation.fail("projectId",
                            projectId ? "The project id field must be a string." : "The project id field is required.");
        }
        std::optional<std::uint64_t> fileSize;
        if (auto size = input(body, "fileSize")) {
            if (size->is_string()) fileSize = parseDecimal(size->get<std::string>());
            if (size->is_number_unsigned()) fileSize = size->get<std::uint64_t>();
            if (!fileSize) validation.fail("fileSize", "The file size field must be a whole number of bytes.");
        } else {
            validation.fail("fileSize", "The file size field is required.");
        }
        if (validation.failed()) return validation.respond(response);

        std::lock_guard lock(stateMutex);
        const std::string project = projectId->get<std::string>();
        if (state.project(project) == nullptr) return sendMessage(response, 404, "Project not found.");
        const std::string key = "uploads/" + project + "/" + randomUuid() + "/" + *fileName;
        const std::string contentType = contentTypeForFileName(*fileName);
        const Clock::time_point signedAt = now();
        SignedFields fields = signer().sign(key, contentType, *fileSize, signedAt);
        state.pendingUploads[key] = PendingUpload{key, project, *fileName, contentType, *fileSize, isoTime(signedAt)};
        saveLocked();
        Json signature = Json::object();
        for (const auto& [name, value] : fields) signature[name] = value;
        const std::string endpoint = options.signToDiscard
                                         ? originText() + "/_bench/discard?key=" + percentEncodeSegment(key)
                                         : originText() + "/storage/upload";
        sendJson(response, 200, {{"postEndpoint", endpoint}, {"signature", signature}});
    });

    front.Post("/api/upload/complete", [this](const httplib::Request& request, httplib::Response& response) {
        if (!authenticatedAccount(request)) return unauthenticated(response);
        Json body = requestObject(request);
        Validation validation;
        if (!body.contains("signature") || !body["signature"].is_object()) {
            validation.fail("signature", "The signature field is required.");
            return validation.respond(response);
        }
        const Json& fields = body["signature"];
        auto text = [&fields](std::string_view name) -> std::optional<std::string> {
            auto found = fields.find(name);
            if (found == fields.end() || !found->is_string()) return std::nullopt;
            return found->get<std::string>();
        };
        auto policyText = text(policyField);
        auto signatureText = text(signatureField);
        std::optional<UploadPolicy> policy;
        if (policyText && signatureText && signer().signatureMatches(*policyText, *signatureText)) {
            policy = UploadSigner::decode(*policyText);
        }
        bool echoed = policy.has_value();
        if (policy) {
            for (const auto& [name, value] : policy->fields) echoed = echoed && text(name) == value;
        }
        const std::string* key = policy ? policy->field("key") : nullptr;
        if (!echoed || key == nullptr) {
            validation.fail("signature", "The signature is invalid.");
            return validation.respond(response);
        }

        std::lock_guard lock(stateMutex);
        auto pending = state.pendingUploads.find(*key);
        if (pending == state.pendingUploads.end()) {
            validation.fail("signature", "The signature names no upload of this service.");
            return validation.respond(response);
        }
        ProjectRecord* project = state.project(pending->second.projectId);
        if (project == nullptr) return sendMessage(response, 404, "Project not found.");
        for (const auto& file : project->files) {
            if (file.key == *key) return sendJson(response, 200, {{"data", fileJson(file, project->id)}});
        }
        auto object = state.objects.find(*key);
        if (object == state.objects.end()) {
            validation.fail("signature", "The file has not been uploaded.");
            return validation.respond(response);
        }
        FileRecord file{"file-" + randomHex(8),     pending->second.fileName,
                        object->second.size,        *key,
                        object->second.contentType, isoTime(now())};
        project->files.push_back(file);
        saveLocked();
        sendJson(response, 200, {{"data", fileJson(file, project->id)}});
    });
}

}  // namespace galvoria::devserver
