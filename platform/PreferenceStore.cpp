#include "platform/PreferenceStore.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/FileDescriptor.hpp"
#include "platform/FileWrite.hpp"
#include "platform/Log.hpp"

namespace platform {
namespace fs = std::filesystem;

namespace {

std::string reason(int error) { return std::generic_category().message(error); }

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777U));
    return text;
}

enum class FileState { absent, valid, corrupt, unreadable };

// The store file's bytes, or why they cannot be had. The file is opened without waiting (a FIFO or
// a device at the path must not hold the caller), and only a regular file of at most
// maximumFileBytes is read.
struct FileText {
    FileState state = FileState::absent;
    std::string text;
    std::string problem;
};

FileText readStoreFile(const fs::path& file) {
    const auto unreadable = [](std::string problem) { return FileText{FileState::unreadable, {}, std::move(problem)}; };
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        const int error = errno;
        if (error == ENOENT) {
            return {};
        }
        return unreadable("cannot open " + file.string() + ": " + reason(error));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return unreadable("cannot examine " + file.string() + ": " + reason(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return unreadable(file.string() + " is not a regular file");
    }
    const auto tooLarge = [&] {
        return unreadable(file.string() + " is larger than " + std::to_string(PreferenceStore::maximumFileBytes) +
                          " bytes");
    };
    if (static_cast<std::uintmax_t>(info.st_size) > PreferenceStore::maximumFileBytes) {
        return tooLarge();
    }
    FileText out{FileState::valid, {}, {}};
    out.text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unreadable("cannot read " + file.string() + ": " + reason(errno));
        }
        if (got == 0) {
            return out;
        }
        out.text.append(buffer, static_cast<std::size_t>(got));
        // The file may have grown since it was examined.
        if (out.text.size() > PreferenceStore::maximumFileBytes) {
            return tooLarge();
        }
    }
}

// Creates the folder and the missing ones above it, each with mode 0700.
std::optional<std::string> createFolder(const fs::path& folder) {
    if (folder.empty()) {
        return std::nullopt;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? std::nullopt : std::optional(folder.string() + " is not a folder");
    }
    if (errno != ENOENT) {
        return "cannot reach the folder " + folder.string() + ": " + reason(errno);
    }
    if (auto problem = createFolder(folder.parent_path())) {
        return problem;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return "cannot create the folder " + folder.string() + ": " + reason(errno);
    }
    return std::nullopt;
}

// Moves an unparsable store aside as "<file>.corrupt-YYYYMMDDTHHMMSSZ" ("-N" added when taken).
std::optional<std::string> moveAside(const fs::path& file) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = file.string() + ".corrupt-" + stamp;
    std::string target = base;
    for (int n = 1; ::access(target.c_str(), F_OK) == 0; ++n) {
        target = base + "-" + std::to_string(n);
    }
    if (::rename(file.c_str(), target.c_str()) != 0) {
        return "cannot move the unparsable store " + file.string() + " aside to " + target + ": " + reason(errno);
    }
    log::line("Preferences: the store was not a JSON object of strings and was moved aside to " + target);
    return std::nullopt;
}

// Takes the members of one JSON object of strings, and stops at the first event that cannot belong
// to one: a file nested a million deep is refused at its second bracket, never built as values.
// A member named twice keeps its last value, as the JSON library's own objects do.
class FlatObjectReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    std::map<std::string, std::string> values;

    bool null() override { return false; }
    bool boolean(bool /*value*/) override { return false; }
    bool number_integer(number_integer_t /*value*/) override { return false; }
    bool number_unsigned(number_unsigned_t /*value*/) override { return false; }
    bool number_float(number_float_t /*value*/, const string_t& /*text*/) override { return false; }
    bool binary(binary_t& /*value*/) override { return false; }
    bool start_array(std::size_t /*elements*/) override { return false; }
    bool end_array() override { return false; }
    bool start_object(std::size_t /*elements*/) override {
        if (inObject_) {
            return false;  // an object as a member's value
        }
        inObject_ = true;
        return true;
    }
    bool end_object() override { return true; }
    bool key(string_t& name) override {
        key_ = std::move(name);
        return true;
    }
    bool string(string_t& value) override {
        if (!inObject_) {
            return false;
        }
        values[key_] = std::move(value);
        return true;
    }
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const nlohmann::detail::exception& /*error*/) override {
        return false;
    }

private:
    bool inObject_ = false;
    std::string key_;
};

std::mutex& standardMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unique_ptr<PreferenceStore>& standardSlot() {
    static std::unique_ptr<PreferenceStore> store;
    return store;
}

}  // namespace

struct PreferenceStore::Contents {
    FileState state = FileState::absent;
    std::map<std::string, std::string> values;
    std::string problem;  // why the file could not be read, when unreadable
};

std::optional<std::map<std::string, std::string>> parsePreferences(std::string_view text) {
    FlatObjectReader reader;
    if (!nlohmann::json::sax_parse(text, &reader)) {
        return std::nullopt;
    }
    return std::move(reader.values);
}

std::string serializePreferences(const std::map<std::string, std::string>& values) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : values) {
        object[key] = value;
    }
    return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

PreferenceStore::PreferenceStore(fs::path file) : file_(std::move(file)) {}

std::optional<fs::path> PreferenceStore::defaultPath() {
    const auto absoluteFolder = [](const char* name) -> std::optional<fs::path> {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0' || !fs::path(value).is_absolute()) {
            return std::nullopt;
        }
        return fs::path(value);
    };
    if (const auto config = absoluteFolder("XDG_CONFIG_HOME")) {
        return *config / "galvoria" / "preferences.json";
    }
    if (const auto home = absoluteFolder("HOME")) {
        return *home / ".config" / "galvoria" / "preferences.json";
    }
    return std::nullopt;
}

