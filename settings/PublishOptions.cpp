#include "settings/PublishOptions.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/Log.hpp"
#include "settings/OptionChain.hpp"
#include "settings/SourceOrder.hpp"
#include "vocabulary/ItemIdentifiers.hpp"
#include "vocabulary/PublishAction.hpp"
#include "vocabulary/VelbrookError.hpp"

namespace galvoria::settings {
namespace {

constexpr const char* notLoggedInText =
    "You\u2019re not logged in. Please go to the plugin settings and log in to your galvoria account.";
// Options before the listed entries of the folder and project lists: "Select ..." and "+ Create New ...".
constexpr std::size_t fixedEntryCount = 2;

// What the lists below the source list offer for the current choices, and why a listing they
// needed failed (the first that did, as the person should read it).
struct ListedEntries {
    std::vector<Workspace> workspaces;
    std::vector<Folder> folders;
    std::vector<Project> projects;
    std::optional<std::string> problem;
};

// A refusal's own text as one line of a label: control characters become spaces, and a long text
// is cut.
std::string serviceWords(const std::string& message) {
    constexpr std::size_t limit = 200;  // characters
    std::string text;
    std::size_t characters = 0;
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        const bool continuation = (byte & 0xC0U) == 0x80U;
        if (!continuation && ++characters > limit) {
            return text + "\u2026";
        }
        text += byte < 0x20U || byte == 0x7FU ? ' ' : c;
    }
    return text;
}

// What the person reads about a failed listing of `what` ("teams", "folders", ...).
std::string problemText(const ListingProblem& problem, const std::string& what) {
    using Kind = ListingProblem::Kind;
    if (problem.kind == Kind::noAnswer) {
        return "galvoria could not be reached. Check the connection and try again.";
    }
    // The service's own word for an expired token says nothing about what to do.
    if (problem.kind == Kind::refused && problem.status == 401) {
        return "Your galvoria session has expired. Log out and log in again.";
    }
    if (problem.kind == Kind::refused) {
        return "galvoria could not list your " + what + ": " +
               (problem.message.empty() ? "status " + std::to_string(problem.status) + "."
                                        : serviceWords(problem.message));
    }
    return "galvoria sent a list of your " + what + " that could not be read.";
}

// Notes the first failed listing of this build of the options.
void noteProblem(const Network& network, ListedEntries& listed, const std::string& what) {
    if (listed.problem) {
        return;
    }
    if (const auto problem = network.lastListingProblem()) {
        listed.problem = problemText(*problem, what);
    }
}

// Fills the caches that are still empty and lists what the choices lead to. Folders and projects
// are requested only for a workspace of the selected source, projects only once one of its listed
// folders is chosen; a stored listing, even an empty one, is never requested again. A failed
// listing is not stored, so that the next build asks again.
ListedEntries loadListings(const Network& network, ListingCaches& caches, const co::Value& settings) {
    ListedEntries listed;
    if (caches.teams.empty()) {
        caches.teams = network.getTeams();
        noteProblem(network, listed, "teams");
        for (const auto& team : caches.teams) {
            caches.workspaceSources.push_back({team.id, team.name, WorkspaceSource::Source::team});
        }
    }
    if (caches.workspaces.empty()) {
        auto listing = network.getWorkspaces();
        noteProblem(network, listed, "workspaces");
        caches.workspaces = std::move(listing.workspaces);
        for (auto& source : listing.accountSources) {
            caches.workspaceSources.push_back(std::move(source));
        }
    }
    sortWorkspaceSources(caches.workspaceSources);

    listed.workspaces = candidateWorkspaces(caches.workspaces, stringSetting(settings, options::sourceList));

    const auto workspaceId = stringSetting(settings, options::workspaceList);
    const bool workspaceOffered =
        workspaceId && std::any_of(listed.workspaces.begin(), listed.workspaces.end(),
                                   [&](const Workspace& workspace) { return workspace.id == *workspaceId; });
    if (!workspaceOffered) {
        return listed;
    }
    if (const auto folders = caches.folders.find(*workspaceId); folders != caches.folders.end()) {
        listed.folders = folders->second;
    } else {
        listed.folders = network.getFolders(*workspaceId);
        noteProblem(network, listed, "folders");
        if (!network.lastListingProblem()) {
            caches.folders.emplace(*workspaceId, listed.folders);
        }
    }

    const auto folderId = stringSetting(settings, options::folderList);
    const bool folderOffered = folderId && std::any_of(listed.folders.begin(), listed.folders.end(),
                                                       [&](const Folder& folder) { return folder.id == *folderId; });
    if (!folderOffered) {
        return listed;
    }
    auto projects = caches.projects.find(*workspaceId);
    if (projects == caches.projects.end()) {
        auto listing = network.getProjects(*workspaceId);
        noteProblem(network, listed, "projects");
        if (network.lastListingProblem()) {
            return listed;
        }
        projects = caches.projects.emplace(*workspaceId, std::move(listing)).first;
    }
    listed.projects = projectsInFolder(projects->second, *folderId);
    return listed;
}

void appendElement(co::COSettingsElementsGroup& group, co::ItemPtr element) {
    auto elements = group.elements();
    elements.push_back(std::move(element));
    group.setElements(std::move(elements));
}

void appendOption(co::COSettingsListItem& list, std::string value, std::string title) {
    auto options = list.options();
    options.push_back(std::make_shared<const co::COSettingsListOption>(co::Value(std::move(value)), std::move(title)));
    list.setOptions(std::move(options));
}

// Puts the separator between the fixed entries and the listed ones, when any are listed.
void separateListedEntries(co::COSettingsListItem& list) {
    auto options = list.options();
    if (options.size() <= fixedEntryCount) {
        return;
    }
    options.insert(options.begin() + static_cast<std::ptrdiff_t>(fixedEntryCount),
                   co::COSettingsListOption::separator());
    list.setOptions(std::move(options));
}

// A list's value is the host's entry under its identifier, of whatever type, or none.
std::shared_ptr<co::COSettingsListItem> makeList(const co::Value& settings, std::string_view identifier,
                                                 std::string title) {
    auto list = std::make_shared<co::COSettingsListItem>();
    list->setTitle(std::move(title));
    list->setIdentifier(std::string(identifier));
    list->setValue(anySetting(settings, identifier));
    return list;
}

// A name field shows the host's string under its identifier, else the empty string.
co::ItemPtr makeNameField(const co::Value& settings, std::string_view identifier, std::string title) {
    auto field = std::make_shared<co::COSettingsTextItem>();
    field->setTitle(std::move(title));
    field->setIdentifier(std::string(identifier));
    field->setValue(co::Value(stringSetting(settings, identifier).value_or(std::string{})));
    return field;
}

co::ItemPtr makeLabel(std::string_view identifier, std::string value) {
    auto label = std::make_shared<co::COSettingsLabelItem>();
    label->setIdentifier(std::string(identifier));
    label->setValue(co::Value(std::move(value)));
    return label;
}

// All entries in one read and write back of the list's options: appending them one by one would
// copy the growing list for every entry, which grows with the square of a long listing.
template <typename Entry>
void appendEntries(co::COSettingsListItem& list, const std::vector<Entry>& entries) {
    auto options = list.options();
    options.reserve(options.size() + entries.size());
    for (const auto& entry : entries) {
        options.push_back(std::make_shared<const co::COSettingsListOption>(co::Value(entry.id), entry.name));
    }
    list.setOptions(std::move(options));
}

co::GroupPtr buildGroup(const Preferences& preferences, const ListingCaches& caches, const ListedEntries& listed,
                        const co::Value& settings) {
    auto group = std::make_shared<co::COSettingsElementsGroup>();
    group->setIdentifier(bundleIdentifierOrFallback() + ".publishOptions");
    group->setTitle("galvoria");

    if (!preferences.isLoggedIn()) {
        appendElement(*group, makeLabel(options::notLoggedInLabel, notLoggedInText));
        return group;
    }
    const bool newFolder = isNewFolderState(settings, preferences.lastCreatedFolder().has_value());
    const bool newProject = isNewProjectState(settings, preferences.lastCreatedProject().has_value());

    auto sources = makeList(settings, options::sourceList, "Account");
    appendEntries(*sources, caches.workspaceSources);
    appendElement(*group, sources);

    auto workspaces = makeList(settings, options::workspaceList, "Workspace");
    appendOption(*workspaces, std::string(options::placeholderValue), "Select Workspace");
    appendEntries(*workspaces, listed.workspaces);
    appendElement(*group, workspaces);

    auto folders = makeList(settings, options::folderList, "Folder");
    appendOption(*folders, std::string(options::placeholderValue), "Select Folder");
    appendOption(*folders, std::string(options::createNewValue), "+ Create New Folder");
    appendEntries(*folders, listed.folders);
    separateListedEntries(*folders);
    appendElement(*group, folders);

    if (newFolder) {
        appendElement(*group, makeNameField(settings, options::newFolder, "New Folder"));
    } else {
        auto projects = makeList(settings, options::projectList, "Projects");
        appendOption(*projects, std::string(options::placeholderValue), "Select Project");
        appendOption(*projects, std::string(options::createNewValue), "+ Create New Project");
        appendEntries(*projects, listed.projects);
        separateListedEntries(*projects);
        appendElement(*group, projects);
        if (!newProject) {
            return group;
        }
    }
    appendElement(*group, makeNameField(settings, options::newProject, "New Project"));
    appendElement(*group, makeLabel(options::spacer1, " "));
    appendElement(*group, makeLabel(options::spacer2, " "));
    return group;
}

}  // namespace

