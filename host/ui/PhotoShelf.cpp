#include "host/ui/PhotoShelf.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "host/ui/UiSecurity.hpp"

namespace galvoria::host::ui {
namespace fs = std::filesystem;

co::Value Photo::json() const {
    const auto type = photoType(name);
    return {{"id", id}, {"name", name}, {"size", size}, {"type", type}, {"thumbnail", hasThumbnail(type)}};
}

std::optional<fs::path> makeUploadFolder(std::string& problem) {
    std::vector<fs::path> places;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr) {
        const fs::path place(runtime);
        struct stat status {};
        if (place.is_absolute() && ::stat(runtime, &status) == 0 && S_ISDIR(status.st_mode) &&
            ::access(runtime, W_OK | X_OK) == 0) {
            places.push_back(place);
        }
    }
    std::error_code error;
    const auto temporary = fs::temp_directory_path(error);
    places.push_back(error ? fs::path("/tmp") : temporary);
    for (const auto& place : places) {
        std::string pattern = (place / "galvoria-ui-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            return fs::path(pattern);  // mkdtemp makes it 0700
        }
    }
    problem = "cannot make a private folder for the files the browser sends";
    return std::nullopt;
}

PhotoShelf::PhotoShelf(fs::path uploadFolder) : folder_(std::move(uploadFolder)) {}

PhotoShelf::~PhotoShelf() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string PhotoShelf::nextId() { return "p" + std::to_string(++lastId_); }

Photo PhotoShelf::addGiven(const fs::path& path) {
    std::error_code sizeError;
    const auto size = fs::file_size(path, sizeError);
    std::error_code ignored;
    const auto absolute = fs::absolute(path, ignored).lexically_normal();
    std::lock_guard lock(mutex_);
    Photo photo{nextId(), path.filename().string(), absolute, sizeError ? 0 : static_cast<std::uint64_t>(size), false};
    photos_.push_back(photo);
    return photo;
}

std::optional<PhotoShelf::Upload> PhotoShelf::beginUpload(const std::string& name, std::string& problem) {
    std::string id;
    {
        std::lock_guard lock(mutex_);
        id = nextId();
    }
    const fs::path place = folder_ / id;
    if (::mkdir(place.c_str(), 0700) != 0) {
        problem = "Cannot keep " + name + ": the host's upload folder cannot be written.";
        return std::nullopt;
    }
    return Upload{id, place / name};
}

Photo PhotoShelf::keepUpload(const Upload& upload, const std::string& name, std::uint64_t size) {
    std::lock_guard lock(mutex_);
    Photo photo{upload.id, name, upload.path, size, true};
    photos_.push_back(photo);
    return photo;
}

void PhotoShelf::discardUpload(const Upload& upload) {
    std::error_code ignored;
    fs::remove_all(upload.path.parent_path(), ignored);
}

std::vector<Photo> PhotoShelf::photos() const {
    std::lock_guard lock(mutex_);
    return photos_;
}

std::optional<Photo> PhotoShelf::find(const std::string& id) const {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(photos_.begin(), photos_.end(), [&id](const Photo& p) { return p.id == id; });
    return found == photos_.end() ? std::nullopt : std::optional<Photo>(*found);
}

bool PhotoShelf::remove(const std::string& id) {
    std::optional<Photo> removed;
    {
        std::lock_guard lock(mutex_);
        const auto found = std::find_if(photos_.begin(), photos_.end(), [&id](const Photo& p) { return p.id == id; });
        if (found == photos_.end()) {
            return false;
        }
        removed = *found;
        photos_.erase(found);
    }
    if (removed->uploaded) {
        std::error_code ignored;
        fs::remove_all(removed->path.parent_path(), ignored);
    }
    return true;
}

co::Value PhotoShelf::json() const {
    co::Value list = co::Value::array();
    for (const auto& photo : photos()) {
        list.push_back(photo.json());
    }
    return list;
}

}  // namespace galvoria::host::ui
