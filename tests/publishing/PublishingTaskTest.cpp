// The publishing task against the local service: creations, the order of the uploads, progress
// reports on the main thread, cancellation, and a result that tells the truth about failed files.

#include "publishing/PublishingTask.hpp"
#include "tests/publishing/PublishingFixture.hpp"
#include "vocabulary/PublishAction.hpp"

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

class PublishingTask : public PublishingTest {
protected:
    // Files named "missing..." are not written.
    std::vector<std::string> files(const std::vector<std::string>& names) {
        std::vector<std::string> paths;
        for (const auto& name : names)
            paths.push_back(name.starts_with("missing") ? (dir_.path() / name).string()
                                                        : write(name, patternBytes(1000, paths.size())));
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
        run.result = startPublishingTask(client(), preferences_, task, &run.error, progress);
        platform::MainQueue::shared().waitUntilDrained();
        return run;
    }
    std::string libraryOf(const std::string& project) { return server_->origin() + "/project/" + project + "/library"; }
};

// `message` empty: the task fails with "Publishing failed" and `reason`.
void expectOutcome(const TaskRun& run, const std::string& url, const std::string& message, const std::string& reason) {
    if (message.empty()) {
        EXPECT_FALSE(run.result);
        EXPECT_EQ(run.error.localizedDescription() + ": " + run.error.localizedFailureReason(),
                  "Publishing failed: " + reason);
        return;
    }
    ASSERT_TRUE(run.result) << run.error.localizedDescription() << ": " << run.error.localizedFailureReason();
    EXPECT_EQ(run.result->url(), url);
    EXPECT_EQ(run.result->message(), message);
}

TEST_F(PublishingTask, UploadsEveryFileInTurnAndReportsEachOnTheMainThread) {
    const TaskRun run = publish(makeTask(files({"a.jpg", "b.jpg", "c.jpg"}), existingProject));

    expectOutcome(run, libraryOf(seededProject), "Publishing completed!", "");
    EXPECT_EQ(run.reports, (std::vector<std::string>{"1/3 Publishing a.jpg (1 of 3)", "2/3 Publishing b.jpg (2 of 3)",
                                                     "3/3 Publishing c.jpg (3 of 3)"}));
    std::string sent;
    for (const auto& request : server_->recordedRequests())
        sent += request.target == "/api/upload/sign/lightroom"
                    ? co::Value::parse(request.body).at("fileName").get<std::string>() + ":"
                    : request.target.substr(request.target.rfind('/') + 1) + " ";
    EXPECT_EQ(sent, "a.jpg:upload complete b.jpg:upload complete c.jpg:upload complete ");
}

// A new folder and project are created before the files and remembered: the fault matrix's creation
// cells; the project lands in the new folder: the terminal escape test publishes into it by folder.
struct OutcomeCase {
    std::string label;
    std::vector<std::string> names;
    std::optional<Fault> storageFault;
    std::string message;  // empty: the task fails with `reason`
    std::string reason;
};
void PrintTo(const OutcomeCase& outcome, std::ostream* out) { *out << outcome.label; }

// Every file refused by a step: the fault matrix.
class TaskOutcome : public PublishingTask, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(TaskOutcome, NamesTheFilesThatWereNotPublished) {
    if (GetParam().storageFault) server_->setFault("storage", *GetParam().storageFault);
    const TaskRun run = publish(makeTask(files(GetParam().names), existingProject));
    expectOutcome(run, libraryOf(seededProject), GetParam().message, GetParam().reason);
    EXPECT_EQ(run.reports.size(), GetParam().names.size()) << "one report per file, failed or not";
}

