#pragma once
// The host's web server for the page: it serves the page's files, the photos it was given and the
// plugin's panels as JSON, and runs one publish at a time. It listens on 127.0.0.1 only and holds
// every request to the rules of a local web page (see docs/ui.md): the Host header, the Origin of
// every POST, the session cookie got once for the secret printed at start.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/PluginSession.hpp"
#include "host/ui/PhotoShelf.hpp"
#include "host/ui/PublishJob.hpp"

namespace httplib {
class ContentReader;
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace galvoria::host::ui {

class UiServer {
public:
    // `session` may be null: the plugin's routes then answer 503 (for tests of the rules alone).
    UiServer(PluginSession* session, PhotoShelf& shelf, std::filesystem::path pageFolder);
    ~UiServer();
    UiServer(const UiServer&) = delete;
    UiServer& operator=(const UiServer&) = delete;

    // Listens on 127.0.0.1:`port` (0: a port the system picks); false with `problem` when it cannot.
    bool bind(std::uint16_t port, std::string& problem);
    [[nodiscard]] std::uint16_t port() const { return port_; }
    // The secret of the link printed at start.
    [[nodiscard]] const std::string& secret() const { return secret_; }
    [[nodiscard]] std::string link() const;

    // Serves until stop().
    void serve();
    // Stops serving (any thread); listeners of the events leave.
    void stop();
    // Ctrl-C: a publish in flight stops after its file; true when there was one.
    bool interrupt();
    // Waits for the publish in flight, if any, to end.
    void finishPublish();

private:
    void routes();
    bool admits(const httplib::Request& request, httplib::Response& response);
    std::optional<co::Value> jsonBody(const httplib::Request& request, httplib::Response& response);
    // The session's cookie for the secret, once; no value after that or for a wrong key.
    std::optional<std::string> exchange(const std::string& key);

    void servePage(const std::string& name, httplib::Response& response);
    void state(httplib::Response& response);
    void events(httplib::Response& response);
    // The photos' routes (UiPhotos.cpp).
    void photo(const std::string& id, httplib::Response& response);
    void removePhoto(const httplib::Request& request, httplib::Response& response);
    void upload(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    // An upload's name and length, checked before its body is read; no value when it is refused
    // (the refusal written in `response`).
    struct UploadHead {
        std::string name;
        std::uint64_t bytes = 0;
    };
    std::optional<UploadHead> uploadHead(const httplib::Request& request, httplib::Response& response);

    // The plugin's routes (UiPanels.cpp); each holds the plugin lock for its calls.
    void account(httplib::Response& response);
    void accountValue(const httplib::Request& request, httplib::Response& response);
    void accountPress(const httplib::Request& request, httplib::Response& response);
    void publishOptions(const httplib::Request& request, httplib::Response& response);
    void publishOptionValue(const httplib::Request& request, httplib::Response& response);
    void publish(const httplib::Request& request, httplib::Response& response);
    bool pluginReady(httplib::Response& response);
    // With the plugin lock held: the publish action for this many files; none when the plugin
    // offers none, which the answer then says.
    co::ActionPtr publishAction(std::uint64_t fileCount, httplib::Response& response);
    // The plugin lock for a panel's calls; an empty lock when a publish holds the plugin and the
    // panel under `key` was answered as the plugin last drew it.
    std::unique_lock<std::mutex> lockForPanel(const std::string& key, httplib::Response& response);
    // With the plugin lock held: answers a change of the account panel that `change` makes.
    void answerAccountChange(httplib::Response& response, const std::function<SettingsOutcome(co::ErrorOut)>& change);

    PluginSession* session_;
    PhotoShelf& shelf_;
    std::filesystem::path pageFolder_;
    std::unique_ptr<httplib::Server> server_;
    std::uint16_t port_ = 0;
    std::string secret_;
    std::atomic<bool> stopping_{false};

    std::mutex sessionMutex_;
    bool secretUsed_ = false;
    std::string cookie_;

    // While a publish holds the plugin, a second tab is shown the panels as the plugin last drew them.
    std::optional<co::Value> heldPanel(const std::string& key);
    void keepPanel(const std::string& key, const co::Value& answer);

    std::mutex pluginMutex_;  // one plugin call at a time
    co::ActionPtr action_;    // the publish action the options were asked for
    std::mutex panelsMutex_;
    std::map<std::string, co::Value> panels_;  // the last answers, by route and options
    EventBoard board_;
    std::unique_ptr<PublishJob> job_;
};

// Writes `{"message": text}` with this status.
void answerMessage(httplib::Response& response, int status, const std::string& text);
// An answer after which the connection is closed: its request's body may not have been read.
void closeAfter(httplib::Response& response);
void answerJson(httplib::Response& response, int status, const co::Value& body);

}  // namespace galvoria::host::ui
