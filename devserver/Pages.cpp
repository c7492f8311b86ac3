// The service's web pages: a project's library (its published files, with thumbnails for images),
// the password reminder page, and the stored files the library shows.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "devserver/ServerImpl.hpp"
#include "platform/FileDescriptor.hpp"

namespace galvoria::devserver {

namespace {

constexpr const char* pageStyle = R"(
    body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; margin: 0; color: #1d1d1f; background: #f5f5f7; }
    header { background: #1d1d1f; color: #fff; padding: 12px 24px; font-weight: 600; letter-spacing: .02em; }
    main { max-width: 960px; margin: 0 auto; padding: 24px; }
    h1 { font-size: 28px; margin: 0 0 4px; }
    .meta, .empty { color: #6e6e73; }
    ul.files { list-style: none; padding: 0; display: grid; grid-template-columns: repeat(auto-fill, minmax(200px, 1fr)); gap: 16px; }
    ul.files li { background: #fff; border-radius: 8px; padding: 12px; box-shadow: 0 1px 3px rgba(0,0,0,.08); overflow-wrap: anywhere; }
    ul.files img { width: 100%; height: 150px; object-fit: cover; border-radius: 4px; background: #e8e8ed; }
    .placeholder { height: 150px; display: flex; align-items: center; justify-content: center; background: #e8e8ed; border-radius: 4px; color: #6e6e73; }
    .name { display: block; font-weight: 600; margin-top: 8px; }
    .details { display: block; color: #6e6e73; font-size: 13px; }
    form { display: flex; flex-direction: column; gap: 8px; max-width: 360px; }
)";

std::string page(const std::string& title, const std::string& content) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           htmlEscape(title) + " · galvoria</title>\n<style>" + pageStyle + "</style>\n</head>\n<body>\n" +
           "<header>galvoria</header>\n<main>\n" + content + "</main>\n</body>\n</html>\n";
}

void sendPage(httplib::Response& response, int status, const std::string& title, const std::string& content) {
    response.status = status;
    response.set_content(page(title, content), "text/html; charset=utf-8");
}

void sendNotFoundPage(httplib::Response& response, const std::string& what) {
    sendPage(response, 404, "Not found", "<h1>Not found</h1>\n<p class=\"empty\">" + htmlEscape(what) + "</p>\n");
}

// Types a browser shows in an <img>.
bool isDisplayableImage(const std::string& contentType) {
    return contentType == "image/jpeg" || contentType == "image/png" || contentType == "image/gif" ||
           contentType == "image/webp" || contentType == "image/avif";
}

}  // namespace

void Server::Impl::registerPageRoutes() {
    front.Get("/project/(.*)", [this](const httplib::Request& request, httplib::Response& response) {
        static const std::regex pattern("^/project/([^/]+)/library$");
        std::smatch match;
        std::string path = rawPathOf(request);
        if (!std::regex_match(path, match, pattern)) return sendNotFoundPage(response, "There is no page here.");
        const std::string projectId = percentDecode(match[1].str());

        std::lock_guard lock(stateMutex);
        const ProjectRecord* project = state.project(projectId);
        if (project == nullptr) return sendNotFoundPage(response, "This project does not exist or has been removed.");
        const WorkspaceRecord* workspace = state.workspace(project->workspaceId);

        std::string content = "<h1>" + htmlEscape(project->name) + "</h1>\n<p class=\"meta\">";
        if (workspace != nullptr) content += htmlEscape(workspace->name) + " · ";
        content += std::to_string(project->files.size()) + (project->files.size() == 1 ? " file" : " files") + "</p>\n";
        if (project->files.empty()) {
            content += "<p class=\"empty\">No files have been published to this project yet.</p>\n";
        } else {
            content += "<ul class=\"files\">\n";
            for (const auto& file : project->files) {
                auto object = state.objects.find(file.key);
                bool viewable = object != state.objects.end() && object->second.bytesKept;
                content += "<li>";
                if (viewable && isDisplayableImage(file.contentType)) {
                    content += "<img src=\"/files/" + htmlEscape(percentEncodePath(file.key)) + "\" alt=\"" +
                               htmlEscape(file.name) + "\" loading=\"lazy\">";
                } else {
                    content += "<div class=\"placeholder\">" + htmlEscape(file.contentType) + "</div>";
                }
                content += "<span class=\"name\">" + htmlEscape(file.name) + "</span><span class=\"details\">" +
                           humanReadableSize(file.size) + " · <time datetime=\"" + htmlEscape(file.createdAt) + "\">" +
                           htmlEscape(displayTime(file.createdAt)) + "</time></span></li>\n";
            }
            content += "</ul>\n";
        }
        sendPage(response, 200, project->name, content);
    });

    front.Get("/files/(.*)", [this](const httplib::Request& request, httplib::Response& response) {
        std::string path = rawPathOf(request);
        const std::string key = percentDecode(std::string_view(path).substr(std::string_view("/files/").size()));
        std::string contentType;
        {
            std::lock_guard lock(stateMutex);
            auto object = state.objects.find(key);
            if (object == state.objects.end() || !object->second.bytesKept) {
                return sendMessage(response, 404, "Not Found.");
            }
            contentType = object->second.contentType;
        }
        // Shared with the content provider, which outlives this handler.
        auto fd = std::make_shared<platform::FileDescriptor>(
            ::open(storagePathForKey(storageDir, key).c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (!fd->valid() || ::fstat(fd->get(), &status) != 0) return sendMessage(response, 404, "Not Found.");
        response.status = 200;
        response.set_content_provider(
            static_cast<std::size_t>(status.st_size), contentType,
            [fd](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                std::vector<char> buffer(std::min<std::size_t>(length, 256 * 1024));
                ssize_t count = ::pread(fd->get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
                return count > 0 && sink.write(buffer.data(), static_cast<std::size_t>(count));
            });
    });

    front.Get("/forgot-password", [](const httplib::Request&, httplib::Response& response) {
        sendPage(response, 200, "Forgot your password?",
                 "<h1>Forgot your password?</h1>\n"
                 "<p class=\"meta\">Enter the e-mail address of your account and we will send you a link to choose "
                 "a new password.</p>\n"
                 "<form method=\"post\" action=\"/forgot-password\">\n"
                 "<label for=\"email\">E-mail address</label>\n"
                 "<input id=\"email\" name=\"email\" type=\"email\" autocomplete=\"email\" required>\n"
                 "<button type=\"submit\">Send reset link</button>\n</form>\n");
    });
    // The same answer whether or not an account has the address, so the page reveals no accounts.
    front.Post("/forgot-password", [](const httplib::Request&, httplib::Response& response) {
        sendPage(response, 200, "Check your e-mail",
                 "<h1>Check your e-mail</h1>\n<p class=\"meta\">If an account has that address, a link to choose a "
                 "new password is on its way.</p>\n");
    });
}

}  // namespace galvoria::devserver
