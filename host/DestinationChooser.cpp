#include "host/DestinationChooser.hpp"

#include "host/CommandOutput.hpp"
#include "host/Terminal.hpp"

namespace galvoria::host {
using terminal::visible;
namespace {

const ChoiceKind sourceKind{"account or team", "accounts and teams"};
const ChoiceKind workspaceKind{"workspace", "workspaces"};
const ChoiceKind folderKind{"folder", "folders"};
const ChoiceKind projectKind{"project", "projects"};

// Fills the publish options from the flags, asking at the terminal for what they leave open.
class DestinationChooser {
public:
    DestinationChooser(PublishOptionsForm& form, const PublishOptions& options, bool interactive)
        : form_(form), options_(options), interactive_(interactive) {}

    std::optional<Stop> choose() {
        auto stop = chooseSourceAndWorkspace();
        if (!stop) stop = chooseFolder();
        if (!stop) stop = chooseProject();
        // A list that could not be had reads as an empty one: the plugin's reason comes first.
        if (const auto problem = form_.labelText(options::listingProblemLabel)) {
            return Stop{exitFailure, visible(*problem)};
        }
        return stop;
    }

    [[nodiscard]] const Destination& destination() const { return destination_; }
    [[nodiscard]] Destination& destination() { return destination_; }

private:
    std::optional<Stop> chooseSourceAndWorkspace() {
        const auto sources = form_.choices(options::sourceList);
        if (sources.empty()) {
            return Stop{exitFailure, "galvoria lists no account or team for this login"};
        }
        if (options_.source) {
            const auto found = resolveChoice(sources, *options_.source, sourceKind, "for this login");
            if (!found.index) return Stop{exitFailure, found.problem};
            pick(options::sourceList, sources[*found.index], destination_.source);
        } else if (sources.size() == 1) {
            pick(options::sourceList, sources.front(), destination_.source);
        } else if (options_.workspace) {
            return findWorkspaceInAnySource(sources);
        } else if (interactive_) {
            const auto index = menu("Account or team", sources, std::nullopt);
            if (!index) return noAnswer();
            pick(options::sourceList, sources[*index], destination_.source);
        } else {
            return Stop{exitUsage, "missing --workspace"};
        }
        return chooseWorkspace();
    }

    // Without --source, a workspace is looked for in every account and team.
    std::optional<Stop> findWorkspaceInAnySource(const std::vector<Choice>& sources) {
        std::vector<Choice> workspaces;
        std::vector<std::size_t> owners;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            form_.set(options::sourceList, sources[i].value);
            for (auto& workspace : form_.choices(options::workspaceList)) {
                workspaces.push_back(std::move(workspace));
                owners.push_back(i);
            }
        }
        const auto found = resolveChoice(workspaces, *options_.workspace, workspaceKind, "in any account or team");
        if (!found.index) return Stop{exitFailure, found.problem};
        pick(options::sourceList, sources[owners[*found.index]], destination_.source);
        pick(options::workspaceList, workspaces[*found.index], destination_.workspace);
        return std::nullopt;
    }

    std::optional<Stop> chooseWorkspace() {
        const auto workspaces = form_.choices(options::workspaceList);
        const std::string where = "in " + visible(destination_.source->title);
        if (options_.workspace) {
            const auto found = resolveChoice(workspaces, *options_.workspace, workspaceKind, where);
            if (!found.index) return Stop{exitFailure, found.problem};
            pick(options::workspaceList, workspaces[*found.index], destination_.workspace);
            return std::nullopt;
        }
        if (workspaces.empty()) {
            return Stop{exitFailure, visible(destination_.source->title) + " has no workspace to publish to"};
        }
        const auto index = menu("Workspace", workspaces, std::nullopt);
        if (!index) return noAnswer();
        pick(options::workspaceList, workspaces[*index], destination_.workspace);
        return std::nullopt;
    }

    // One level of the tree below the workspace: a list of existing entries, its create-new entry
    // and the name field that entry brings, the flags that name an entry or a new one, and where the
    // choice is kept.
    struct ListLevel {
        std::string_view list;
        std::string_view nameField;
        ChoiceKind kind;
        std::string_view menuTitle;
        std::string_view namePrompt;
        std::string_view useFlag;
        const std::optional<std::string>* existing;
        const std::optional<std::string>* newName;
        std::optional<Choice>* chosen;
        std::optional<std::string>* created;
    };

    std::optional<Stop> chooseFolder() {
        return chooseInList(
            {options::folderList, options::newFolder, folderKind, "Folder", "New folder name: ", "--folder",
             &options_.folder, &options_.newFolder, &destination_.folder, &destination_.newFolder},
            "in " + visible(destination_.workspace->title));
    }

    std::optional<Stop> chooseProject() {
        if (!form_.shows(options::projectList)) {
            // A folder still to be created has no projects: only a new project's name is asked for.
            if (options_.project) {
                return Stop{exitUsage,
                            "--project names a project of an existing folder; a new folder has none yet "
                            "(use --new-project NAME)"};
            }
            std::optional<std::string> name = options_.newProject;
            if (!name) {
                name = askName("New project name: ");
                if (!name) return noAnswer();
            }
            form_.set(options::newProject, *name);
            destination_.newProject = *name;
            return std::nullopt;
        }
        const std::string where =
            "in " + visible(destination_.folder ? destination_.folder->title : destination_.workspace->title);
        return chooseInList(
            {options::projectList, options::newProject, projectKind, "Project", "New project name: ", "--project",
             &options_.project, &options_.newProject, &destination_.project, &destination_.newProject},
            where);
    }

