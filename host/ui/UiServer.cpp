#include "host/ui/UiServer.hpp"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include <httplib.h>

#include "host/ui/UiSecurity.hpp"
#include "platform/FileWrite.hpp"

namespace galvoria::host::ui {
namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;

namespace {

constexpr std::size_t largestJsonBytes = std::size_t{1} << 20U;
constexpr auto progressInterval = std::chrono::milliseconds(500);
constexpr auto keepAliveInterval = std::chrono::seconds(15);
// Room left on the disk after an upload, so that the host's other files still fit.
constexpr std::uint64_t spareBytes = std::uint64_t{64} << 20U;

bool isApi(const Request& request) { return request.path.rfind("/api/", 0) == 0; }

// An answer after which the connection is closed: its request's body may not have been read.
void closeAfter(Response& response) { response.set_header("Connection", "close"); }

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
    if (!post && request.method != "GET" && request.method != "HEAD") {
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
    server.set_payload_max_length(static_cast<std::size_t>(largestUploadBytes));
    // An idle connection of the browser is closed soon, so a stop is not held up by it.
    server.set_keep_alive_timeout(2);
    server.set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"X-Frame-Options", "DENY"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-store"}});
    server.set_pre_routing_handler([this](const Request& request, Response& response) {
        return admits(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                         : httplib::Server::HandlerResponse::Handled;
    });
    // No text of an exception reaches the page.
    server.set_exception_handler([](const Request&, Response& response, std::exception_ptr) {
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

void UiServer::photo(const std::string& id, Response& response) {
    const auto found = shelf_.find(id);
    if (!found) {
        answerMessage(response, 404, "No photo has this id.");
        return;
    }
    auto file = std::make_shared<std::ifstream>(found->path, std::ios::binary);
    std::error_code error;
    const auto size = fs::file_size(found->path, error);
    if (!*file || error) {
        answerMessage(response, 404, "The photo's file cannot be read any more.");
        return;
    }
    response.set_content_provider(static_cast<std::size_t>(size), photoType(found->name),
                                  [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                      constexpr std::size_t chunk = 64 * 1024;
                                      std::string buffer(std::min(length, chunk), '\0');
                                      file->seekg(static_cast<std::streamoff>(offset));
                                      file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                                      const auto got = static_cast<std::size_t>(file->gcount());
                                      return got > 0 && sink.write(buffer.data(), got);
                                  });
}

void UiServer::removePhoto(const Request& request, Response& response) {
    const auto body = jsonBody(request, response);
    if (!body) {
        return;
    }
    if (job_ && job_->running()) {
        answerMessage(response, 409, "Photos cannot be removed while a publish is in flight.");
        return;
    }
    const auto id = body->find("id");
    if (id == body->end() || !id->is_string() || !shelf_.remove(id->get<std::string>())) {
        answerMessage(response, 404, "No photo has this id.");
        return;
    }
    board_.photosChanged();
    response.status = 204;
}

void UiServer::upload(const Request& request, Response& response, const httplib::ContentReader& reader) {
    closeAfter(response);  // a refused upload's body is not read
    if (job_ && job_->running()) {
        answerMessage(response, 409, "Photos cannot be added while a publish is in flight.");
        return;
    }
    // The page sends the name percent-encoded; cpp-httplib hands header values over decoded, and
    // only the header's own string keeps a NUL the name may hold.
    const auto header = request.headers.find("X-File-Name");
    const std::string name = header == request.headers.end() ? std::string() : header->second;
    if (const auto problem = fileNameProblem(name)) {
        answerMessage(response, 400, *problem);
        return;
    }
    const std::string length = request.get_header_value("Content-Length");
    if (length.empty() || length.size() > 19 || length.find_first_not_of("0123456789") != std::string::npos) {
        answerMessage(response, 400, "The upload of " + name + " has no length (Content-Length is required).");
        return;
    }
    const std::uint64_t bytes = std::stoull(length);
    if (bytes > largestUploadBytes) {
        answerMessage(response, 413, name + " is larger than 2 GiB and cannot be added.");
        return;
    }
    if (bytes == 0) {
        answerMessage(response, 400, name + " is empty.");
        return;
    }
    struct statvfs disk {};
    if (::statvfs(shelf_.uploadFolder().c_str(), &disk) != 0 ||
        static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < bytes + spareBytes) {
        answerMessage(response, 507, "Not enough free space for " + name + ": the disk would fill.");
        return;
    }
    std::string problem;
    const auto upload = shelf_.beginUpload(name, problem);
    if (!upload) {
        answerMessage(response, 500, problem);
        return;
    }
    const int fd = ::open(upload->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::uint64_t written = 0;
    int writeError = 0;
    const bool received = fd >= 0 && reader([&](const char* data, std::size_t size) {
                              if (written + size > bytes) {
                                  return false;
                              }
                              if (!platform::writeAll(fd, std::string_view(data, size))) {
                                  writeError = errno == 0 ? EIO : errno;
                                  return false;
                              }
                              written += size;
                              return true;
                          });
    const bool closed = fd >= 0 && ::close(fd) == 0;
    if (!received || !closed || written != bytes) {
        shelf_.discardUpload(*upload);
        if (writeError == ENOSPC || writeError == EDQUOT) {
            answerMessage(response, 507, "Not enough free space for " + name + ": the disk is full.");
        } else {
            answerMessage(response, 400, "The upload of " + name + " did not arrive whole.");
        }
        return;
    }
    const auto photo = shelf_.keepUpload(*upload, name, bytes);
    board_.photosChanged();
    answerJson(response, 201, photo.json());
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
            const co::Value state = {{"photos", shelf_.json()}, {"publish", publishState()}};
            return sink.write(event("state", state).data(), event("state", state).size());
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
