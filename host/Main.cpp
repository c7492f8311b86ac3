// galvoria-host: a host for the galvoria plugin bundle.
//
//   galvoria-host login | logout | status | destinations | publish FILE... | ui [FILE...]
//
// drive the plugin's entry points for a person at a terminal or a script, and
//
//   galvoria-host drive --bundle DIR --prefs FILE [--strings FILE]
//
// lets another program call them over JSON lines.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>

#include "host/Commands.hpp"
#include "host/Drive.hpp"
#include "host/HostEnvironment.hpp"
#include "host/Interrupts.hpp"
#include "host/Terminal.hpp"
#include "host/ui/UiCommand.hpp"
#include "platform/PreferenceStore.hpp"

namespace {

using galvoria::host::terminal::LogDestination;

constexpr const char* mainExamples = R"(
Examples:
  galvoria-host login --email ann@example.org
  galvoria-host destinations
  galvoria-host publish IMG_0001.jpg IMG_0002.jpg --workspace Personal --folder Portraits --new-project "Studio, May"
  galvoria-host publish *.jpg          (menus ask for the destination at a terminal)
Each command's --help shows its own options and examples.

Exit status: 0 done (everything published; logged in, for status), 1 refused or failed (not every
file was published, a listing failed, not logged in), 2 usage error, 130 interrupted.)";

// Where the host finds the plugin and keeps its state: rarely given, so listed apart from what each
// command does.
constexpr const char* plumbingGroup = "Plugin and files";

// The options every command takes, with drive mode's meaning.
struct CommonOptions {
    std::string bundle;
    std::string prefs;
    std::string strings;
    std::string logFile;
    bool verbose = false;
};

// --bundle, --prefs and --strings, as every mode takes them.
void addHostFileOptions(CLI::App* command, std::string& bundle, std::string& prefs, std::string& strings) {
    command->add_option("--bundle", bundle, "The plugin bundle folder (*.coplugin)")
        ->type_name("DIR")
        ->capture_default_str()
        ->group(plumbingGroup);
    command->add_option("--prefs", prefs, "The preference store file (default: the user's store)")
        ->type_name("FILE")
        ->group(plumbingGroup);
    command->add_option("--strings", strings, "The application's string table (JSON object text -> translation)")
        ->type_name("FILE")
        ->group(plumbingGroup);
}

void addCommonOptions(CLI::App* command, CommonOptions& common) {
    addHostFileOptions(command, common.bundle, common.prefs, common.strings);
    auto* log = command->add_option("--log", common.logFile, "Append the plugin's log to this file")
                    ->type_name("FILE")
                    ->group(plumbingGroup);
    command->add_flag("--verbose", common.verbose, "Show the plugin's log on standard error")
        ->excludes(log)
        ->group(plumbingGroup);
}

// A store file that exists but cannot be read shows as "not logged in"; the person is told why. A
// file that was read but holds no JSON object of strings is renamed (never deleted) by the store at
// its next change; one that cannot be opened at all, or is far larger than a store ever is, is
// left as it is.
void warnAboutUnreadableStore(const std::filesystem::path& file) {
    constexpr std::uintmax_t largestStoreBytes = std::uintmax_t{1} << 20U;
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        return;
    }
    const std::string told = "galvoria-host: the preference store " + galvoria::host::terminal::visible(file.string()) +
                             " could not be read";
    std::ifstream in(file, std::ios::binary);
    const auto bytes = std::filesystem::file_size(file, error);
    if (!in || error || !std::filesystem::is_regular_file(file, error) || bytes > largestStoreBytes) {
        galvoria::host::terminal::err(told + ", so no login is known\n");
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (platform::parsePreferences(text.str())) {
        return;
    }
    galvoria::host::terminal::err(told +
                                  ", so no login is known; it will be set aside (renamed, not deleted) at "
                                  "the next change\n");
}

// An option's value when it was given, also when it was given empty.
std::optional<std::string> given(const CLI::Option* option, const std::string& value) {
    return option->count() > 0 ? std::optional<std::string>(value) : std::nullopt;
}

