// The publishing task against the local service: creations, the order of the uploads, progress
// reports on the main thread, cancellation, and a result that tells the truth about failed files.

#include "platform/PreferenceStore.hpp"
#include "plugin/Preferences.hpp"
#include "plugin/PublishAction.hpp"
#include "publishing/PublishingTask.hpp"
#include "tests/publishing/PublishingFixture.hpp"

namespace galvoria::publishing::testing {
namespace {

using devserver::Fault;

const co::Value existingProject = {
    {"workspace-list-item", seededWorkspace}, {"folder-list-item", "none"}, {"project-list-item", seededProject}};
const co::Value newFolderAndProject = {{"workspace-list-item", seededWorkspace},
                                       {"folder-list-item", "0"},
                                       {"new-folder-item", "Trip"},
                                       {"project-list-item", "0"},
                                       {"new-project-item", "Day 1"}};

struct TaskRun {
    co::PublishResultPtr result;
    co::Error error;
    std::vector<std::string> reports;  // "completed/total message", each checked to run on the main thread
};

co::TaskPtr makeTask(std::optional<std::vector<std::string>> files, std::optional<co::Value> settings,
                     co::ActionPtr action = publishAction()) {
    auto task = std::make_shared<co::COFileHandlingPluginTask>(std::move(action), std::move(files));
    task->setSettings(std::move(settings));
    return task;
}

std::optional<std::string> stored(std::string_view key) {
    return platform::PreferenceStore::standard().stringForKey(key);
}

class PublishingTask : public PublishingTest {
protected:
    std::vector<std::string> files(const std::vector<std::string>& names) {
        std::vector<std::string> paths;
        for (const auto& name : names) {
            paths.push_back(name.starts_with("missing") ? (dir_.path() / name).string()
                                                        : write(name, patternBytes(1000, paths.size())));
        }
        return paths;
    }
    TaskRun publish(const co::TaskPtr& task) {
        TaskRun run;
        const co::ProgressBlock progress = [&](const co::TaskPtr& reported, std::uint64_t completed,
                                               std::uint64_t total, const std::string& message) {
            EXPECT_EQ(reported, task);
            EXPECT_TRUE(platform::MainQueue::shared().isMainThread());
            run.reports.push_back(std::to_string(completed) + "/" + std::to_string(total) + " " + message);
        };
        run.result = startPublishingTask(Network(server_->origin()), *session_, task, &run.error, progress);
        platform::MainQueue::shared().waitUntilDrained();
        return run;
    }
    std::string libraryOf(const std::string& project) { return server_->origin() + "/project/" + project + "/library"; }
};

void expectResult(const TaskRun& run, const std::string& url, const std::string& message) {
    ASSERT_TRUE(run.result) << run.error.localizedDescription() << ": " << run.error.localizedFailureReason();
    EXPECT_EQ(run.result->url(), url);
    EXPECT_EQ(run.result->message(), message);
}
void expectError(const TaskRun& run, const std::string& description, const std::string& reason) {
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.error.localizedDescription(), description);
    EXPECT_EQ(run.error.localizedFailureReason(), reason);
}

TEST_F(PublishingTask, UploadsEveryFileInTurnAndReportsEachOnTheMainThread) {
    const TaskRun run = publish(makeTask(files({"a.jpg", "b.jpg", "c.jpg"}), existingProject));

    expectResult(run, libraryOf(seededProject), "Publishing completed!");
    EXPECT_EQ(run.reports, (std::vector<std::string>{"1/3 Publishing a.jpg (1 of 3)", "2/3 Publishing b.jpg (2 of 3)",
                                                     "3/3 Publishing c.jpg (3 of 3)"}));
    std::string sent;
    for (const auto& request : server_->recordedRequests()) {
        sent += request.target == "/api/upload/sign/lightroom"
                    ? co::Value::parse(request.body).at("fileName").get<std::string>() + ":"
                    : request.target.substr(request.target.rfind('/') + 1) + " ";
    }
    EXPECT_EQ(sent, "a.jpg:upload complete b.jpg:upload complete c.jpg:upload complete ");
}

TEST_F(PublishingTask, CreatesTheFolderAndProjectFirstAndRemembersThem) {
    const TaskRun run = publish(makeTask(std::vector<std::string>{}, newFolderAndProject));

    ASSERT_TRUE(stored(prefs::lastCreatedFolder) && stored(prefs::lastCreatedProject));
    expectResult(run, libraryOf(*stored(prefs::lastCreatedProject)), "Publishing completed!");
    const auto project = requestsTo("/api/workspaces/" + seededWorkspace + "/projects");
    ASSERT_EQ(project.size(), 1U);
    EXPECT_EQ(co::Value::parse(project[0].body).at("folder_id"), *stored(prefs::lastCreatedFolder));
    EXPECT_TRUE(run.reports.empty());
}

struct OutcomeCase {
    std::string label;
    std::vector<std::string> names;
    std::optional<Fault> storageFault;
    std::optional<std::string> message;  // no value: the task fails with `reason`
    std::string reason;
};
void PrintTo(const OutcomeCase& outcome, std::ostream* out) { *out << outcome.label; }

class TaskOutcome : public PublishingTask, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(TaskOutcome, NamesTheFilesThatWereNotPublished) {
    const OutcomeCase& outcome = GetParam();
    if (outcome.storageFault) {
        server_->setFault("storage", *outcome.storageFault);
    }
    const TaskRun run = publish(makeTask(files(outcome.names), existingProject));
    if (outcome.message) {
        expectResult(run, libraryOf(seededProject), *outcome.message);
    } else {
        expectError(run, "Publishing failed", outcome.reason);
    }
    EXPECT_EQ(run.reports.size(), outcome.names.size()) << "one report per file, failed or not";
}

INSTANTIATE_TEST_SUITE_P(Files, TaskOutcome,
                         ::testing::Values(OutcomeCase{"OneMissing",
                                                       {"a.jpg", "missing-b.jpg", "c.jpg"},
                                                       std::nullopt,
                                                       "Published 2 of 3 files. Not published: missing-b.jpg."},
                                           OutcomeCase{"FirstStalled",
                                                       {"a.jpg", "b.jpg"},
                                                       Fault{.action = devserver::FaultAction::stall, .times = 1},
                                                       "Published 1 of 2 files. Not published: a.jpg."},
                                           OutcomeCase{"AllRefused",
                                                       {"a.jpg", "b.jpg", "c.jpg"},
                                                       Fault{.status = 403},
                                                       std::nullopt,
                                                       "None of the 3 files could be published: a.jpg, b.jpg, c.jpg."},
                                           OutcomeCase{"OnlyFileMissing",
                                                       {"missing.jpg"},
                                                       std::nullopt,
                                                       std::nullopt,
                                                       "The file missing.jpg could not be published."}),
                         [](const auto& info) { return info.param.label; });

// Tasks that end before any upload: nothing further is sent, stored or reported.
struct RefusalCase {
    std::string label;
    std::function<co::TaskPtr()> task;
    std::optional<std::pair<std::string, Fault>> fault;
    std::string description;
    std::string reason;
};
void PrintTo(const RefusalCase& refusal, std::ostream* out) { *out << refusal.label; }

class RefusedTask : public PublishingTask, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedTask, StopsBeforeAnyUpload) {
    if (GetParam().fault) {
        server_->setFault(GetParam().fault->first, GetParam().fault->second);
    }
    const TaskRun run = publish(GetParam().task());
    expectError(run, GetParam().description, GetParam().reason);
    EXPECT_TRUE(run.reports.empty());
    EXPECT_TRUE(requestsTo("/api/upload/").empty());
    EXPECT_FALSE(stored(prefs::lastCreatedProject));
    if (GetParam().fault && GetParam().fault->first == "create-folder") {
        EXPECT_TRUE(server_->recordedRequests().size() == 1 && !stored(prefs::lastCreatedFolder));
    }
}

