// The publish command: the files checked, the destination chosen, each task run and reported.

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <utility>

#include "host/CommandOutput.hpp"
#include "host/Commands.hpp"
#include "host/DestinationChooser.hpp"
#include "host/Interrupts.hpp"
#include "host/ProgressDisplay.hpp"
#include "host/PublishRun.hpp"
#include "host/Terminal.hpp"

namespace galvoria::host {
namespace fs = std::filesystem;
using terminal::visible;

namespace {

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

std::optional<std::string> checkPublish(const PublishOptions& options, bool interactive) {
    std::map<std::pair<dev_t, ino_t>, std::string> seen;
    for (const auto& file : options.files) {
        struct stat status {};
        if (::stat(file.c_str(), &status) != 0) {
            return "cannot publish " + visible(file) + ": no such file";
        }
        if (!S_ISREG(status.st_mode)) {
            return "cannot publish " + visible(file) + ": not a regular file";
        }
        if (status.st_size == 0) {
            return "cannot publish " + visible(file) + ": the file is empty";
        }
        // The same file under two paths counts too: it would be sent twice.
        const auto [earlier, fresh] = seen.try_emplace({status.st_dev, status.st_ino}, file);
        if (!fresh) {
            return "cannot publish " + visible(file) + " twice" +
                   (earlier->second == file ? std::string()
                                            : " (it is also given as " + visible(earlier->second) + ")");
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

int runPublish(PluginSession& session, const PublishOptions& options) {
    auto opened = openPublishOptions(session, options.files.size());
    if (!opened) {
        return refuse(options, exitFailure, "the plugin offers no publish action");
    }
    PublishOptionsForm& form = *opened;
    const auto& action = form.action();
    if (!form.showsLists()) {
        return refuse(options, exitFailure, visible(form.notice()) + "\n  Log in with: galvoria-host login");
    }

    auto chosen = chooseDestination(form, options, terminal::inputIsTerminal());
    if (chosen.stop) {
        return refuse(options, chosen.stop->status, chosen.stop->text);
    }
    Destination& destination = chosen.destination;
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
                      formatBytes(static_cast<double>(bytes)) + ") to " + destination.summary() + "\n");
    }
    int status = exitSuccess;
    co::Value reports = co::Value::array();
    for (const auto& task : *tasks) {
        if (!task) {
            continue;
        }
        // The host hands the plugin the options it keeps along with the task.
        task->setSettings(form.values());
        const CreationWatch watch;
        const TaskOutcome outcome = runTask(session, task, options);
        const auto created = watch.created();
        if (destination.newFolder && created.folder) {
            destination.createdFolderId = created.folder;
        }
        if (destination.newProject && created.project) {
            destination.createdProjectId = created.project;
        }
        reportOutcome(outcome, destination, options.json);
        reports.push_back(outcomeJson(outcome, destination));
        const int taskStatus = exitStatusOf(outcome.kind);
        if (taskStatus != exitSuccess && status != interrupts::interruptedStatus) {
            status = taskStatus;
        }
        if (outcome.kind == TaskOutcome::Kind::interrupted || outcome.kind == TaskOutcome::Kind::outputClosed) {
            break;  // nothing more is sent once interrupted or once nobody reads the output
        }
    }
    if (options.json) {
        co::Value document = reports.size() == 1 ? reports.front() : co::Value{{"tasks", reports}};
        if (reports.size() != 1) {
            document["status"] = status == exitSuccess ? "completed" : "failed";
        }
        document["destination"] = destination.json();
        document["files"] = options.files.size();
        printJson(document);
    }
    return status;
}

}  // namespace galvoria::host
