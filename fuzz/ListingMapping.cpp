// Any JSON as a listing or a creation response, decoded as the service client decodes it and mapped
// by the client and, beside it, by the rules written out plainly here; the two must agree field by
// field.

#include <algorithm>
#include <map>

#include "framework/JsonDecoding.hpp"
#include "fuzz/FuzzChecks.hpp"
#include "service/RecordMapping.hpp"

namespace galvoria::fuzz {
namespace {

// Inputs up to this size are also read by the JSON library's own parser, whose object insertion is
// linear in the members so far; larger ones only by the decoder.
constexpr std::size_t comparedInputBytes = 8192;

// The input as the service client decodes it. A small one must read exactly as the JSON library's
// own parser reads it (member order and duplicate keys included), unless it passes a limit.
std::optional<co::Value> parsed(std::string_view input, Finding& finding) {
    co::DecodedJson decoded = co::decodeJson(input);
    if (input.size() <= comparedInputBytes && decoded.failure != co::JsonFailure::tooDeep &&
        decoded.failure != co::JsonFailure::tooLarge) {
        const co::Value plain = co::Value::parse(input, nullptr, false);
        if (plain.is_discarded() != !decoded.ok() || (decoded.ok() && plain.dump() != decoded.value.dump())) {
            finding = "the decoder reads the input otherwise than the JSON library";
        }
    }
    if (!decoded.ok()) {
        return std::nullopt;
    }
    return std::move(decoded.value);
}

const co::Value* lookup(const co::Value* object, const char* key) {
    if (object == nullptr || !object->is_object() || !object->contains(key)) {
        return nullptr;
    }
    return &(*object)[key];
}

std::optional<std::string> asString(const co::Value* object, const char* key) {
    const co::Value* value = lookup(object, key);
    return value != nullptr && value->is_string() ? std::optional(value->get<std::string>()) : std::nullopt;
}

const co::Value* asObject(const co::Value* object, const char* key) {
    const co::Value* value = lookup(object, key);
    return value != nullptr && value->is_object() ? value : nullptr;
}

// true and false, and the integers 1 and 0.
bool asFlag(const co::Value* object, const char* key) {
    const co::Value* value = lookup(object, key);
    if (value == nullptr) {
        return false;
    }
    if (value->is_boolean()) {
        return value->get<bool>();
    }
    if (value->is_number_unsigned()) {
        return value->get<std::uint64_t>() == 1;
    }
    if (value->is_number_integer()) {
        return value->get<std::int64_t>() == 1;
    }
    return false;
}

// The entries of a listing: "data" as a non-empty array made only of objects.
std::vector<const co::Value*> entriesOf(const co::Value& map) {
    std::vector<const co::Value*> entries;
    const co::Value* data = lookup(&map, "data");
    if (data == nullptr || !data->is_array()) {
        return entries;
    }
    for (const auto& element : *data) {
        if (!element.is_object()) {
            return {};
        }
        entries.push_back(&element);
    }
    return entries;
}

bool named(const co::Value* entry) { return asString(entry, "id") && asString(entry, "name"); }

std::string describe(const char* kind, std::size_t index, const char* field) {
    return std::string(kind) + " " + std::to_string(index) + ": " + field + " differs";
}

Finding compareTeams(const co::Value& map) {
    const auto teams = mapTeams(map);
    std::size_t index = 0;
    for (const co::Value* entry : entriesOf(map)) {
        if (!named(entry)) {
            continue;
        }
        if (index >= teams.size()) {
            return "a team is missing";
        }
        const Team& team = teams[index];
        if (team.id != asString(entry, "id") || team.name != asString(entry, "name")) {
            return describe("team", index, "id or name");
        }
        if (team.ownerId != asString(asObject(entry, "owner"), "id").value_or("")) {
            return describe("team", index, "ownerId");
        }
        ++index;
    }
    return index == teams.size() ? Finding{} : Finding{"more teams than named entries"};
}

Finding compareWorkspaces(const co::Value& map) {
    const auto listing = mapWorkspaces(map);
    std::vector<WorkspaceSource> sources;
    std::size_t index = 0;
    for (const co::Value* entry : entriesOf(map)) {
        if (!named(entry)) {
            continue;
        }
        if (index >= listing.workspaces.size()) {
            return "a workspace is missing";
        }
        const Workspace& workspace = listing.workspaces[index];
        if (workspace.id != asString(entry, "id") || workspace.name != asString(entry, "name")) {
            return describe("workspace", index, "id or name");
        }
        const co::Value* acl = asObject(asObject(entry, "permissions"), "acl");
        if (workspace.hasCreateFolderPermissions != asFlag(acl, "workspace.folder.create") ||
            workspace.hasCreateProjectPermissions != asFlag(acl, "workspace.project.create")) {
            return describe("workspace", index, "create permissions");
        }
        bool review = false;
        bool workflow = false;
        if (const co::Value* features = lookup(entry, "plan_features"); features != nullptr && features->is_array()) {
            const bool allObjects =
                std::all_of(features->begin(), features->end(), [](const co::Value& f) { return f.is_object(); });
            for (const auto& feature : *features) {
                const auto id = asString(&feature, "id");
                review = review || (allObjects && id == "review");
                workflow = workflow || (allObjects && id == "workflow");
            }
        }
        if (workspace.hasFeatureReview != review || workspace.hasFeatureWorkflow != workflow) {
            return describe("workspace", index, "plan features");
        }
        const co::Value* owner = asObject(entry, "owner");
        const auto ownerId = asString(owner, "id");
        if (workspace.ownerId != ownerId.value_or("")) {
            return describe("workspace", index, "ownerId");
        }
        const bool known = std::any_of(sources.begin(), sources.end(),
                                       [&](const WorkspaceSource& source) { return source.id == ownerId; });
        if (ownerId && !known && asString(owner, "name")) {
            sources.push_back({*ownerId, *asString(owner, "name"), WorkspaceSource::Source::account});
        }
        if (workspace.teamId != asString(entry, "team_id")) {
            return describe("workspace", index, "teamId");
        }
        if (workspace.hasOwnerPermissions != asFlag(entry, "has_owner_permissions")) {
            return describe("workspace", index, "hasOwnerPermissions");
        }
        ++index;
    }
    if (index != listing.workspaces.size()) {
        return "more workspaces than named entries";
    }
    if (sources.size() != listing.accountSources.size()) {
        return "the account sources differ in number";
    }
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const auto& got = listing.accountSources[i];
        if (got.id != sources[i].id || got.name != sources[i].name || got.source != WorkspaceSource::Source::account) {
            return describe("account source", i, "id, name or case");
        }
    }
    return std::nullopt;
}

Finding compareFoldersAndProjects(const co::Value& map) {
    const auto folders = mapFolders(map);
    const auto projects = mapProjects(map);
    std::size_t index = 0;
    for (const co::Value* entry : entriesOf(map)) {
        if (!named(entry)) {
            continue;
        }
        if (index >= folders.size() || index >= projects.size()) {
            return "a folder or project is missing";
        }
        if (folders[index].id != asString(entry, "id") || folders[index].name != asString(entry, "name")) {
            return describe("folder", index, "id or name");
        }
        if (projects[index].id != asString(entry, "id") || projects[index].name != asString(entry, "name")) {
            return describe("project", index, "id or name");
        }
        if (projects[index].folderId != asString(entry, "folder_id")) {
            return describe("project", index, "folderId");
        }
        ++index;
    }
    if (index != folders.size() || index != projects.size()) {
        return "more folders or projects than named entries";
    }
    return std::nullopt;
}

}  // namespace