int usageError(const std::string& command, const std::string& problem) {
    std::cerr << "galvoria-host " << command << ": " << problem << " (see galvoria-host " << command << " --help)\n";
    return galvoria::host::exitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    // In every mode: a write past the file-size limit fails with an error the writer reports (the
    // preference store keeps its old file) instead of ending the host.
    ::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"galvoria-host: loads the galvoria publishing plugin and drives it", "galvoria-host"};
    app.set_version_flag("--version",
                         std::string("galvoria-host ") + GALVORIA_VERSION + " (service " + GALVORIA_SERVICE_URL + ")");
    app.require_subcommand(1);

    galvoria::host::HostOptions options;
    options.bundle = galvoria::host::defaultBundlePath();
    std::string bundle = options.bundle.string();
    std::string prefs;
    std::string strings;

    CommonOptions common;
    common.bundle = options.bundle.string();

    galvoria::host::LoginOptions login;
    std::string email;
    auto* loginCommand = app.add_subcommand("login", "Log in to a galvoria account through the plugin's account panel");
    addCommonOptions(loginCommand, common);
    auto* emailOption =
        loginCommand->add_option("--email", email, "The account's e-mail address (asked for if missing)");
    loginCommand->add_flag("--password-stdin", login.passwordFromStandardInput,
                           "Read the password from the first line of standard input (never give it as an argument)");
    loginCommand->add_flag("--force", login.force,
                           "Already logged in: log out and log in again without asking (a script is refused "
                           "otherwise)");
    loginCommand->footer(R"(
The password is asked for without echo at a terminal; scripts pipe it in. Logged in already, a
terminal asks before the present login is given up; a script must say so with --force.
  galvoria-host login --email ann@example.org
  printf '%s\n' "$PASSWORD" | galvoria-host login --email ann@example.org --password-stdin --force)");

    auto* logoutCommand = app.add_subcommand("logout", "Log out of the galvoria account");
    addCommonOptions(logoutCommand, common);

    galvoria::host::ReportOptions report;
    auto* statusCommand =
        app.add_subcommand("status", "Show who is logged in, the galvoria service and where the store is");
    addCommonOptions(statusCommand, common);
    statusCommand->add_flag("--json", report.json, "Print one JSON object");
    statusCommand->footer(R"(
Logged in, the account's teams are listed to tell that the login still works. Exit status 0 when
logged in and galvoria answers, 1 otherwise (the reason on standard error):
  galvoria-host status
  galvoria-host status --json | jq -r .account)");

    auto* destinationsCommand = app.add_subcommand(
        "destinations", "List where files can be published: account or team, workspace, folder, project");
    addCommonOptions(destinationsCommand, common);
    destinationsCommand->add_flag("--json", report.json, "Print the tree as one JSON document");
    destinationsCommand->footer(R"(
Each line shows a name and its identifier; publish takes either:
  galvoria-host destinations
  galvoria-host destinations --json | jq '.sources[].workspaces[].name')");

    galvoria::host::PublishOptions publish;
    std::string source, workspace, folder, newFolder, project, newProject;
    auto* publishCommand = app.add_subcommand("publish", "Publish files to a galvoria project");
    addCommonOptions(publishCommand, common);
    publishCommand->add_option("FILE", publish.files, "The files to publish, in this order")->required();
    auto* sourceOption = publishCommand->add_option("--source", source,
                                                    "Account or team (name or id; found from --workspace if left out)");
    auto* workspaceOption = publishCommand->add_option("--workspace", workspace, "Workspace (name or id)");
    auto* folderOption = publishCommand->add_option("--folder", folder, "Folder (name or id)");
    auto* newFolderOption = publishCommand->add_option("--new-folder", newFolder, "Create a folder with this name");
    auto* projectOption = publishCommand->add_option("--project", project, "Project (name or id)");
    auto* newProjectOption = publishCommand->add_option("--new-project", newProject, "Create a project with this name");
    folderOption->excludes(newFolderOption);
    projectOption->excludes(newProjectOption);
    publishCommand->add_flag("--allow-duplicate", publish.allowDuplicate,
                             "Create the new folder or project even where one of that name exists");
    publishCommand->add_flag("--quiet", publish.quiet, "No progress, only the outcome");
    publishCommand->add_flag("--json", publish.json, "Print the outcome as one JSON document");
    publishCommand->footer(R"(
Names are matched exactly, then regardless of case and accents; an identifier always works.
Without destination flags a terminal shows menus; elsewhere the flags are required.
  galvoria-host publish a.jpg b.jpg --workspace "Weddings 2024" --folder Ceremony --project "Anna & Mark"
  galvoria-host publish *.jpg --workspace ws-4f1c2a --new-folder "May 2025" --new-project Portraits
  galvoria-host publish *.jpg --source "Studio Lumière" --workspace "Lumière Productions" \
      --folder Campaigns --new-project "Autumn" --json
Ctrl-C stops after the file being sent (status 130); a second Ctrl-C stops at once.
An output closed by its reader (publish ... | head -1) stops after the file being sent (status 1).)");

    galvoria::host::ui::UiOptions ui;
    bool noBrowser = false;
    auto* uiCommand =
        app.add_subcommand("ui", "Publish from a page in the browser: the plugin's panels, photos, progress");
    addCommonOptions(uiCommand, common);
    uiCommand->add_option("FILE", ui.files, "Photos to list from the start (more can be added in the page)");
    uiCommand->add_option("--port", ui.port, "The port to listen on at 127.0.0.1 (default: one the system picks)")
        ->type_name("N");
    uiCommand->add_flag("--no-browser", noBrowser, "Only print the link; do not open a browser");
    uiCommand->footer(R"(
The first line printed is the link to open (it holds a one-time key). The server listens on
127.0.0.1 only and runs until Ctrl-C; a publish in flight then stops after the file being sent
(status 130).
  galvoria-host ui
  galvoria-host ui *.jpg --port 8080 --no-browser)");

    auto* drive = app.add_subcommand(
        "drive", "For programs: drive the plugin's entry points over JSON lines (standard input/output)");
    addHostFileOptions(drive, bundle, prefs, strings);
    drive->footer(R"(
One request per line on standard input (at most 16 MiB; a longer line gets an error reply and is
skipped), one answer per line on standard output. Exit status: 0 when standard input ends; 2 for
a usage or start-up error (a bundle or string table that cannot be loaded, no usable store); 3 when
standard output was closed: the call in progress is completed (a publish stops after the file being
sent) and no further request is read.
  galvoria-host drive --prefs /tmp/prefs.json < requests.jsonl)");
    app.footer(mainExamples);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        // Usage errors: one line on standard error, exit status 2.
        std::cerr << "galvoria-host: " << error.what() << " (see galvoria-host --help)\n";
        return 2;
    }

    if (drive->parsed()) {
        options.bundle = bundle;
        if (!prefs.empty()) {
            options.prefs = prefs;
        }
        if (!strings.empty()) {
            options.strings = strings;
        }
        return galvoria::host::runDrive(options);
    }

    options.bundle = common.bundle;
    if (!common.prefs.empty()) {
        options.prefs = common.prefs;
    }
    if (!common.strings.empty()) {
        options.strings = common.strings;
    }
    const bool interactive = galvoria::host::terminal::inputIsTerminal();
    std::function<int(galvoria::host::PluginSession&)> command;
    std::string name;
    if (loginCommand->parsed()) {
        name = "login";
        login.email = given(emailOption, email);
        if (const auto problem = galvoria::host::checkLogin(login, interactive)) {
            return usageError(name, *problem);
        }
        command = [&](galvoria::host::PluginSession& session) { return galvoria::host::runLogin(session, login); };
    } else if (logoutCommand->parsed()) {
        command = [](galvoria::host::PluginSession& session) { return galvoria::host::runLogout(session); };
    } else if (statusCommand->parsed()) {
        command = [&](galvoria::host::PluginSession& session) { return galvoria::host::runStatus(session, report); };
    } else if (destinationsCommand->parsed()) {
        command = [&](galvoria::host::PluginSession& session) {
            return galvoria::host::runDestinations(session, report);
        };
    } else if (uiCommand->parsed()) {
        name = "ui";
        ui.openBrowser = !noBrowser;
        if (const auto problem = galvoria::host::ui::checkUi(ui)) {
            return usageError(name, *problem);
        }
        command = [&](galvoria::host::PluginSession& session) { return galvoria::host::ui::runUi(session, ui); };
    } else if (publishCommand->parsed()) {
        name = "publish";
        publish.source = given(sourceOption, source);
        publish.workspace = given(workspaceOption, workspace);
        publish.folder = given(folderOption, folder);
        publish.newFolder = given(newFolderOption, newFolder);
        publish.project = given(projectOption, project);
        publish.newProject = given(newProjectOption, newProject);
        if (const auto problem = galvoria::host::checkPublish(publish, interactive)) {
            return usageError(name, *problem);
        }
        command = [&](galvoria::host::PluginSession& session) { return galvoria::host::runPublish(session, publish); };
    } else {
        return 2;
    }
    // Told before the command runs, once the host has named the store's file.
    command = [run = std::move(command)](galvoria::host::PluginSession& session) {
        warnAboutUnreadableStore(platform::PreferenceStore::standard().path());
        return run(session);
    };

    // Before any thread starts: every thread inherits Ctrl-C's blocked signal.
    galvoria::host::interrupts::install();
    ::signal(SIGPIPE, SIG_IGN);
    std::string problem;
    const auto destination = common.verbose            ? LogDestination::standardError
                             : !common.logFile.empty() ? LogDestination::file
                                                       : LogDestination::discard;
    if (!galvoria::host::terminal::routeLog(destination, common.logFile, problem)) {
        std::cerr << "galvoria-host: " << problem << "\n";
        return 2;
    }
    const int status = galvoria::host::accountForStoreWrites(galvoria::host::runWithPlugin(options, command));
    std::fflush(nullptr);
    galvoria::host::terminal::finishLog();
    // Exit at once: nothing the plugin library left running may hold the process up.
    std::_Exit(status);
}