// Names holding ", " and "(" stay exactly as they are: the host reads the list back by the names
// it passed.
const std::vector<std::string> trickyPartly = {"a, b (1).jpg", "c.jpg", "missing (2), d.jpg"};
const std::vector<std::string> trickyAll = {"x (no answer from the storage), y.jpg", "missing, (z.jpg"};
const std::vector<std::string> onlyMissing = {"missing.jpg"};
INSTANTIATE_TEST_SUITE_P(
    Files, TaskOutcome,
    ::testing::Values(
        OutcomeCase{"TrickyNamesPartly", trickyPartly, Fault{.status = 500, .times = 1},
                    "Published 1 of 3 files. Not published: a, b (1).jpg (the storage refused the upload: 500), "
                    "missing (2), d.jpg (the file could not be read)."},
        OutcomeCase{"TrickyNamesAll", trickyAll, Fault{.status = 503}, "",
                    "None of the 2 files could be published: x (no answer from the storage), y.jpg (the storage "
                    "refused the upload: 503), missing, (z.jpg (the file could not be read)."},
        OutcomeCase{"OnlyFileMissing", onlyMissing, std::nullopt, "",
                    "The file could not be published: missing.jpg (the file could not be read)."}),
    [](const auto& info) { return info.param.label; });

// Tasks that end before any upload: nothing further is sent, stored or reported. A creation refused
// or answered unusably in general is in the fault matrix.
struct RefusalCase {
    std::string label;
    co::TaskPtr task;
    std::string route;  // the route that fails, if any, with `fault`
    Fault fault;
    std::string error;  // "description: reason"
};
void PrintTo(const RefusalCase& refusal, std::ostream* out) { *out << refusal.label; }

class RefusedTask : public PublishingTask, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedTask, StopsBeforeAnyUpload) {
    if (!GetParam().route.empty()) server_->setFault(GetParam().route, GetParam().fault);
    const TaskRun run = publish(GetParam().task);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.error.localizedDescription() + ": " + run.error.localizedFailureReason(), GetParam().error);
    EXPECT_TRUE(run.reports.empty());
    EXPECT_TRUE(requestsTo("/api/upload/").empty());
    EXPECT_FALSE(store_.stringForKey(prefs::lastCreatedProject));
}

const std::string invalidAction = "Innvalid action.: The action cannot be performed by this plugin.";
const std::vector<std::string> oneFile = {"/nonexistent/a.jpg"};
co::TaskPtr otherAction() {
    auto other = std::make_shared<co::COPluginAction>("Publish to galvoria");
    other->setIdentifier("com.example.export");
    return makeTask(oneFile, existingProject, other);
}
co::Value withWorkspace(co::Value settings, co::Value workspace) {
    settings["workspace-list-item"] = std::move(workspace);
    return settings;
}
Fault created(const char* body) { return {.status = 201, .body = body}; }
const Fault noFault;

INSTANTIATE_TEST_SUITE_P(
    Tasks, RefusedTask,
    ::testing::Values(
        RefusalCase{"OtherAction", otherAction(), "", noFault, invalidAction},
        RefusalCase{"NoAction", makeTask(oneFile, existingProject, nullptr), "", noFault, invalidAction},
        RefusalCase{"NoFileList", makeTask(std::nullopt, existingProject), "", noFault,
                    "Invalid task files.: The files supplied along with the task are not valid for starting the task."},
        RefusalCase{"WorkspaceNumber", makeTask(oneFile, withWorkspace(newFolderAndProject, 42)), "", noFault,
                    invalidAction},
        RefusalCase{"ProjectIdEmpty", makeTask(oneFile, newFolderAndProject), "create-project",
                    created(R"({"data": {"id": ""}})"),
                    "Creating project failed: The project \"Day 1\" could not be created on galvoria."}),
    [](const auto& info) { return info.param.label; });

TEST_F(PublishingTask, CancelledBeforeAFileUploadsNoMore) {
    // Before the first file: the creations have happened, nothing is uploaded.
    const co::TaskPtr early = makeTask(files({"a.jpg"}), newFolderAndProject);
    early->setCancelled(true);
    TaskRun run = publish(early);
    ASSERT_TRUE(run.result);
    EXPECT_FALSE(run.result->url() || run.result->message());
    EXPECT_TRUE(run.reports.empty() && requestsTo("/api/upload/").empty() &&
                store_.stringForKey(prefs::lastCreatedProject));

    // During the first file: that file is finished, the second is not begun.
    const co::TaskPtr task = makeTask(files({"a.jpg", "b.jpg"}), existingProject);
    log_.onLine([&](std::string_view line) {
        if (line.starts_with("Response: ")) task->setCancelled(true);
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
