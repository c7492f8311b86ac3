#include "host/Commands.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "host/Interrupts.hpp"
#include "host/ProgressDisplay.hpp"
#include "host/PublishOptionsForm.hpp"
#include "host/Terminal.hpp"
#include "platform/PreferenceStore.hpp"

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
        if (project) out["project"] = chosen(*project);
        if (newProject) out["project"] = {{"new", *newProject}};
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
        if (auto stop = chooseSourceAndWorkspace()) return stop;
        if (auto stop = chooseFolder()) return stop;
        return chooseProject();
    }

    [[nodiscard]] const Destination& destination() const { return destination_; }

private:
    std::optional<Stop> chooseSourceAndWorkspace() {
        const auto sources = form_.choices(items::source);
        if (sources.empty()) {
            return Stop{exitFailure, "galvoria lists no account or team for this login"};
        }
        if (options_.source) {
            const auto found = resolveChoice(sources, *options_.source, sourceKind, "for this login");
            if (!found.index) return Stop{exitUsage, found.problem};
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
        if (!found.index) return Stop{exitUsage, found.problem};
        pick(items::source, sources[owners[*found.index]], destination_.source);
        pick(items::workspace, workspaces[*found.index], destination_.workspace);
        return std::nullopt;
    }

    std::optional<Stop> chooseWorkspace() {
        const auto workspaces = form_.choices(items::workspace);
        const std::string where = "in " + destination_.source->title;
        if (options_.workspace) {
            const auto found = resolveChoice(workspaces, *options_.workspace, workspaceKind, where);
            if (!found.index) return Stop{exitUsage, found.problem};
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
        if (options_.newFolder) {
            createNew(items::folder, items::newFolder, *options_.newFolder);
            destination_.newFolder = *options_.newFolder;
            return std::nullopt;
        }
        const auto folders = form_.choices(items::folder);
        if (options_.folder) {
            const auto found =
                resolveChoice(folders, *options_.folder, folderKind, "in " + destination_.workspace->title);
            if (!found.index) return Stop{exitUsage, found.problem};
            pick(items::folder, folders[*found.index], destination_.folder);
            return std::nullopt;
        }
        const auto create = form_.createEntry(items::folder);
        const auto index = menu("Folder", folders, create);
        if (!index) return noAnswer();
        if (*index == folders.size()) {
            const auto name = askName("New folder name: ");
            if (!name) return noAnswer();
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
        if (options_.newProject) {
            createNew(items::project, items::newProject, *options_.newProject);
            destination_.newProject = *options_.newProject;
            return std::nullopt;
        }
        const auto projects = form_.choices(items::project);
        const std::string where =
            "in " + (destination_.folder ? destination_.folder->title : destination_.workspace->title);
        if (options_.project) {
            const auto found = resolveChoice(projects, *options_.project, projectKind, where);
            if (!found.index) return Stop{exitUsage, found.problem};
            pick(items::project, projects[*found.index], destination_.project);
            return std::nullopt;
        }
        const auto create = form_.createEntry(items::project);
        const auto index = menu("Project", projects, create);
        if (!index) return noAnswer();
        if (*index == projects.size()) {
            const auto name = askName("New project name: ");
            if (!name) return noAnswer();
            createNew(items::project, items::newProject, *name);
            destination_.newProject = *name;
            return std::nullopt;
        }
        pick(items::project, projects[*index], destination_.project);
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

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

struct TaskOutcome {
    enum class Kind { completed, partial, failed, interrupted, cancelled } kind = Kind::failed;
    co::PublishResultPtr result;
    co::Error error;
    std::vector<std::string> processed;  // files the plugin reported as done
    std::vector<std::string> notSent;
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

TaskOutcome runTask(PluginSession& session, const co::TaskPtr& task, const PublishOptions& options) {
    std::vector<PublishedFile> files;
    for (const auto& path : task->files().value_or(std::vector<std::string>{})) {
        std::error_code ignored;
        const auto bytes = fs::file_size(path, ignored);
        files.push_back({lastPathComponent(path), ignored ? 0 : static_cast<std::uint64_t>(bytes)});
    }
    const auto channel = progressChannel(options);
    ProgressDisplay display(channel.style, files, channel.writer, channel.width);

    TaskOutcome outcome;
    const interrupts::CancelScope scope(
        task, [&display] { display.note("Stopping after the current file (press Ctrl-C again to stop at once)..."); });
    display.start();
    outcome.result =
        session.publish(task, outcome.error,
                        [&display](const co::TaskPtr&, std::uint64_t completed, std::uint64_t total,
                                   const std::string& message) { display.report(completed, total, message); });
    display.finish();

    outcome.processed = display.completedNames();
    for (std::size_t i = outcome.processed.size(); i < files.size(); ++i) {
        outcome.notSent.push_back(files[i].name);
    }
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

// With --json standard output carries only the document; the outcome's lines go to standard error.
void reportOutcome(const TaskOutcome& outcome, bool json) {
    const auto say = json ? terminal::err : terminal::out;
    const auto link = outcome.result ? outcome.result->url() : std::nullopt;
    const auto message = outcome.result ? outcome.result->message() : std::nullopt;
    switch (outcome.kind) {
        case TaskOutcome::Kind::completed:
            say(std::string(completedMessage) + "\n");
            break;
        case TaskOutcome::Kind::partial:
            failWith(message.value_or("Not every file was published."));
            break;
        case TaskOutcome::Kind::failed:
            failWith(errorText(outcome.error, "Publishing failed."));
            break;
        case TaskOutcome::Kind::interrupted: {
            std::string text = "Interrupted after " + std::to_string(outcome.processed.size()) + " of " +
                               std::to_string(outcome.processed.size() + outcome.notSent.size()) + " files";
            text += outcome.processed.empty() ? "." : ": " + joined(outcome.processed) + ".";
            if (!outcome.notSent.empty()) {
                text += " Not sent: " + joined(outcome.notSent) + ".";
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
    }
}

co::Value outcomeJson(const TaskOutcome& outcome) {
    co::Value out = {{"status", kindName(outcome.kind)}};
    if (outcome.result && outcome.result->url()) out["url"] = *outcome.result->url();
    if (outcome.result && outcome.result->message()) out["message"] = *outcome.result->message();
    if (outcome.kind == TaskOutcome::Kind::failed && !outcome.error.empty()) out["error"] = errorJson(outcome.error);
    out["processed"] = outcome.processed;
    out["notSent"] = outcome.notSent;
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
    for (const auto& file : options.files) {
        struct stat status {};
        if (::stat(file.c_str(), &status) != 0) {
            return "cannot publish " + file + ": no such file";
        }
        if (!S_ISREG(status.st_mode)) {
            return "cannot publish " + file + ": not a regular file";
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
    co::Error error;
    auto groups = session.settings(error);
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
            session.pressButton(logout);
        }
        groups = session.settings(error);
    }
    const auto loginButton = findItem(groups, panel::login);
    if (!loginButton) {
        failWith("the plugin shows no login form");
        return exitFailure;
    }

    SettingsOutcome outcome;
    bool interrupted = false;
    {
        // From the moment the password is in the store until it is gone again, the first Ctrl-C
        // waits for the service's answer; a second one empties the store's password and leaves.
        const interrupts::FinishScope scope(
            [] { terminal::err("\nStopping once galvoria has answered the login (Ctrl-C again to stop at once).\n"); },
            forgetPasswordInStore);
        session.updateValue(co::Value(email), std::string(panel::username));
        session.updateValue(co::Value(*password), std::string(panel::password));
        outcome = session.pressButton(loginButton);
        if (!outcome.ok) {
            session.updateValue(co::Value(""), std::string(panel::password));
        }
        interrupted = scope.interrupted();
    }
    if (outcome.asksForRefresh() || interrupted) {
        groups = session.settings(error);
    }
    const auto now = loggedInAccount(groups);
    if (interrupted) {
        terminal::err(now ? "Interrupted, but galvoria had already accepted the login: logged in as " + email + ".\n"
                          : std::string("Interrupted: not logged in.\n"));
        return interrupts::interruptedStatus;
    }
    if (!outcome.ok) {
        failWith(errorText(outcome.error, "Login failed."));
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
    co::Error error;
    const auto groups = session.settings(error);
    const auto account = loggedInAccount(groups);
    const auto logout = findItem(groups, panel::logout);
    // A password left behind by an earlier login that was cut short goes with the logout.
    if (!platform::PreferenceStore::standard().stringForKey(panel::password).value_or("").empty()) {
        session.updateValue(co::Value(""), std::string(panel::password));
    }
    if (!account || !logout) {
        terminal::out("Not logged in.\n");
        return exitSuccess;
    }
    const auto outcome = session.pressButton(logout);
    if (!outcome.ok) {
        failWith(errorText(outcome.error, "Logout failed."));
        return exitFailure;
    }
    if (outcome.asksForRefresh() && loggedInAccount(session.settings(error))) {
        failWith("the logout did not take effect");
        return exitFailure;
    }
    terminal::out("Logged out " + *account + ".\n");
    return exitSuccess;
}

// Logged in, the account's first listing is asked for as the publish options ask for it: an
// expired login or an unreachable service shows here, not only when publishing.
int runStatus(PluginSession& session, const ReportOptions& options) {
    co::Error error;
    const auto account = loggedInAccount(session.settings(error));
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
    if (!session.validate(form.values(), action, error)) {
        return refuse(options, exitFailure, errorText(error, "The publish options were refused."), &error);
    }

    std::vector<std::string> paths;
    std::uint64_t bytes = 0;
    for (const auto& file : options.files) {
        std::error_code ignored;
        paths.push_back(fs::absolute(file, ignored).lexically_normal().string());
        bytes += fs::file_size(file, ignored);
    }
    const auto tasks = session.tasks(action, paths, error);
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
        const TaskOutcome outcome = runTask(session, task, options);
        reportOutcome(outcome, options.json);
        reports.push_back(outcomeJson(outcome));
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