PreferenceStore& PreferenceStore::standard() {
    std::lock_guard lock(standardMutex());
    auto& slot = standardSlot();
    if (!slot) {
        // Without a location the store has an empty path: it reads as empty and refuses every write.
        slot = std::make_unique<PreferenceStore>(defaultPath().value_or(fs::path()));
    }
    return *slot;
}

void PreferenceStore::setStandardPath(const fs::path& file) {
    std::lock_guard lock(standardMutex());
    standardSlot() = std::make_unique<PreferenceStore>(file);
}

std::optional<std::string> PreferenceStore::folderProblem() const {
    if (file_.empty()) {
        return "no preference store file is named, and neither XDG_CONFIG_HOME nor HOME is an absolute path";
    }
    const fs::path folder = file_.parent_path().empty() ? fs::path(".") : file_.parent_path();
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return "cannot reach the folder " + folder.string() + ": " + reason(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return folder.string() + " is not a folder";
    }
    // Anyone who may write in the folder may plant a store (a token of their own account) or
    // replace the one written there.
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "the folder " + folder.string() + " is writable by others (mode " + modeText(info.st_mode) + ")";
    }
    return std::nullopt;
}

std::optional<std::string> PreferenceStore::lastWriteProblem() const {
    std::lock_guard lock(mutex_);
    return lastWriteProblem_;
}

std::size_t PreferenceStore::failedWrites() const {
    std::lock_guard lock(mutex_);
    return failedWrites_;
}

PreferenceStore::Contents PreferenceStore::load() const {
    Contents contents;
    if (auto problem = folderProblem()) {
        contents.state = FileState::unreadable;
        contents.problem = std::move(*problem);
    } else {
        auto read = readStoreFile(file_);
        contents.state = read.state;
        contents.problem = std::move(read.problem);
        if (read.state == FileState::valid) {
            if (auto values = parsePreferences(read.text)) {
                contents.values = std::move(*values);
            } else {
                contents.state = FileState::corrupt;
            }
        }
    }
    std::lock_guard lock(mutex_);
    if (contents.state != FileState::unreadable) {
        lastLoggedReadProblem_.clear();
    } else if (contents.problem != lastLoggedReadProblem_) {
        lastLoggedReadProblem_ = contents.problem;
        log::line("Preferences: the store reads as empty: " + contents.problem);
    }
    return contents;
}

std::optional<std::string> PreferenceStore::stringForKey(std::string_view key) const {
    auto contents = load();
    const auto found = contents.values.find(std::string(key));
    if (found == contents.values.end()) {
        return std::nullopt;
    }
    return std::move(found->second);
}

std::map<std::string, std::string> PreferenceStore::dictionary() const { return load().values; }

void PreferenceStore::setValue(std::string_view value, std::string_view key) { change(key, value); }

void PreferenceStore::removeObjectForKey(std::string_view key) { change(key, std::nullopt); }

void PreferenceStore::change(std::string_view key, const std::optional<std::string_view>& value) {
    auto problem = write(key, value);
    if (!problem) {
        return;
    }
    log::line("Preferences: the change of \"" + std::string(key) + "\" was not saved: " + *problem);
    std::lock_guard lock(mutex_);
    lastWriteProblem_ = std::move(problem);
    ++failedWrites_;
}

std::optional<std::string> PreferenceStore::write(std::string_view key, const std::optional<std::string_view>& value) {
    if (auto problem = folderProblem()) {
        return problem;
    }
    if (auto problem = createFolder(file_.parent_path())) {
        return problem;
    }
    const fs::path lockPath = file_.string() + ".lock";
    const FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!lock.valid()) {
        return "cannot open the lock file " + lockPath.string() + ": " + reason(errno);
    }
    struct stat info {};
    if (::fstat(lock.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return "the lock file " + lockPath.string() + " is not a regular file";
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return "cannot lock " + lockPath.string() + ": " + reason(errno);
        }
    }

    // Only a file that was read and did not parse is moved aside; one that could not be read is
    // left as it stands and nothing is written over it.
    Contents contents = load();
    if (contents.state == FileState::unreadable) {
        return contents.problem;
    }
    if (contents.state == FileState::corrupt) {
        if (auto problem = moveAside(file_)) {
            return problem;
        }
    }
    if (value) {
        contents.values[std::string(key)] = std::string(*value);
    } else {
        contents.values.erase(std::string(key));
    }
    const std::string text = serializePreferences(contents.values);

    // The temporary file has a fixed name, taken only under the lock: whatever stands there (a file
    // left by a writer that died, or a planted link) is removed, never followed, and at most one
    // temporary file can ever be left behind.
    const fs::path temporary = file_.string() + ".tmp";
    ::unlink(temporary.c_str());
    FileDescriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return "cannot create " + temporary.string() + ": " + reason(errno);
    }
    ::fchmod(out.get(), 0600);
    // A full disk, a file-size limit or a failing device: the temporary file goes, the store stays.
    if (!writeAll(out.get(), text) || ::fsync(out.get()) != 0 || !out.close()) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return "cannot write " + temporary.string() + ": " + reason(error);
    }
    if (::rename(temporary.c_str(), file_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return "cannot replace " + file_.string() + ": " + reason(error);
    }
    const FileDescriptor folder(
        ::open(file_.parent_path().empty() ? "." : file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) {
        ::fsync(folder.get());
    }
    return std::nullopt;
}

}  // namespace platform
