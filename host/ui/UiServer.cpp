#include "host/ui/UiServer.hpp"

#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include <httplib.h>

#include "host/ui/UiSecurity.hpp"

namespace galvoria::host::ui {
namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;

namespace {

constexpr std::size_t largestJsonBytes = std::size_t{1} << 20U;
constexpr auto progressInterval = std::chrono::milliseconds(500);
constexpr auto keepAliveInterval = std::chrono::seconds(15);

bool isApi(const Request& request) { return request.path.rfind("/api/", 0) == 0; }

std::string event(std::string_view name, const co::Value& data) {
    return "event: " + std::string(name) + "\ndata: " + data.dump(-1, ' ', false, co::Value::error_handler_t::replace) +
           "\n\n";
}

}  // namespace

void answerJson(Response& response, int status, const co::Value& body) {
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, co::Value::error_handler_t::replace), "application/json");
}

void answerMessage(Response& response, int status, const std::string& text) {
    answerJson(response, status, co::Value{{"message", text}});
}

void closeAfter(Response& response) { response.set_header("Connection", "close"); }

UiServer::UiServer(PluginSession* session, PhotoShelf& shelf, fs::path pageFolder)
    : session_(session),
      shelf_(shelf),
      pageFolder_(std::move(pageFolder)),
      server_(std::make_unique<httplib::Server>()),
      secret_(randomHex128()) {
    if (session_ != nullptr) {
        job_ = std::make_unique<PublishJob>(*session_, pluginMutex_, board_);
    }
    routes();
}

UiServer::~UiServer() {
    stop();
    finishPublish();
}

bool UiServer::bind(std::uint16_t port, std::string& problem) {
    if (secret_.empty()) {
        problem = "the system gives no random numbers for the page's secret";
        return false;
    }
    const std::string address = "127.0.0.1";
    if (port == 0) {
        const int chosen = server_->bind_to_any_port(address);
        if (chosen <= 0) {
            problem = "cannot listen on 127.0.0.1";
            return false;
        }
        port_ = static_cast<std::uint16_t>(chosen);
    } else {
        if (!server_->bind_to_port(address, port)) {
            problem = "cannot listen on 127.0.0.1:" + std::to_string(port) + " (is the port in use?)";
            return false;
        }
        port_ = port;
    }
    return true;
}

std::string UiServer::link() const { return "http://127.0.0.1:" + std::to_string(port_) + "/#key=" + secret_; }

void UiServer::serve() {
    if (!stopping_) {
        server_->listen_after_bind();
    }
}

void UiServer::stop() {
    stopping_ = true;
    board_.stop();
    server_->stop();
}

bool UiServer::interrupt() {
    const bool publishing = job_ && job_->interrupt();
    stop();
    return publishing;
}

void UiServer::finishPublish() {
    if (job_) {
        job_->join();
    }
}

std::optional<std::string> UiServer::exchange(const std::string& key) {
    std::lock_guard lock(sessionMutex_);
    // The key is compared in full even once it has been used.
    const bool matches = sameSecret(key, secret_);
    if (!matches || secretUsed_) {
        return std::nullopt;
    }
    secretUsed_ = true;
    cookie_ = randomHex128();
    if (cookie_.empty()) {
        return std::nullopt;
    }
    return cookie_;
}

bool UiServer::admits(const Request& request, Response& response) {
    if (!hostAllowed(request.get_header_value("Host"), port_)) {
        response.status = 421;
        response.set_content("This server answers only to 127.0.0.1:" + std::to_string(port_) +
                                 " and localhost:" + std::to_string(port_) + ".\n",
                             "text/plain; charset=utf-8");
        closeAfter(response);
        return false;
    }
    const bool api = isApi(request);
    const bool post = request.method == "POST";
    if (!post && request.method != "GET" && (api || request.method != "HEAD")) {
        answerMessage(response, 405, "This method is not allowed here.");
        closeAfter(response);
        return false;
    }
    if (post && !originAllowed(request.get_header_value("Origin"), port_)) {
        answerMessage(response, 403, "Requests that change something must come from this host's page.");
        closeAfter(response);
        return false;
    }
    if (!api) {
        if (post) {
            answerMessage(response, 405, "This method is not allowed here.");
            closeAfter(response);
            return false;
        }
        return true;
    }
    if (post && request.path != "/api/photos" && request.has_header("Content-Length") &&
        request.get_header_value<std::uint64_t>("Content-Length") > largestJsonBytes) {
        answerMessage(response, 413, "The request is too large.");
        closeAfter(response);
        return false;
    }
    if (post && request.path == "/api/session") {
        return true;
    }
    const auto cookie = cookieValue(request.get_header_value("Cookie"), cookieName);
    bool known = false;
    {
        std::lock_guard lock(sessionMutex_);
        known = cookie && !cookie_.empty() && sameSecret(*cookie, cookie_);
    }
    if (!known) {
        answerMessage(response, 401,
                      "This page has no session with the host. Open the link galvoria-host ui printed when it "
                      "started.");
        closeAfter(response);
        return false;
    }
    return true;
}

std::optional<co::Value> UiServer::jsonBody(const Request& request, Response& response) {
    auto body = co::Value::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        answerMessage(response, 400, "The request's body is not a JSON object.");
        return std::nullopt;
    }
    return body;
}