    // The entry its flag names, a new one its flag names, or one chosen from a menu (or created under
    // a name asked for).
    std::optional<Stop> chooseInList(const ListLevel& level, const std::string& where) {
        const auto entries = form_.choices(level.list);
        if (*level.newName) {
            return createEntry(level, entries, **level.newName);
        }
        if (*level.existing) {
            const auto found = resolveChoice(entries, **level.existing, level.kind, where);
            if (!found.index) return Stop{exitFailure, found.problem};
            pick(level.list, entries[*found.index], *level.chosen);
            return std::nullopt;
        }
        const auto index = menu(level.menuTitle, entries, form_.createEntry(level.list));
        if (!index) return noAnswer();
        if (*index == entries.size()) {
            const auto name = askName(level.namePrompt);
            if (!name) return noAnswer();
            return createEntry(level, entries, *name);
        }
        pick(level.list, entries[*index], *level.chosen);
        return std::nullopt;
    }

    // A new entry of that name, unless one of the list has it already.
    std::optional<Stop> createEntry(const ListLevel& level, const std::vector<Choice>& entries,
                                    const std::string& name) {
        if (auto stop = refuseDuplicate(entries, name, level.kind, level.useFlag)) return stop;
        createNew(level.list, level.nameField, name);
        *level.created = name;
        return std::nullopt;
    }

    // A second folder or project of the same name would make that name ambiguous from then on.
    [[nodiscard]] std::optional<Stop> refuseDuplicate(const std::vector<Choice>& existing, const std::string& name,
                                                      ChoiceKind kind, std::string_view useFlag) const {
        if (options_.allowDuplicate) {
            return std::nullopt;
        }
        for (const auto& choice : existing) {
            if (choice.title == name) {
                return Stop{exitFailure, "a " + std::string(kind.one) + " \"" + visible(name) + "\" already exists: " +
                                             describe(choice) + "\n  Publish to it with " + std::string(useFlag) + " " +
                                             visible(choice.value) + ", or give --allow-duplicate to create another"};
            }
        }
        return std::nullopt;
    }

    void pick(std::string_view list, const Choice& choice, std::optional<Choice>& into) {
        form_.set(list, choice.value);
        into = choice;
    }

    // The list's "+ Create New ..." entry, then the name field it brings.
    void createNew(std::string_view list, std::string_view nameField, const std::string& name) {
        form_.set(list, std::string(options::createNewValue));
        form_.set(nameField, name);
    }

    // A numbered menu of the choices, with the create-new entry last when there is one. The
    // index equals choices.size() for that entry.
    std::optional<std::size_t> menu(std::string_view title, const std::vector<Choice>& choices,
                                    const std::optional<Choice>& create) {
        if (!interactive_) {
            return std::nullopt;
        }
        std::vector<std::string> entries;
        for (const auto& choice : choices) {
            entries.push_back(choice.title);
        }
        if (create) {
            entries.push_back(create->title);
        }
        if (entries.empty()) {
            return std::nullopt;
        }
        return terminal::chooseFromMenu(title, entries);
    }

    std::optional<std::string> askName(std::string_view question) {
        if (!interactive_) {
            return std::nullopt;
        }
        for (;;) {
            auto name = terminal::prompt(question);
            if (!name || !name->empty()) {
                return name;
            }
            terminal::err("A name is needed.\n");
        }
    }

    static std::optional<Stop> noAnswer() { return Stop{exitUsage, "no destination was chosen"}; }

    PublishOptionsForm& form_;
    const PublishOptions& options_;
    const bool interactive_;
    Destination destination_;
};

}  // namespace

std::string Destination::summary() const {
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : " › ") + part; };
    if (source) add(visible(source->title));
    if (workspace) add(visible(workspace->title));
    if (folder) add(visible(folder->title));
    if (newFolder) add("new folder \"" + visible(*newFolder) + "\"");
    if (project) add(visible(project->title));
    if (newProject) add("new project \"" + visible(*newProject) + "\"");
    return text;
}

co::Value Destination::json() const {
    co::Value out = co::Value::object();
    auto chosen = [](const Choice& choice) { return co::Value{{"id", choice.value}, {"name", choice.title}}; };
    if (source) out["source"] = chosen(*source);
    if (workspace) out["workspace"] = chosen(*workspace);
    if (folder) out["folder"] = chosen(*folder);
    if (newFolder) out["folder"] = {{"new", *newFolder}};
    if (newFolder && createdFolderId) out["folder"]["id"] = *createdFolderId;
    if (project) out["project"] = chosen(*project);
    if (newProject) out["project"] = {{"new", *newProject}};
    if (newProject && createdProjectId) out["project"]["id"] = *createdProjectId;
    return out;
}

ChosenDestination chooseDestination(PublishOptionsForm& form, const PublishOptions& options, bool interactive) {
    DestinationChooser chooser(form, options, interactive);
    auto stop = chooser.choose();
    return {chooser.destination(), std::move(stop)};
}

}  // namespace galvoria::host
