#pragma once
// The photos a page can publish: the files given on the command line and the files the browser
// sent. Each has an id of the server's own (p1, p2, ... never reused); a path never leaves the
// host and never comes in from the page. Sent files are kept in a private folder (0700) made for
// this run, each in a folder of its own so that it keeps its name, and removed with it.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/Value.hpp"

namespace galvoria::host::ui {

struct Photo {
    std::string id;
    std::string name;
    std::filesystem::path path;
    std::uint64_t size = 0;
    bool uploaded = false;  // a copy the browser sent: deleted when removed

    [[nodiscard]] co::Value json() const;
};

// Where uploads go: a new folder under $XDG_RUNTIME_DIR when that names a usable folder, else under
// the temporary folder; no value (and `problem` set) when none can be made.
std::optional<std::filesystem::path> makeUploadFolder(std::string& problem);

class PhotoShelf {
public:
    explicit PhotoShelf(std::filesystem::path uploadFolder);
    ~PhotoShelf();  // removes the upload folder with every copy in it
    PhotoShelf(const PhotoShelf&) = delete;
    PhotoShelf& operator=(const PhotoShelf&) = delete;

    // A file of the command line, listed as it is.
    Photo addGiven(const std::filesystem::path& path);

    // An upload in progress: a new file named `name` in a folder of its own; no value when the file
    // cannot be made. The caller writes it, then keeps it or throws it away.
    struct Upload {
        std::string id;
        std::filesystem::path path;
    };
    std::optional<Upload> beginUpload(const std::string& name, std::string& problem);
    Photo keepUpload(const Upload& upload, const std::string& name, std::uint64_t size);
    void discardUpload(const Upload& upload);

    [[nodiscard]] std::vector<Photo> photos() const;
    [[nodiscard]] std::optional<Photo> find(const std::string& id) const;
    // Takes the photo off the list (deleting an uploaded copy); false for an id not listed.
    bool remove(const std::string& id);
    [[nodiscard]] co::Value json() const;

    [[nodiscard]] const std::filesystem::path& uploadFolder() const { return folder_; }

private:
    std::string nextId();

    std::filesystem::path folder_;
    mutable std::mutex mutex_;
    std::uint64_t lastId_ = 0;
    std::vector<Photo> photos_;
};

}  // namespace galvoria::host::ui
