// The account commands: log in and out, what the host stands on, and the destinations the login
// can publish to.

#include <array>

#include "host/CommandOutput.hpp"
#include "host/Commands.hpp"
#include "host/Interrupts.hpp"
#include "host/PublishOptionsForm.hpp"
#include "host/Terminal.hpp"
#include "platform/PreferenceStore.hpp"
#include "vocabulary/ItemIdentifiers.hpp"
#include "vocabulary/PreferenceKeys.hpp"

namespace galvoria::host {
using terminal::visible;
namespace {

namespace panel = galvoria::account;

// How the panel's label begins before the account's name.
constexpr std::string_view loggedInPrefix = "You are logged in as ";

// The account panel as the plugin builds it now; no groups when it builds none.
std::vector<co::GroupPtr> accountPanel(PluginSession& session) {
    co::Error ignored;
    return session.settings(&ignored).value_or(std::vector<co::GroupPtr>{});
}

// Who the panel says is logged in; no value while it shows the login form.
std::optional<std::string> loggedInAccount(const std::vector<co::GroupPtr>& groups) {
    const auto label = findItem(groups, panel::loggedInLabel);
    if (!label) {
        return std::nullopt;
    }
    std::string text = valueText(*label);
    if (text.starts_with(loggedInPrefix)) {
        text.erase(0, loggedInPrefix.size());
    }
    return text;
}

// What the person or the script answers to giving up the present login.
enum class GiveUp { yes, declined, refused };

GiveUp mayGiveUpLogin(const std::string& account, const LoginOptions& options) {
    if (options.force) {
        return GiveUp::yes;
    }
    if (!terminal::inputIsTerminal()) {
        failWith("already logged in as " + visible(account) +
                 "; give --force to log out and log in again (the present login is kept otherwise)");
        return GiveUp::refused;
    }
    const auto answer =
        terminal::prompt("You are logged in as " + visible(account) + ". Log out and log in again? [y/N] ");
    if (answer && (*answer == "y" || *answer == "Y" || *answer == "yes" || *answer == "Yes")) {
        return GiveUp::yes;
    }
    terminal::out("Still logged in as " + visible(account) + ".\n");
    return GiveUp::declined;
}

// The typed password leaves the store on every way out of a login. The plugin empties it after a
// token was received; a command has no form to come back to, so it is emptied after a refusal or an
// unanswered exchange too, and when Ctrl-C or SIGTERM ends the process in the midst.
void forgetPasswordInStore() { platform::PreferenceStore::standard().setValue("", prefs::password); }

// A listing that failed while the tree was walked: its text on standard error (and in the JSON
// document), exit status 1.
int listingFailed(const ReportOptions& options, const std::string& label) {
    failWith(visible(label));
    if (options.json) {
        printJson({{"service", serviceOrigin()}, {"error", {{"description", label}}}});
    }
    return exitFailure;
}

// The levels of the destination tree, each with the member of a node that holds the next level.
struct TreeLevel {
    std::string_view list;
    const char* children;
};
constexpr std::array<TreeLevel, 4> treeLevels{{{options::sourceList, "workspaces"},
                                               {options::workspaceList, "folders"},
                                               {options::folderList, "projects"},
                                               {options::projectList, nullptr}}};

// Lists the entries of level `depth` as the choices above it stand into `nodes` (JSON) and `text`
// (indented by level), choosing each entry in turn to list the level below it. The plugin's
// listing problem, when one shows.
std::optional<std::string> listTree(PublishOptionsForm& form, std::size_t depth, co::Value& nodes, std::string& text) {
    const auto& level = treeLevels.at(depth);
    for (const auto& choice : form.choices(level.list)) {
        co::Value node{{"id", choice.value}, {"name", choice.title}};
        text += std::string(2 * depth, ' ') + describe(choice) + "\n";
        if (level.children != nullptr) {
            form.set(level.list, choice.value);
            if (auto problem = form.labelText(options::listingProblemLabel)) {
                return problem;
            }
            node[level.children] = co::Value::array();
            if (auto problem = listTree(form, depth + 1, node[level.children], text)) {
                return problem;
            }
        }
        nodes.push_back(std::move(node));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> checkLogin(const LoginOptions& options, bool interactive) {
    if (!options.passwordFromStandardInput && !interactive) {
        return "standard input is not a terminal: give the password with --password-stdin";
    }
    if (!options.email && !interactive) {
        return "missing --email (there is no terminal to ask for it)";
    }
    return std::nullopt;
}

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
        const auto field = findItem(groups, panel::usernameField);
        const std::string known = account ? *account : field ? valueText(*field) : std::string();
        const auto answer = terminal::prompt(known.empty() ? "Email: " : "Email [" + visible(known) + "]: ");
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
        terminal::out("Logging out " + visible(*account) + " first.\n");
        if (const auto logout = findItem(groups, panel::logoutButton)) {
            co::Error ignored;
            session.pressButton(logout, &ignored);
        }
        groups = accountPanel(session);
    }
    const auto loginButton = findItem(groups, panel::loginButton);
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
        session.updateValue(co::Value(email), std::string(panel::usernameField), &ignored);
        session.updateValue(co::Value(*password), std::string(panel::passwordField), &ignored);
        // The panel reads what was typed back from the store: a store that kept none of it would
        // have the plugin refuse an e-mail the person never gave. Nothing is sent then; the
        // store's own reason is told as the command ends.
        if (platform::PreferenceStore::standard().lastWriteProblem()) {
            return exitFailure;
        }
        outcome = session.pressButton(loginButton, &error);
        if (!outcome.ok) {
            session.updateValue(co::Value(""), std::string(panel::passwordField), &ignored);
        }
        interrupted = scope.interrupted();
    }
    if (outcome.asksForRefresh() || interrupted) {
        groups = accountPanel(session);
    }
    const auto now = loggedInAccount(groups);
    if (interrupted) {
        terminal::err(now ? "Interrupted, but galvoria had already accepted the login: logged in as " + visible(email) +
                                ".\n"
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
    terminal::out("Logged in as " + visible(email) + "\n");
    return exitSuccess;
}

int runLogout(PluginSession& session) {
    const auto groups = accountPanel(session);
    const auto account = loggedInAccount(groups);
    const auto logout = findItem(groups, panel::logoutButton);
    // A password left behind by an earlier login that was cut short goes with the logout.
    if (!platform::PreferenceStore::standard().stringForKey(prefs::password).value_or("").empty()) {
        co::Error ignored;
        session.updateValue(co::Value(""), std::string(panel::passwordField), &ignored);
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
    terminal::out("Logged out " + visible(*account) + ".\n");
    return exitSuccess;
}

// Logged in, the account's first listing is asked for as the publish options ask for it: an
// expired login or an unreachable service shows here, not only when publishing.
int runStatus(PluginSession& session, const ReportOptions& options) {
    const auto account = loggedInAccount(accountPanel(session));
    std::optional<std::string> problem;
    if (account) {
        if (const auto form = openPublishOptions(session, 1)) {
            if (const auto label = form->labelText(options::listingProblemLabel)) {
                problem = *label;
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
        terminal::out((account ? "Logged in as " + visible(*account) : std::string("Not logged in")) + "\n" +
                      "Service: " + serviceOrigin() + "\n" + "Store:   " + store + "\n");
    }
    if (problem) {
        failWith(visible(*problem));
    }
    return status;
}

int runDestinations(PluginSession& session, const ReportOptions& options) {
    auto opened = openPublishOptions(session, 1);
    if (!opened) {
        failWith("the plugin offers no publish action");
        return exitFailure;
    }
    PublishOptionsForm& form = *opened;
    if (!form.showsLists()) {
        failWith(visible(form.notice()) + "\n  Log in with: galvoria-host login");
        return exitFailure;
    }

    // Every source, workspace and folder is chosen in turn, as a person going through the lists.
    // Each choice lists again; a listing that fails ends the walk, as the tree would be untrue.
    co::Value sources = co::Value::array();
    std::string text;
    if (const auto problem = form.labelText(options::listingProblemLabel)) {
        return listingFailed(options, *problem);
    }
    if (const auto problem = listTree(form, 0, sources, text)) {
        return listingFailed(options, *problem);
    }
    if (options.json) {
        printJson({{"service", serviceOrigin()}, {"sources", std::move(sources)}});
    } else {
        terminal::out(text.empty() ? "No account or team is listed for this login.\n" : text);
    }
    return exitSuccess;
}

}  // namespace galvoria::host
