#pragma once
// COFileHandlingPluginTask and COPluginActionPublishResult.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/PluginAction.hpp"
#include "framework/Value.hpp"

namespace co {

class COFileHandlingPluginTask {
public:
    // No file list is expressible: the host may hand over a task without one.
    COFileHandlingPluginTask(ActionPtr action, std::optional<std::vector<std::string>> files)
        : action_(std::move(action)), files_(std::move(files)) {}
    virtual ~COFileHandlingPluginTask();

    COFileHandlingPluginTask(const COFileHandlingPluginTask&) = delete;
    COFileHandlingPluginTask& operator=(const COFileHandlingPluginTask&) = delete;

    [[nodiscard]] const ActionPtr& action() const { return action_; }
    [[nodiscard]] const std::optional<std::vector<std::string>>& files() const { return files_; }
    [[nodiscard]] const std::optional<Value>& settings() const { return settings_; }
    void setSettings(std::optional<Value> settings) { settings_ = std::move(settings); }

    // Set by the host (for instance when the user presses Cancel), read by the plugin on its own
    // thread.
    [[nodiscard]] bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    void setCancelled(bool cancelled) { cancelled_.store(cancelled, std::memory_order_release); }

private:
    ActionPtr action_;
    std::optional<std::vector<std::string>> files_;
    std::optional<Value> settings_;
    std::atomic<bool> cancelled_{false};
};

using TaskPtr = std::shared_ptr<COFileHandlingPluginTask>;

class COPluginActionPublishResult {
public:
    COPluginActionPublishResult() = default;  // the empty result
    COPluginActionPublishResult(std::string url, std::string message)
        : url_(std::move(url)), message_(std::move(message)) {}

    [[nodiscard]] const std::optional<std::string>& url() const { return url_; }
    [[nodiscard]] const std::optional<std::string>& message() const { return message_; }

private:
    std::optional<std::string> url_;
    std::optional<std::string> message_;
};

using PublishResultPtr = std::shared_ptr<COPluginActionPublishResult>;

}  // namespace co
