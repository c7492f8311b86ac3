// The routes of the photos: a listed photo's bytes, its removal, and the files the browser sends,
// written to disk as they arrive.

#include <fcntl.h>
#include <sys/statvfs.h>

#include <httplib.h>

#include <cerrno>
#include <fstream>

#include "host/ui/UiSecurity.hpp"
#include "host/ui/UiServer.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/FileWrite.hpp"

namespace galvoria::host::ui {
namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;

namespace {

// Room left on the disk after an upload, so that the host's other files still fit.
constexpr std::uint64_t spareBytes = std::uint64_t{64} << 20U;

}  // namespace

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

std::optional<UiServer::UploadHead> UiServer::uploadHead(const Request& request, Response& response) {
    closeAfter(response);  // a refused upload's body is not read
    if (job_ && job_->running()) {
        answerMessage(response, 409, "Photos cannot be added while a publish is in flight.");
        return std::nullopt;
    }
    // The page sends the name percent-encoded; cpp-httplib hands header values over decoded, and
    // only the header's own string keeps a NUL the name may hold.
    const auto header = request.headers.find("X-File-Name");
    const std::string name = header == request.headers.end() ? std::string() : header->second;
    if (const auto problem = fileNameProblem(name)) {
        answerMessage(response, 400, *problem);
        return std::nullopt;
    }
    const std::string length = request.get_header_value("Content-Length");
    if (length.empty() || length.size() > 19 || length.find_first_not_of("0123456789") != std::string::npos) {
        answerMessage(response, 400, "The upload of " + name + " has no length (Content-Length is required).");
        return std::nullopt;
    }
    const std::uint64_t bytes = std::stoull(length);
    if (bytes > largestUploadBytes) {
        answerMessage(response, 413, name + " is larger than 2 GiB and cannot be added.");
        return std::nullopt;
    }
    if (bytes == 0) {
        answerMessage(response, 400, name + " is empty.");
        return std::nullopt;
    }
    struct statvfs disk {};
    if (::statvfs(shelf_.uploadFolder().c_str(), &disk) != 0 ||
        static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < bytes + spareBytes) {
        answerMessage(response, 507, "Not enough free space for " + name + ": the disk would fill.");
        return std::nullopt;
    }
    return UploadHead{name, bytes};
}

void UiServer::upload(const Request& request, Response& response, const httplib::ContentReader& reader) {
    const auto head = uploadHead(request, response);
    if (!head) {
        return;
    }
    const std::string& name = head->name;
    const std::uint64_t bytes = head->bytes;
    std::string problem;
    const auto upload = shelf_.beginUpload(name, problem);
    if (!upload) {
        answerMessage(response, 500, problem);
        return;
    }
    platform::FileDescriptor file(::open(upload->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    std::uint64_t written = 0;
    int writeError = 0;
    const bool received = file.valid() && reader([&](const char* data, std::size_t size) {
                              if (written + size > bytes) {
                                  return false;
                              }
                              if (!platform::writeAll(file.get(), std::string_view(data, size))) {
                                  writeError = errno == 0 ? EIO : errno;
                                  return false;
                              }
                              written += size;
                              return true;
                          });
    const bool closed = file.valid() && file.close();
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

}  // namespace galvoria::host::ui
