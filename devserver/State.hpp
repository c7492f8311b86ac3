#pragma once
// What the service knows: accounts, teams, workspaces, folders, projects with their published files,
// issued tokens (kept only as digests), signed uploads awaiting completion and stored objects.
// Plain data; the server guards it with its own lock.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace galvoria::devserver {

struct AccountRecord {
    std::string id;
    std::string name;
    std::string email;
    std::string passwordDigest;  // empty: the account cannot log in
};

struct TeamRecord {
    std::string id;
    std::string name;
    std::string ownerId;
};

struct WorkspaceRecord {
    std::string id;
    std::string name;
    std::optional<std::string> teamId;
    std::string ownerId;
    bool hasOwnerPermissions = false;
    bool canCreateFolders = false;
    bool canCreateProjects = false;
    std::vector<std::string> planFeatures;
};

struct FolderRecord {
    std::string id;
    std::string workspaceId;
    std::string name;
    std::optional<std::string> parentId;
    std::string createdAt;
};

struct FileRecord {
    std::string id;
    std::string name;
    std::uint64_t size = 0;
    std::string key;
    std::string contentType;
    std::string createdAt;
};

struct ProjectRecord {
    std::string id;
    std::string workspaceId;
    std::string name;
    std::string description;
    std::optional<std::string> folderId;
    std::string createdAt;
    std::vector<FileRecord> files;
};

struct TokenRecord {
    std::string digest;  // SHA-256 of the token text; the token itself is never kept
    std::string accountId;
    std::string deviceName;
    std::string createdAt;
};

// A signed upload: what the completion needs to register the file in its project.
struct PendingUpload {
    std::string key;
    std::string projectId;
    std::string fileName;
    std::string contentType;
    std::uint64_t maximumBytes = 0;
    std::string signedAt;
};

struct StoredObject {
    std::string key;
    std::string contentType;
    std::uint64_t size = 0;
    bool bytesKept = true;  // false when the storage discards file bytes
    std::string storedAt;
};

struct ServiceState {
    std::vector<AccountRecord> accounts;
    std::vector<TeamRecord> teams;
    std::vector<WorkspaceRecord> workspaces;
    std::vector<FolderRecord> folders;
    std::vector<ProjectRecord> projects;
    std::vector<TokenRecord> tokens;
    std::map<std::string, PendingUpload> pendingUploads;  // by key
    std::map<std::string, StoredObject> objects;          // by key
    std::uint64_t tokenCount = 0;                         // tokens ever issued; numbers the next one

    // The demo content every fresh service starts with.
    static ServiceState seeded();

    [[nodiscard]] const AccountRecord* accountById(const std::string& id) const;
    [[nodiscard]] const AccountRecord* accountByEmail(const std::string& email) const;  // ASCII case ignored
    [[nodiscard]] const WorkspaceRecord* workspace(const std::string& id) const;
    [[nodiscard]] const FolderRecord* folder(const std::string& workspaceId, const std::string& id) const;
    [[nodiscard]] ProjectRecord* project(const std::string& id);
    [[nodiscard]] const ProjectRecord* project(const std::string& id) const;
    [[nodiscard]] const TokenRecord* tokenByDigest(const std::string& digest) const;

    [[nodiscard]] nlohmann::ordered_json toJson() const;
    static std::optional<ServiceState> fromJson(const nlohmann::json& json);
};

// The password digest kept for an account.
std::string passwordDigest(const std::string& password);

}  // namespace galvoria::devserver
