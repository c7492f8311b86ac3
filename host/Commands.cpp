#include "host/Commands.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <utility>

#include "host/FileOutcomes.hpp"
#include "host/Interrupts.hpp"
#include "host/ProgressDisplay.hpp"
#include "host/PublishOptionsForm.hpp"
#include "host/Terminal.hpp"
#include "platform/PreferenceStore.hpp"
#include "plugin/Preferences.hpp"

namespace galvoria::host {
namespace fs = std::filesystem;

namespace {

// The account panel's items.
namespace panel {
constexpr std::string_view username = "username-item";
constexpr std::string_view password = "password-item";
constexpr std::string_view login = "login-item";
constexpr std::string_view logout = "logout-item";
constexpr std::string_view loggedIn = "logged-in-item";
constexpr std::string_view loggedInPrefix = "You are logged in as ";
}  // namespace panel

constexpr std::string_view completedMessage = "Publishing completed!";

const ChoiceKind sourceKind{"account or team", "accounts and teams"};
const ChoiceKind workspaceKind{"workspace", "workspaces"};
const ChoiceKind folderKind{"folder", "folders"};
const ChoiceKind projectKind{"project", "projects"};

std::string serviceOrigin() { return GALVORIA_SERVICE_URL; }

// The service's page of a project's library, as the plugin links it.
std::string libraryLink(const std::string& projectId) { return serviceOrigin() + "/project/" + projectId + "/library"; }

void failWith(std::string_view text) { terminal::err("galvoria-host: " + std::string(text) + "\n"); }

// The plugin's error as it gives it: its description, then its failure reason.
std::string errorText(const co::Error& error, std::string_view fallback) {
    const std::string description = error.localizedDescription();
    const std::string reason = error.localizedFailureReason();
    if (description.empty() && reason.empty()) {
        return std::string(fallback);
    }
    return reason.empty() ? description : description + "\n  " + reason;
}

co::Value errorJson(const co::Error& error) {
    return {{"description", error.localizedDescription()}, {"failureReason", error.localizedFailureReason()}};
}

void printJson(const co::Value& document) {
    terminal::out(document.dump(2, ' ', false, co::Value::error_handler_t::replace) + "\n");
}

// The account panel as the plugin builds it now; no groups when it builds none.
std::vector<co::GroupPtr> accountPanel(PluginSession& session) {
    co::Error ignored;
    return session.settings(&ignored).value_or(std::vector<co::GroupPtr>{});
}

// Who the panel says is logged in; no value while it shows the login form.
std::optional<std::string> loggedInAccount(const std::vector<co::GroupPtr>& groups) {
    const auto label = findItem(groups, panel::loggedIn);
    if (!label) {
        return std::nullopt;
    }
    std::string text = valueText(*label);
    if (text.starts_with(panel::loggedInPrefix)) {
        text.erase(0, panel::loggedInPrefix.size());
    }
    return text;
}

// ---- Publishing: where the files go ----------------------------------------------------------

// A text from the service as the terminal may show it: control characters (C0, DEL and the C1
// range, which holds a one-character escape sequence opener) become spaces.
std::string withoutControls(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
        if (byte < 0x20 || byte == 0x7F) {
            out += ' ';
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += ' ';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// What the person chose, for the summary and the JSON report.
struct Destination {
    std::optional<Choice> source;
    std::optional<Choice> workspace;
    std::optional<Choice> folder;
    std::optional<std::string> newFolder;
    std::optional<Choice> project;
    std::optional<std::string> newProject;
    // The identifiers of the folder and project the publish created, once it has.
    std::optional<std::string> createdFolderId;
    std::optional<std::string> createdProjectId;

    [[nodiscard]] std::optional<std::string> projectId() const {
        return project ? std::optional<std::string>(project->value) : createdProjectId;
    }

    [[nodiscard]] std::string summary() const {
        std::string text;
        auto add = [&text](const std::string& part) { text += (text.empty() ? "" : " › ") + part; };
        if (source) add(source->title);
        if (workspace) add(workspace->title);
        if (folder) add(folder->title);
        if (newFolder) add("new folder \"" + *newFolder + "\"");
        if (project) add(project->title);
        if (newProject) add("new project \"" + *newProject + "\"");
        return text;
    }

    [[nodiscard]] co::Value json() const {
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
};

// A step of the choice that could not be made: a usage problem (exit 2) or a refusal (exit 1).
struct Stop {
    int status;
    std::string text;
};

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
        if (const auto problem = form_.labelText(items::listingProblem)) {
            return Stop{exitFailure, withoutControls(*problem)};
        }
        return stop;
    }

    [[nodiscard]] const Destination& destination() const { return destination_; }
    [[nodiscard]] Destination& destination() { return destination_; }

private:
    std::optional<Stop> chooseSourceAndWorkspace() {
        const auto sources = form_.choices(items::source);
        if (sources.empty()) {
            return Stop{exitFailure, "galvoria lists no account or team for this login"};
        }
        if (options_.source) {
            const auto found = resolveChoice(sources, *options_.source, sourceKind, "for this login");
            if (!found.index) return Stop{exitFailure, found.problem};
            pick(items::source, sources[*found.index], destination_.source);
        } else if (sources.size() == 1) {
            pick(items::source, sources.front(), destination_.source);
        } else if (options_.workspace) {
            return findWorkspaceInAnySource(sources);
        } else if (interactive_) {
            const auto index = menu("Account or team", sources, std::nullopt);
            if (!index) return noAnswer();
            pick(items::source, sources[*index], destination_.source);
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
            form_.set(items::source, sources[i].value);
            for (auto& workspace : form_.choices(items::workspace)) {
                workspaces.push_back(std::move(workspace));
                owners.push_back(i);
            }
        }
        const auto found = resolveChoice(workspaces, *options_.workspace, workspaceKind, "in any account or team");
        if (!found.index) return Stop{exitFailure, found.problem};
        pick(items::source, sources[owners[*found.index]], destination_.source);
        pick(items::workspace, workspaces[*found.index], destination_.workspace);
        return std::nullopt;
    }

    std::optional<Stop> chooseWorkspace() {
        const auto workspaces = form_.choices(items::workspace);
        const std::string where = "in " + destination_.source->title;
        if (options_.workspace) {
            const auto found = resolveChoice(workspaces, *options_.workspace, workspaceKind, where);
            if (!found.index) return Stop{exitFailure, found.problem};
            pick(items::workspace, workspaces[*found.index], destination_.workspace);
            return std::nullopt;
        }
        if (workspaces.empty()) {
            return Stop{exitFailure, destination_.source->title + " has no workspace to publish to"};
        }
        const auto index = menu("Workspace", workspaces, std::nullopt);
        if (!index) return noAnswer();
        pick(items::workspace, workspaces[*index], destination_.workspace);
        return std::nullopt;
    }

    std::optional<Stop> chooseFolder() {
        const auto folders = form_.choices(items::folder);
        if (options_.newFolder) {
            if (auto stop = refuseDuplicate(folders, *options_.newFolder, folderKind, "--folder")) return stop;
            createNew(items::folder, items::newFolder, *options_.newFolder);
            destination_.newFolder = *options_.newFolder;
            return std::nullopt;
        }
        if (options_.folder) {
            const auto found =
                resolveChoice(folders, *options_.folder, folderKind, "in " + destination_.workspace->title);
            if (!found.index) return Stop{exitFailure, found.problem};
            pick(items::folder, folders[*found.index], destination_.folder);
            return std::nullopt;
        }
        const auto create = form_.createEntry(items::folder);
        const auto index = menu("Folder", folders, create);
        if (!index) return noAnswer();
        if (*index == folders.size()) {
            const auto name = askName("New folder name: ");
            if (!name) return noAnswer();
            if (auto stop = refuseDuplicate(folders, *name, folderKind, "--folder")) return stop;
            createNew(items::folder, items::newFolder, *name);
            destination_.newFolder = *name;
            return std::nullopt;
        }
        pick(items::folder, folders[*index], destination_.folder);
        return std::nullopt;
    }

    std::optional<Stop> chooseProject() {
        if (!form_.shows(items::project)) {
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
            form_.set(items::newProject, *name);
            destination_.newProject = *name;
            return std::nullopt;
        }
        const auto projects = form_.choices(items::project);
        if (options_.newProject) {
            if (auto stop = refuseDuplicate(projects, *options_.newProject, projectKind, "--project")) return stop;
            createNew(items::project, items::newProject, *options_.newProject);
            destination_.newProject = *options_.newProject;
            return std::nullopt;
        }
        const std::string where =
            "in " + (destination_.folder ? destination_.folder->title : destination_.workspace->title);
        if (options_.project) {
            const auto found = resolveChoice(projects, *options_.project, projectKind, where);
            if (!found.index) return Stop{exitFailure, found.problem};
            pick(items::project, projects[*found.index], destination_.project);
            return std::nullopt;
        }
        const auto create = form_.createEntry(items::project);
        const auto index = menu("Project", projects, create);
        if (!index) return noAnswer();
        if (*index == projects.size()) {
            const auto name = askName("New project name: ");
            if (!name) return noAnswer();
            if (auto stop = refuseDuplicate(projects, *name, projectKind, "--project")) return stop;
            createNew(items::project, items::newProject, *name);
            destination_.newProject = *name;
            return std::nullopt;
        }
        pick(items::project, projects[*index], destination_.project);
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
                return Stop{exitFailure, "a " + std::string(kind.one) + " \"" + name + "\" already exists: " +
                                             describe(choice) + "\n  Publish to it with " + std::string(useFlag) + " " +
                                             choice.value + ", or give --allow-duplicate to create another"};
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
        form_.set(list, std::string(items::createNewValue));
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

// ---- Publishing: sending the files ------------------------------------------------------------

std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first few names, then how many more: a long list would fill the terminal.
std::string joined(const std::vector<std::string>& names) {
    constexpr std::size_t shown = 5;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < shown; ++i) {
        text += (text.empty() ? "" : ", ") + names[i];
    }
    if (names.size() > shown + 1) {
        text += " and " + std::to_string(names.size() - shown) + " more";
    } else if (names.size() == shown + 1) {
        text += ", " + names.back();
    }
    return text;
}

struct TaskOutcome {
    enum class Kind { completed, partial, failed, interrupted, cancelled } kind = Kind::failed;
    co::PublishResultPtr result;
    co::Error error;
    std::vector<FileOutcome> files;  // every file of the task, in order
    // The text before the list of files left out, when the plugin's text had one ("Published 1
    // of 3 files. Not published:").
    std::optional<std::string> failureHeadline;

    [[nodiscard]] std::vector<std::string> named(std::initializer_list<FileStatus> statuses) const {
        std::vector<std::string> names;
        for (const auto& file : files) {
            if (std::find(statuses.begin(), statuses.end(), file.status) != statuses.end()) {
                names.push_back(file.name);
            }
        }
        return names;
    }
    // The files the plugin went through, whatever became of them.
    [[nodiscard]] std::vector<std::string> processed() const {
        return named({FileStatus::published, FileStatus::notPublished, FileStatus::sent});
    }
    // Some file is in the project, or may be: the plugin did not say otherwise.
    [[nodiscard]] bool anyArrived() const { return !named({FileStatus::published, FileStatus::sent}).empty(); }
};

std::string_view kindName(TaskOutcome::Kind kind) {
    switch (kind) {
        case TaskOutcome::Kind::completed:
            return "completed";
        case TaskOutcome::Kind::partial:
            return "partial";
        case TaskOutcome::Kind::failed:
            return "failed";
        case TaskOutcome::Kind::interrupted:
            return "interrupted";
        case TaskOutcome::Kind::cancelled:
            return "cancelled";
    }
    return "failed";
}

// Where a publish shows its progress. A bar goes to the terminal: standard output, or standard
// error when standard output is captured (link=$(galvoria-host publish ...) still shows the bar).
// Without a terminal, one plain line per file; with --json those go to standard error, as
// standard output then carries only the document.
struct ProgressChannel {
    ProgressDisplay::Style style;
    ProgressDisplay::Writer writer;
    std::function<int()> width;
};

ProgressChannel progressChannel(const PublishOptions& options) {
    if (options.quiet) {
        return {ProgressDisplay::Style::none, terminal::out, nullptr};
    }
    if (!options.json && terminal::outputIsTerminal()) {
        return {ProgressDisplay::Style::bar, terminal::out, terminal::columns};
    }
    if (terminal::errorIsTerminal()) {
        return {ProgressDisplay::Style::bar, terminal::err, terminal::errorColumns};
    }
    return {ProgressDisplay::Style::lines, options.json ? ProgressDisplay::Writer(terminal::err) : terminal::out,
            nullptr};
}

// The plugin's text before its list of the files left out, up to the colon.
std::string headlineOf(const std::string& text) { return text.substr(0, text.find(": ") + 1); }

// Each file's outcome from what the plugin answered: the files its text names as left out, with
// their reasons; the others published. `processed` files were gone through by the plugin.
void settleFiles(TaskOutcome& outcome, std::size_t processed) {
    std::vector<std::string> names;
    for (const auto& file : outcome.files) {
        names.push_back(file.name);
    }
    auto markRead = [&outcome, &names](const std::string& text) {
        const auto failed = failedFilesIn(text, names);
        if (!failed) {
            return false;
        }
        for (auto& file : outcome.files) {
            file.status = FileStatus::published;
        }
        for (const auto& entry : *failed) {
            outcome.files[entry.index].status = FileStatus::notPublished;
            outcome.files[entry.index].reason = entry.reason;
        }
        return true;
    };
    auto markProcessed = [&outcome, processed](FileStatus status) {
        for (std::size_t i = 0; i < outcome.files.size() && i < processed; ++i) {
            outcome.files[i].status = status;
        }
    };
    switch (outcome.kind) {
        case TaskOutcome::Kind::completed:
            markProcessed(FileStatus::published);
            break;
        case TaskOutcome::Kind::partial: {
            const std::string message = outcome.result->message().value_or("");
            if (markRead(message)) {
                outcome.failureHeadline = headlineOf(message);
            } else {
                markProcessed(FileStatus::sent);  // a text of another form: the outcome stays untold
            }
            break;
        }
        case TaskOutcome::Kind::failed: {
            const std::string reason = outcome.error.localizedFailureReason();
            if (markRead(reason)) {
                outcome.failureHeadline = headlineOf(reason);
            } else {
                // A creation or a refusal stops the task before any file; otherwise every file
                // that was gone through failed.
                markProcessed(FileStatus::notPublished);
            }
            break;
        }
        case TaskOutcome::Kind::interrupted:
        case TaskOutcome::Kind::cancelled:
            markProcessed(FileStatus::sent);
            break;
    }
}

TaskOutcome runTask(PluginSession& session, const co::TaskPtr& task, const PublishOptions& options) {
    std::vector<PublishedFile> files;
    TaskOutcome outcome;
    for (const auto& path : task->files().value_or(std::vector<std::string>{})) {
        std::error_code ignored;
        const auto bytes = fs::file_size(path, ignored);
        files.push_back({lastPathComponent(path), ignored ? 0 : static_cast<std::uint64_t>(bytes)});
        outcome.files.push_back({files.back().name, FileStatus::notSent, {}});
    }
    const auto channel = progressChannel(options);
    ProgressDisplay display(channel.style, files, channel.writer, channel.width);

    const interrupts::CancelScope scope(
        task, [&display] { display.note("Stopping after the current file (press Ctrl-C again to stop at once)..."); });
    display.start();
    outcome.result =
        session.publish(task, &outcome.error,
                        [&display](const co::TaskPtr&, std::uint64_t completed, std::uint64_t total,
                                   const std::string& message) { display.report(completed, total, message); });
    display.finish();

    const bool hasLink = outcome.result && outcome.result->url();
    if (scope.cancelled() && !hasLink) {
        outcome.kind = TaskOutcome::Kind::interrupted;
    } else if (!outcome.result) {
        outcome.kind = TaskOutcome::Kind::failed;
    } else if (!hasLink) {
        outcome.kind = TaskOutcome::Kind::cancelled;
    } else if (outcome.result->message().value_or("") == completedMessage) {
        outcome.kind = TaskOutcome::Kind::completed;
    } else {
        outcome.kind = TaskOutcome::Kind::partial;
    }
    settleFiles(outcome, display.completed());
    return outcome;
}

int exitStatusOf(TaskOutcome::Kind kind) {
    switch (kind) {
        case TaskOutcome::Kind::completed:
            return exitSuccess;
        case TaskOutcome::Kind::interrupted:
            return interrupts::interruptedStatus;
        default:
            return exitFailure;
    }
}

// The files left out, one a line with its reason, under the plugin's headline.
std::string failedFilesText(const TaskOutcome& outcome, std::string_view indent) {
    std::string text;
    for (const auto& file : outcome.files) {
        if (file.status == FileStatus::notPublished) {
            text.append("\n").append(indent).append(file.name);
            if (!file.reason.empty()) {
                text.append(" (").append(file.reason).append(")");
            }
        }
    }
    return text;
}

// Where the files went, for a publish stopped before the plugin gave the link: the service's
// link to the project's library and the identifiers.
std::string whereSentText(const Destination& destination) {
    std::string text;
    const auto project = destination.projectId();
    if (project) {
        text += "Library: " + libraryLink(*project) + "\n";
        text += "Project: " + *project + "\n";
    }
    if (destination.createdFolderId) {
        text += "Folder:  " + *destination.createdFolderId + "\n";
    }
    return text;
}

// With --json standard output carries only the document; the outcome's lines go to standard error.
void reportOutcome(const TaskOutcome& outcome, const Destination& destination, bool json) {
    const auto say = json ? terminal::err : terminal::out;
    const auto link = outcome.result ? outcome.result->url() : std::nullopt;
    const auto message = outcome.result ? outcome.result->message() : std::nullopt;
    const auto processed = outcome.processed();
    switch (outcome.kind) {
        case TaskOutcome::Kind::completed:
            say(std::string(completedMessage) + "\n");
            break;
        case TaskOutcome::Kind::partial:
            failWith(outcome.failureHeadline ? *outcome.failureHeadline + failedFilesText(outcome, "  ")
                                             : message.value_or("Not every file was published."));
            break;
        case TaskOutcome::Kind::failed:
            if (outcome.failureHeadline) {
                failWith(outcome.error.localizedDescription() + "\n  " + *outcome.failureHeadline +
                         failedFilesText(outcome, "    "));
            } else {
                failWith(errorText(outcome.error, "Publishing failed."));
            }
            break;
        case TaskOutcome::Kind::interrupted: {
            const auto notSent = outcome.named({FileStatus::notSent});
            std::string text = "Interrupted after " + std::to_string(processed.size()) + " of " +
                               std::to_string(outcome.files.size()) + " files";
            text += processed.empty() ? "." : ": " + joined(processed) + ".";
            if (!notSent.empty()) {
                text += " Not sent: " + joined(notSent) + ".";
            }
            terminal::err(text + "\n");
            break;
        }
        case TaskOutcome::Kind::cancelled:
            failWith("Publishing was cancelled.");
            break;
    }
    if (link) {
        say("Library: " + *link + "\n");
    } else if (outcome.anyArrived()) {
        say(whereSentText(destination));
    }
}

co::Value outcomeJson(const TaskOutcome& outcome, const Destination& destination) {
    co::Value out = {{"status", kindName(outcome.kind)}};
    if (outcome.result && outcome.result->url()) {
        out["url"] = *outcome.result->url();
    } else if (const auto project = destination.projectId(); project && outcome.anyArrived()) {
        out["url"] = libraryLink(*project);
    }
    if (outcome.result && outcome.result->message()) out["message"] = *outcome.result->message();
    if (outcome.kind == TaskOutcome::Kind::failed && !outcome.error.empty()) out["error"] = errorJson(outcome.error);
    co::Value files = co::Value::array();
    co::Value notPublished = co::Value::array();
    for (const auto& file : outcome.files) {
        co::Value entry = {{"name", file.name}, {"status", statusName(file.status)}};
        if (file.status == FileStatus::notPublished) {
            entry["reason"] = file.reason;
            notPublished.push_back({{"name", file.name}, {"reason", file.reason}});
        }
        files.push_back(std::move(entry));
    }
    out["processed"] = outcome.processed();
    out["published"] = outcome.named({FileStatus::published});
    out["notPublished"] = std::move(notPublished);
    out["notSent"] = outcome.named({FileStatus::notSent});
    out["outcomes"] = std::move(files);
    return out;
}

// A refusal before anything was sent: the plugin's error, or a text of the host's.
int refuse(const PublishOptions& options, int status, const std::string& text, const co::Error* error = nullptr) {
    failWith(text);
    if (options.json && status != exitUsage) {
        co::Value document = {{"status", "failed"}};
        document["error"] = error != nullptr ? errorJson(*error) : co::Value{{"description", text}};
        printJson(document);
    }
    return status;
}

}  // namespace

// ---- Checks before the plugin is loaded -------------------------------------------------------

std::optional<std::string> checkLogin(const LoginOptions& options, bool interactive) {
    if (!options.passwordFromStandardInput && !interactive) {
        return "standard input is not a terminal: give the password with --password-stdin";
    }
    if (!options.email && !interactive) {
        return "missing --email (there is no terminal to ask for it)";
    }
    return std::nullopt;
}

std::optional<std::string> checkPublish(const PublishOptions& options, bool interactive) {
    std::map<std::pair<dev_t, ino_t>, std::string> seen;
    for (const auto& file : options.files) {
        struct stat status {};
        if (::stat(file.c_str(), &status) != 0) {
            return "cannot publish " + file + ": no such file";
        }
        if (!S_ISREG(status.st_mode)) {
            return "cannot publish " + file + ": not a regular file";
        }
        if (status.st_size == 0) {
            return "cannot publish " + file + ": the file is empty";
        }
        // The same file under two paths counts too: it would be sent twice.
        const auto [earlier, fresh] = seen.try_emplace({status.st_dev, status.st_ino}, file);
        if (!fresh) {
            return "cannot publish " + file + " twice" +
                   (earlier->second == file ? std::string() : " (it is also given as " + earlier->second + ")");
        }
    }
    if (options.folder && options.newFolder) {
        return "--folder and --new-folder exclude each other";
    }
    if (options.project && options.newProject) {
        return "--project and --new-project exclude each other";
    }
    if (options.newFolder && options.project) {
        return "--project names a project of an existing folder; a new folder has none yet (use --new-project NAME)";
    }
    if (interactive) {
        return std::nullopt;
    }
    const std::string why = " (standard input is not a terminal, so there is no menu to choose from)";
    if (!options.workspace) {
        return "missing --workspace" + why;
    }
    if (!options.folder && !options.newFolder) {
        return "missing --folder or --new-folder" + why;
    }
    if (!options.project && !options.newProject) {
        return options.newFolder ? "missing --new-project" + why : "missing --project or --new-project" + why;
    }
    return std::nullopt;
}

// ---- login, logout, status --------------------------------------------------------------------

namespace {

// What the person or the script answers to giving up the present login.
enum class GiveUp { yes, declined, refused };

GiveUp mayGiveUpLogin(const std::string& account, const LoginOptions& options) {
    if (options.force) {
        return GiveUp::yes;
    }
    if (!terminal::inputIsTerminal()) {
        failWith("already logged in as " + account +
                 "; give --force to log out and log in again (the present login is kept otherwise)");
        return GiveUp::refused;
    }
    const auto answer = terminal::prompt("You are logged in as " + account + ". Log out and log in again? [y/N] ");
    if (answer && (*answer == "y" || *answer == "Y" || *answer == "yes" || *answer == "Yes")) {
        return GiveUp::yes;
    }
    terminal::out("Still logged in as " + account + ".\n");
    return GiveUp::declined;
}

// The typed password leaves the store on every way out of a login. The plugin empties it after a
// token was received; a command has no form to come back to, so it is emptied after a refusal or an
// unanswered exchange too, and when Ctrl-C or SIGTERM ends the process in the midst.
void forgetPasswordInStore() { platform::PreferenceStore::standard().setValue("", panel::password); }

// The publish options as the application first shows them, with the listings they need.
std::optional<PublishOptionsForm> publishOptions(PluginSession& session) {
    const auto action = session.publishAction(1);
    if (!action) {
        return std::nullopt;
    }
    session.prepareRendering(action);
    PublishOptionsForm form(session, action);
    form.build();
    return form;
}

}  // namespace

int runLogin(PluginSession& session, const LoginOptions& options) {
    auto groups = accountPanel(session);
    const auto account = loggedInAccount(groups);
    if (account) {
        switch (mayGiveUpLogin(*account, options)) {
            case GiveUp::yes:
                break;
            case GiveUp::declined:
            case GiveUp::refused:
                return exitFailure;
        }
    }

    std::string email;
    if (options.email) {
        email = *options.email;
    } else {
        const auto field = findItem(groups, panel::username);
        const std::string known = account ? *account : field ? valueText(*field) : std::string();
        const auto answer = terminal::prompt(known.empty() ? "Email: " : "Email [" + known + "]: ");
        if (!answer) {
            failWith("no e-mail address given");
            return exitUsage;
        }
        email = answer->empty() ? known : *answer;
    }
    const auto password =
        options.passwordFromStandardInput ? terminal::readLine() : terminal::promptSecret("Password: ");
    if (!password) {
        failWith(options.passwordFromStandardInput ? "no password on standard input" : "no password given");
        return exitUsage;
    }

    if (account) {
        // The form shows only once the present login is given up, as in the application.
        terminal::out("Logging out " + *account + " first.\n");
        if (const auto logout = findItem(groups, panel::logout)) {
            co::Error ignored;
            session.pressButton(logout, &ignored);
        }
        groups = accountPanel(session);
    }
    const auto loginButton = findItem(groups, panel::login);
    if (!loginButton) {
        failWith("the plugin shows no login form");
        return exitFailure;
    }

    SettingsOutcome outcome;
    co::Error error;
    bool interrupted = false;
    {
        // From the moment the password is in the store until it is gone again, the first Ctrl-C
        // waits for the service's answer; a second one empties the store's password and leaves.
        const interrupts::FinishScope scope(
            [] { terminal::err("\nStopping once galvoria has answered the login (Ctrl-C again to stop at once).\n"); },
            forgetPasswordInStore);
        co::Error ignored;
        session.updateValue(co::Value(email), std::string(panel::username), &ignored);
        session.updateValue(co::Value(*password), std::string(panel::password), &ignored);
        outcome = session.pressButton(loginButton, &error);
        if (!outcome.ok) {
            session.updateValue(co::Value(""), std::string(panel::password), &ignored);
        }
        interrupted = scope.interrupted();
    }
    if (outcome.asksForRefresh() || interrupted) {
        groups = accountPanel(session);
    }
    const auto now = loggedInAccount(groups);
    if (interrupted) {
        terminal::err(now ? "Interrupted, but galvoria had already accepted the login: logged in as " + email + ".\n"
                          : std::string("Interrupted: not logged in.\n"));
        return interrupts::interruptedStatus;
    }
    if (!outcome.ok) {
        failWith(errorText(error, "Login failed."));
        return exitFailure;
    }
    if (!now) {
        failWith("the login did not take effect");
        return exitFailure;
    }
    terminal::out("Logged in as " + email + "\n");
    return exitSuccess;
}

int runLogout(PluginSession& session) {
    const auto groups = accountPanel(session);
    const auto account = loggedInAccount(groups);
    const auto logout = findItem(groups, panel::logout);
    // A password left behind by an earlier login that was cut short goes with the logout.
    if (!platform::PreferenceStore::standard().stringForKey(panel::password).value_or("").empty()) {
        co::Error ignored;
        session.updateValue(co::Value(""), std::string(panel::password), &ignored);
    }
    if (!account || !logout) {
        terminal::out("Not logged in.\n");
        return exitSuccess;
    }
    co::Error error;
    const auto outcome = session.pressButton(logout, &error);
    if (!outcome.ok) {
        failWith(errorText(error, "Logout failed."));
        return exitFailure;
    }
    if (outcome.asksForRefresh() && loggedInAccount(accountPanel(session))) {
        failWith("the logout did not take effect");
        return exitFailure;
    }
    terminal::out("Logged out " + *account + ".\n");
    return exitSuccess;
}

// Logged in, the account's first listing is asked for as the publish options ask for it: an
// expired login or an unreachable service shows here, not only when publishing.
int runStatus(PluginSession& session, const ReportOptions& options) {
    const auto account = loggedInAccount(accountPanel(session));
    std::optional<std::string> problem;
    if (account) {
        if (const auto form = publishOptions(session)) {
            if (const auto label = form->labelText(items::listingProblem)) {
                problem = withoutControls(*label);
            }
        }
    }
    const std::string store = platform::PreferenceStore::standard().path().string();
    const int status = account && !problem ? exitSuccess : exitFailure;
    if (options.json) {
        co::Value document = {{"loggedIn", account.has_value()}};
        if (account) document["account"] = *account;
        if (problem) document["problem"] = *problem;
        document["service"] = serviceOrigin();
        document["store"] = store;
        printJson(document);
    } else {
        terminal::out((account ? "Logged in as " + *account : std::string("Not logged in")) + "\n" +
                      "Service: " + serviceOrigin() + "\n" + "Store:   " + store + "\n");
    }
    if (problem) {
        failWith(*problem);
    }
    return status;
}

// ---- destinations -----------------------------------------------------------------------------

namespace {

// A listing that failed while the tree was walked: its text on standard error (and in the JSON
// document), exit status 1.
int listingFailed(const ReportOptions& options, const std::string& label) {
    const std::string problem = withoutControls(label);
    failWith(problem);
    if (options.json) {
        printJson({{"service", serviceOrigin()}, {"error", {{"description", problem}}}});
    }
    return exitFailure;
}

}  // namespace

int runDestinations(PluginSession& session, const ReportOptions& options) {
    auto opened = publishOptions(session);
    if (!opened) {
        failWith("the plugin offers no publish action");
        return exitFailure;
    }
    PublishOptionsForm& form = *opened;
    if (!form.showsLists()) {
        failWith(form.notice() + "\n  Log in with: galvoria-host login");
        return exitFailure;
    }

    // Every source, workspace and folder is chosen in turn, as a person going through the lists.
    // Each choice lists again; a listing that fails ends the walk, as the tree would be untrue.
    auto node = [](const Choice& choice) { return co::Value{{"id", choice.value}, {"name", choice.title}}; };
    co::Value sources = co::Value::array();
    std::string text;
    if (const auto problem = form.labelText(items::listingProblem)) {
        return listingFailed(options, *problem);
    }
    for (const auto& source : form.choices(items::source)) {
        form.set(items::source, source.value);
        if (const auto problem = form.labelText(items::listingProblem)) {
            return listingFailed(options, *problem);
        }
        co::Value sourceNode = node(source);
        sourceNode["workspaces"] = co::Value::array();
        text += describe(source) + "\n";
        for (const auto& workspace : form.choices(items::workspace)) {
            form.set(items::workspace, workspace.value);
            if (const auto problem = form.labelText(items::listingProblem)) {
                return listingFailed(options, *problem);
            }
            co::Value workspaceNode = node(workspace);
            workspaceNode["folders"] = co::Value::array();
            text += "  " + describe(workspace) + "\n";
            for (const auto& folder : form.choices(items::folder)) {
                form.set(items::folder, folder.value);
                if (const auto problem = form.labelText(items::listingProblem)) {
                    return listingFailed(options, *problem);
                }
                co::Value folderNode = node(folder);
                folderNode["projects"] = co::Value::array();
                text += "    " + describe(folder) + "\n";
                for (const auto& project : form.choices(items::project)) {
                    folderNode["projects"].push_back(node(project));
                    text += "      " + describe(project) + "\n";
                }
                workspaceNode["folders"].push_back(std::move(folderNode));
            }
            sourceNode["workspaces"].push_back(std::move(workspaceNode));
        }
        sources.push_back(std::move(sourceNode));
    }
    if (options.json) {
        printJson({{"service", serviceOrigin()}, {"sources", std::move(sources)}});
    } else {
        terminal::out(text.empty() ? "No account or team is listed for this login.\n" : text);
    }
    return exitSuccess;
}

// ---- publish ----------------------------------------------------------------------------------

int runPublish(PluginSession& session, const PublishOptions& options) {
    const auto action = session.publishAction(options.files.size());
    if (!action) {
        return refuse(options, exitFailure, "the plugin offers no publish action");
    }
    session.prepareRendering(action);
    PublishOptionsForm form(session, action);
    form.build();
    if (!form.showsLists()) {
        return refuse(options, exitFailure, form.notice() + "\n  Log in with: galvoria-host login");
    }

    DestinationChooser chooser(form, options, terminal::inputIsTerminal());
    if (const auto stop = chooser.choose()) {
        return refuse(options, stop->status, stop->text);
    }
    co::Error error;
    if (!session.validate(form.values(), action, &error)) {
        return refuse(options, exitFailure, errorText(error, "The publish options were refused."), &error);
    }

    std::vector<std::string> paths;
    std::uint64_t bytes = 0;
    for (const auto& file : options.files) {
        std::error_code ignored;
        paths.push_back(fs::absolute(file, ignored).lexically_normal().string());
        bytes += fs::file_size(file, ignored);
    }
    const auto tasks = session.tasks(action, paths, &error);
    if (!tasks) {
        return refuse(options, exitFailure, errorText(error, "The plugin formed no task for these files."), &error);
    }

    if (!options.quiet && !options.json) {
        terminal::out("Publishing " + std::to_string(paths.size()) + (paths.size() == 1 ? " file (" : " files (") +
                      formatBytes(static_cast<double>(bytes)) + ") to " + chooser.destination().summary() + "\n");
    }
    int status = exitSuccess;
    co::Value reports = co::Value::array();
    for (const auto& task : *tasks) {
        if (!task) {
            continue;
        }
        // The host hands the plugin the options it keeps along with the task.
        task->setSettings(form.values());
        const auto& store = platform::PreferenceStore::standard();
        const auto folderBefore = store.stringForKey(prefs::lastCreatedFolder);
        const auto projectBefore = store.stringForKey(prefs::lastCreatedProject);
        const TaskOutcome outcome = runTask(session, task, options);
        // What the plugin created it notes in the store; a value that did not change was not created now.
        auto& destination = chooser.destination();
        if (const auto folder = store.stringForKey(prefs::lastCreatedFolder);
            destination.newFolder && folder != folderBefore) {
            destination.createdFolderId = folder;
        }
        if (const auto project = store.stringForKey(prefs::lastCreatedProject);
            destination.newProject && project != projectBefore) {
            destination.createdProjectId = project;
        }
        reportOutcome(outcome, destination, options.json);
        reports.push_back(outcomeJson(outcome, destination));
        const int taskStatus = exitStatusOf(outcome.kind);
        if (taskStatus != exitSuccess && status != interrupts::interruptedStatus) {
            status = taskStatus;
        }
        if (outcome.kind == TaskOutcome::Kind::interrupted) {
            break;  // nothing more is sent once interrupted
        }
    }
    if (options.json) {
        co::Value document = reports.size() == 1 ? reports.front() : co::Value{{"tasks", reports}};
        if (reports.size() != 1) {
            document["status"] = status == exitSuccess ? "completed" : "failed";
        }
        document["destination"] = chooser.destination().json();
        document["files"] = options.files.size();
        printJson(document);
    }
    return status;
}

}  // namespace galvoria::host