std::vector<co::GroupPtr> publishOptions(const Network& network, const Preferences& preferences, ListingCaches& caches,
                                         const co::ActionPtr& action, const co::Value& settings) {
    platform::log::line("Settings: " + logText(settings));
    const ListedEntries listed = loadListings(network, caches, settings);
    if (!isPublishAction(action)) {
        return {};
    }
    auto group = buildGroup(preferences, caches, listed, settings);
    // Last, so that every element of the normal state keeps its place.
    if (listed.problem && preferences.isLoggedIn()) {
        appendElement(*group, makeLabel(options::listingProblemLabel, *listed.problem));
    }
    return {group};
}

bool didUpdateOptionValue(Preferences& preferences, const co::Value& value, const std::string& setting,
                          std::uint64_t* callbackAction) {
    if (setting == options::folderList) {
        preferences.forgetLastCreatedFolder();
    } else if (setting == options::projectList) {
        preferences.forgetLastCreatedProject();
    }
    platform::log::line("didUpdateValue: " + logText(value) + " forKey: " + setting);
    if (callbackAction != nullptr) {
        *callbackAction = co::COActionSettingsCallbackRefresh;
    }
    return true;
}

bool validatePublishOptions(const Preferences& preferences, const co::Value& settings, const co::ActionPtr& action,
                            co::ErrorOut error) {
    if (!isPublishAction(action)) {
        return true;
    }
    if (const auto invalid = firstInvalidSetting(settings, preferences.isLoggedIn())) {
        VelbrookError::invalidActionSettings(*invalid, action).report(error);
        return false;
    }
    return true;
}

}  // namespace galvoria::settings