Finding checkListingMapping(std::string_view input) {
    Finding decoding;
    const auto map = parsed(input, decoding);
    if (decoding || !map) {
        return decoding;
    }
    try {
        if (auto finding = compareTeams(*map)) {
            return finding;
        }
        if (auto finding = compareWorkspaces(*map)) {
            return finding;
        }
        return compareFoldersAndProjects(*map);
    } catch (const std::exception& error) {
        return std::string("mapping a listing threw: ") + error.what();
    }
}

Finding checkCreationResult(std::string_view input) {
    Finding decoding;
    const auto map = parsed(input, decoding);
    if (decoding || !map) {
        return decoding;
    }
    try {
        const auto result = creationResult(*map);
        std::map<std::string, std::string> expected;
        const co::Value* data = asObject(&*map, "data");
        if (auto id = asString(data, "id")) {
            expected["id"] = *id;
        }
        if (auto name = asString(data, "name")) {
            expected["name"] = *name;
        }
        if (result != expected) {
            return "the creation result differs from the string \"id\" and \"name\" of \"data\"";
        }
        const std::string printed = printedResult(result);
        if (result.empty() != (printed == "[:]") || printed.front() != '[' || printed.back() != ']') {
            return "the printed result is not in square brackets: " + printed;
        }
        for (const auto& [key, value] : result) {
            if (printed.find(key + ": " + value) == std::string::npos) {
                return "the printed result lacks " + key;
            }
        }
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string("mapping a creation result threw: ") + error.what();
    }
}

}  // namespace galvoria::fuzz