const std::string invalidAction = "The action cannot be performed by this plugin.";
const std::string folderReason = "The folder \"Trip\" could not be created on galvoria.";
const std::string projectReason = "The project \"Day 1\" could not be created on galvoria.";
const std::vector<std::string> oneFile = {"/nonexistent/a.jpg"};

INSTANTIATE_TEST_SUITE_P(
    Tasks, RefusedTask,
    ::testing::Values(
        RefusalCase{"OtherAction",
                    [] {
                        auto other = std::make_shared<co::COPluginAction>("Publish to galvoria");
                        other->setIdentifier("com.example.export");
                        return makeTask(oneFile, existingProject, other);
                    },
                    std::nullopt, "Innvalid action.", invalidAction},
        RefusalCase{"NoFileList", [] { return makeTask(std::nullopt, existingProject); }, std::nullopt,
                    "Invalid task files.",
                    "The files supplied along with the task are not valid for starting the task."},
        RefusalCase{"WorkspaceNumber",
                    [] {
                        co::Value settings = newFolderAndProject;
                        settings["workspace-list-item"] = 42;
                        return makeTask(oneFile, settings);
                    },
                    std::nullopt, "Innvalid action.", invalidAction},
        RefusalCase{"FolderRefused", [] { return makeTask(oneFile, newFolderAndProject); },
                    std::pair("create-folder", Fault{.status = 403, .body = R"({"message": "Unauthorized."})"}),
                    "Creating folder failed", folderReason},
        RefusalCase{"FolderIdNumber", [] { return makeTask(oneFile, newFolderAndProject); },
                    std::pair("create-folder", Fault{.status = 201, .body = R"({"data": {"id": 5, "name": "Trip"}})"}),
                    "Creating folder failed", folderReason},
        RefusalCase{"ProjectIdEmpty", [] { return makeTask(oneFile, newFolderAndProject); },
                    std::pair("create-project", Fault{.status = 201, .body = R"({"data": {"id": ""}})"}),
                    "Creating project failed", projectReason}),
    [](const auto& info) { return info.param.label; });

TEST_F(PublishingTask, CancelledBeforeAFileUploadsNoMore) {
    // Before the first file: the creations have happened, nothing is uploaded.
    const co::TaskPtr early = makeTask(files({"a.jpg"}), newFolderAndProject);
    early->setCancelled(true);
    TaskRun run = publish(early);
    ASSERT_TRUE(run.result);
    EXPECT_FALSE(run.result->url() || run.result->message());
    EXPECT_TRUE(run.reports.empty() && requestsTo("/api/upload/").empty() && stored(prefs::lastCreatedProject));

    // During the first file: that file is finished, the second is not begun.
    const co::TaskPtr task = makeTask(files({"a.jpg", "b.jpg"}), existingProject);
    onLogLine([&](std::string_view line) {
        if (line.starts_with("Response: ")) {
            task->setCancelled(true);
        }
    });
    run = publish(task);
    ASSERT_TRUE(run.result);
    EXPECT_FALSE(run.result->url());
    EXPECT_EQ(run.reports, std::vector<std::string>{"1/2 Publishing a.jpg (1 of 2)"});
    EXPECT_EQ(requestsTo("/api/upload/sign/").size(), 1U);
    EXPECT_EQ(requestsTo("/api/upload/complete").size(), 1U);
}

}  // namespace
}  // namespace galvoria::publishing::testing
