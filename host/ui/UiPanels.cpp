// The routes that call the plugin: its account panel, the publish options and the publish. Each
// call goes through the session while the plugin lock is held, so the plugin sees one call at a
// time, as from the application.

#include <httplib.h>

#include <algorithm>

#include "host/HostObjects.hpp"
#include "host/ui/ElementJson.hpp"
#include "host/ui/UiServer.hpp"
#include "platform/PreferenceStore.hpp"

namespace galvoria::host::ui {
using httplib::Request;
using httplib::Response;

namespace {

void addError(co::Value& answer, const co::Error& error) {
    if (!error.empty()) {
        answer["error"] = errorToJson(error);
    }
}

// A change the store could not keep is lost whatever the plugin answered: the person hears the
// store's reason now, not what the plugin makes of the missing value at the next step.
void addLostChange(co::Value& answer, std::size_t failedBefore) {
    const auto& store = platform::PreferenceStore::standard();
    if (store.failedWrites() == failedBefore) {
        return;
    }
    answer["ok"] = false;
    answer["error"] = {{"description", "The preferences could not be saved."},
                       {"failureReason", store.lastWriteProblem().value_or("")}};
}

// The request's "settings" object; an empty one when it sent none.
co::Value settingsOf(const co::Value& body) {
    const auto found = body.find("settings");
    return found != body.end() && found->is_object() ? *found : co::Value::object();
}

std::optional<std::string> stringMember(const co::Value& body, const char* name) {
    const auto found = body.find(name);
    return found != body.end() && found->is_string() ? std::optional(found->get<std::string>()) : std::nullopt;
}

// Under which key the options drawn for these values are kept.
std::string optionsKey(const co::Value& settings) { return "options " + settings.dump(); }

// A panel as the plugin drew it, with its error when it drew none.
co::Value panelAnswer(const std::optional<std::vector<co::GroupPtr>>& groups, const co::Error& error) {
    co::Value answer = {{"groups", pageGroupsJson(groups)}};
    if (!groups) {
        addError(answer, error);
    }
    return answer;
}

// The setting a change names, when the request names one and a value; else the answer says so.
std::optional<std::string> changedSetting(const co::Value& body, Response& response) {
    auto setting = stringMember(body, "setting");
    if (!setting || !body.contains("value")) {
        answerMessage(response, 400, "The request names no setting or no value.");
        return std::nullopt;
    }
    return setting;
}

}  // namespace

std::optional<co::Value> UiServer::heldPanel(const std::string& key) {
    std::lock_guard lock(panelsMutex_);
    const auto found = panels_.find(key);
    return found == panels_.end() ? std::nullopt : std::optional(found->second);
}

void UiServer::keepPanel(const std::string& key, const co::Value& answer) {
    std::lock_guard lock(panelsMutex_);
    panels_[key] = answer;
}

bool UiServer::pluginReady(Response& response) {
    if (session_ == nullptr) {
        answerMessage(response, 503, "No plugin is loaded.");
        return false;
    }
    return true;
}

co::ActionPtr UiServer::publishAction(std::uint64_t fileCount, Response& response) {
    if (!action_) {
        action_ = session_->publishAction(std::max<std::uint64_t>(fileCount, 1));
    }
    if (!action_) {
        answerMessage(response, 503, "The plugin offers no publish action.");
    }
    return action_;
}

std::unique_lock<std::mutex> UiServer::lockForPanel(const std::string& key, Response& response) {
    std::unique_lock plugin(pluginMutex_, std::try_to_lock);
    if (!plugin.owns_lock()) {
        if (const auto held = heldPanel(key); held && job_->running()) {
            answerJson(response, 200, *held);
            return {};
        }
        plugin.lock();
    }
    return plugin;
}

void UiServer::answerAccountChange(Response& response, const std::function<SettingsOutcome(co::ErrorOut)>& change) {
    co::Error error;
    const auto failedBefore = platform::PreferenceStore::standard().failedWrites();
    const auto outcome = change(&error);
    co::Value answer = {{"ok", outcome.ok}};
    addError(answer, error);
    addLostChange(answer, failedBefore);
    answer["groups"] = pageGroupsJson(session_->settings(nullptr));
    keepPanel("account", {{"groups", answer["groups"]}});
    answerJson(response, 200, answer);
}

void UiServer::account(Response& response) {
    if (!pluginReady(response)) {
        return;
    }
    const auto plugin = lockForPanel("account", response);
    if (!plugin.owns_lock()) {
        return;
    }
    co::Error error;
    const auto answer = panelAnswer(session_->settings(&error), error);
    keepPanel("account", answer);
    answerJson(response, 200, answer);
}

void UiServer::accountValue(const Request& request, Response& response) {
    const auto body = jsonBody(request, response);
    if (!body || !pluginReady(response)) {
        return;
    }
    const auto setting = changedSetting(*body, response);
    if (!setting) {
        return;
    }
    std::lock_guard plugin(pluginMutex_);
    answerAccountChange(response,
                        [&](co::ErrorOut error) { return session_->updateValue(body->at("value"), *setting, error); });
}

void UiServer::accountPress(const Request& request, Response& response) {
    const auto body = jsonBody(request, response);
    if (!body || !pluginReady(response)) {
        return;
    }
    const auto identifier = stringMember(*body, "item");
    if (!identifier) {
        answerMessage(response, 400, "The request names no item.");
        return;
    }
    std::lock_guard plugin(pluginMutex_);
    // The button the panel shows under that identifier, or one standing for it.
    auto item = findItem(session_->settings(nullptr).value_or(std::vector<co::GroupPtr>{}), *identifier);
    if (!item) {
        auto button = std::make_shared<co::COSettingsButtonItem>();
        button->setIdentifier(*identifier);
        item = std::move(button);
    }
    answerAccountChange(response, [&](co::ErrorOut error) { return session_->pressButton(item, error); });
}

void UiServer::publishOptions(const Request& request, Response& response) {
    const auto body = jsonBody(request, response);
    if (!body || !pluginReady(response)) {
        return;
    }
    const auto settings = settingsOf(*body);
    const std::string key = optionsKey(settings);
    const auto plugin = lockForPanel(key, response);
    if (!plugin.owns_lock()) {
        return;
    }
    // Asked as the application asks before it shows the options: the plugin lists afresh.
    action_.reset();
    const auto action = publishAction(shelf_.photos().size(), response);
    if (!action) {
        return;
    }
    session_->prepareRendering(action);
    co::Error error;
    const auto answer = panelAnswer(session_->actionSettings(action, settings, &error), error);
    keepPanel(key, answer);
    answerJson(response, 200, answer);
}

void UiServer::publishOptionValue(const Request& request, Response& response) {
    const auto body = jsonBody(request, response);
    if (!body || !pluginReady(response)) {
        return;
    }
    const auto setting = changedSetting(*body, response);
    if (!setting) {
        return;
    }
    auto settings = settingsOf(*body);
    const auto& value = body->at("value");
    settings[*setting] = value;
    std::lock_guard plugin(pluginMutex_);
    const auto action = publishAction(shelf_.photos().size(), response);
    if (!action) {
        return;
    }
    co::Error error;
    const auto outcome = session_->updateActionValue(value, *setting, action, settings, &error);
    co::Value answer = {{"ok", outcome.ok}, {"refresh", outcome.asksForRefresh()}, {"settings", settings}};
    co::Error listing;
    answer["groups"] = pageGroupsJson(session_->actionSettings(action, settings, &listing));
    keepPanel(optionsKey(settings), {{"groups", answer["groups"]}});
    addError(answer, error);
    answerJson(response, 200, answer);
}

void UiServer::publish(const Request& request, Response& response) {
    const auto body = jsonBody(request, response);
    if (!body || !pluginReady(response)) {
        return;
    }
    if (job_->running()) {
        answerMessage(response, 409, "A publish is already in flight.");
        return;
    }
    std::vector<Photo> photos;
    const auto listed = body->find("photos");
    if (listed == body->end() || listed->is_null()) {
        photos = shelf_.photos();
    } else if (listed->is_array()) {
        for (const auto& id : *listed) {
            const auto photo = id.is_string() ? shelf_.find(id.get<std::string>()) : std::nullopt;
            if (!photo) {
                answerMessage(response, 400, "A photo to publish is not listed.");
                return;
            }
            if (std::none_of(photos.begin(), photos.end(), [&](const Photo& p) { return p.id == photo->id; })) {
                photos.push_back(*photo);
            }
        }
    } else {
        answerMessage(response, 400, "\"photos\" must be a list of photo ids.");
        return;
    }
    if (photos.empty()) {
        answerMessage(response, 400, "There is no photo to publish.");
        return;
    }
    const auto settings = settingsOf(*body);
    std::vector<co::TaskPtr> tasks;
    {
        std::lock_guard plugin(pluginMutex_);
        const auto action = publishAction(photos.size(), response);
        if (!action) {
            return;
        }
        co::Error error;
        if (!session_->validate(settings, action, &error)) {
            answerJson(response, 422, {{"error", errorToJson(error)}});
            return;
        }
        std::vector<std::string> paths;
        for (const auto& photo : photos) {
            paths.push_back(photo.path.string());
        }
        const auto formed = session_->tasks(action, paths, &error);
        if (!formed || std::none_of(formed->begin(), formed->end(), [](const auto& task) { return task; })) {
            const auto refusal =
                error.empty() ? co::Error::withTexts("The plugin formed no task for these photos.", "") : error;
            answerJson(response, 422, {{"error", errorToJson(refusal)}});
            return;
        }
        tasks = *formed;
    }
    if (!job_->start(settings, std::move(photos), std::move(tasks))) {
        answerMessage(response, 409, "A publish is already in flight.");
        return;
    }
    answerJson(response, 202, job_->state());
}

}  // namespace galvoria::host::ui