void UiServer::routes() {
    auto& server = *server_;
    server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    // The port is this server's alone: no SO_REUSEPORT, which would let another listener share it.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_payload_max_length(static_cast<std::size_t>(largestUploadBytes));
    // An idle connection of the browser is closed soon, so a stop is not held up by it.
    server.set_keep_alive_timeout(2);
    // A browser reading a large file from a slow disk may pause while it sends it.
    server.set_read_timeout(30);
    server.set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"X-Frame-Options", "DENY"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-store"}});
    // A client that waits for leave to send its body is refused before it sends it.
    server.set_expect_100_continue_handler([this](const Request& request, Response& response) {
        if (!admits(request, response)) {
            return response.status;
        }
        if (request.method == "POST" && request.path == "/api/photos" && !uploadHead(request, response)) {
            return response.status;
        }
        return 100;
    });
    server.set_pre_routing_handler([this](const Request& request, Response& response) {
        return admits(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                         : httplib::Server::HandlerResponse::Handled;
    });
    // No text of an exception reaches the page.
    server.set_exception_handler([](const Request&, Response& response, const std::exception_ptr& /*failure*/) {
        answerMessage(response, 500, "The host could not handle the request.");
    });
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request& request, Response& response) {
        if (!response.body.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (isApi(request)) {
            answerMessage(response, response.status, response.status == 404 ? "Not found." : "The request failed.");
        } else {
            response.set_content(response.status == 404 ? "Not found.\n" : "The request failed.\n",
                                 "text/plain; charset=utf-8");
        }
        return httplib::Server::HandlerResponse::Handled;
    }));

    server.Get("/", [this](const Request&, Response& response) { servePage("index.html", response); });
    server.Get("/api/state", [this](const Request&, Response& response) { state(response); });
    server.Get("/api/events", [this](const Request&, Response& response) { events(response); });
    server.Get("/api/account", [this](const Request&, Response& response) { account(response); });
    server.Get(R"(/api/photos/([^/]+))",
               [this](const Request& request, Response& response) { photo(request.matches[1], response); });
    server.Get(R"(/([^/]+))",
               [this](const Request& request, Response& response) { servePage(request.matches[1], response); });

    server.Post("/api/session", [this](const Request& request, Response& response) {
        const auto body = jsonBody(request, response);
        if (!body) {
            return;
        }
        const auto key = body->find("key");
        const auto cookie = key != body->end() && key->is_string() ? exchange(key->get<std::string>()) : std::nullopt;
        if (!cookie) {
            answerMessage(response, 403,
                          "This link has already been used or is not this host's. Open the link galvoria-host ui "
                          "printed when it started, in the browser it opened.");
            return;
        }
        response.status = 204;
        response.set_header("Set-Cookie",
                            std::string(cookieName) + "=" + *cookie + "; HttpOnly; SameSite=Strict; Path=/");
    });
    server.Post("/api/account/value",
                [this](const Request& request, Response& response) { accountValue(request, response); });
    server.Post("/api/account/press",
                [this](const Request& request, Response& response) { accountPress(request, response); });
    server.Post("/api/options",
                [this](const Request& request, Response& response) { publishOptions(request, response); });
    server.Post("/api/options/value",
                [this](const Request& request, Response& response) { publishOptionValue(request, response); });
    server.Post("/api/photos/remove",
                [this](const Request& request, Response& response) { removePhoto(request, response); });
    server.Post("/api/photos", [this](const Request& request, Response& response,
                                      const httplib::ContentReader& reader) { upload(request, response, reader); });
    server.Post("/api/publish", [this](const Request& request, Response& response) { publish(request, response); });
    server.Post("/api/publish/cancel", [this](const Request&, Response& response) {
        if (!job_ || !job_->cancel()) {
            answerMessage(response, 409, "No publish is in flight.");
            return;
        }
        response.status = 204;
    });
}

void UiServer::servePage(const std::string& name, Response& response) {
    const fs::path file = pageFolder_ / name;
    std::error_code error;
    if (!pageNameAllowed(name) || !fs::is_regular_file(file, error)) {
        response.status = 404;
        return;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        response.status = 404;
        return;
    }
    response.set_content(text.str(), pageType(name));
}

void UiServer::state(Response& response) {
    answerJson(response, 200, {{"photos", shelf_.json()}, {"publish", job_ ? job_->state() : co::Value(nullptr)}});
}

void UiServer::events(Response& response) {
    struct Listener {
        EventBoard::Seen seen;
        bool started = false;
        std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
    };
    auto listener = std::make_shared<Listener>();
    response.set_chunked_content_provider("text/event-stream", [this, listener](std::size_t, httplib::DataSink& sink) {
        const auto publishState = [this] { return job_ ? job_->state() : co::Value(nullptr); };
        if (!listener->started) {
            listener->started = true;
            listener->seen = board_.now();
            const auto text = event("state", {{"photos", shelf_.json()}, {"publish", publishState()}});
            return sink.write(text.data(), text.size());
        }
        const bool running = job_ && job_->running();
        const auto now = board_.wait(listener->seen, running ? progressInterval : keepAliveInterval);
        if (now.stopping) {
            sink.done();
            return true;
        }
        std::string text;
        if (now.photos != listener->seen.photos) {
            text += event("photos", {{"photos", shelf_.json()}});
        }
        if (now.finished != listener->seen.finished) {
            text += event("finished", publishState());
        } else if (now.progress != listener->seen.progress || running) {
            text += event("progress", publishState());
        }
        listener->seen = now;
        const auto clock = std::chrono::steady_clock::now();
        if (text.empty() && clock - listener->lastWrite >= keepAliveInterval) {
            text = ": keep-alive\n\n";
        }
        if (text.empty()) {
            return sink.is_writable();
        }
        listener->lastWrite = clock;
        return sink.write(text.data(), text.size());
    });
}

}  // namespace galvoria::host::ui
