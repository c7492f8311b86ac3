#include "platform/PreferenceStore.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/FileWrite.hpp"
#include "platform/Log.hpp"

namespace platform {
namespace fs = std::filesystem;

namespace {

// Owns a file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

enum class FileState { absent, valid, corrupt };

struct Contents {
    FileState state = FileState::absent;
    std::map<std::string, std::string> values;
};

std::optional<std::string> readWhole(const fs::path& file, bool& absent) {
    absent = false;
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        absent = errno == ENOENT;
        return std::nullopt;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

Contents load(const fs::path& file) {
    Contents contents;
    bool absent = false;
    const auto text = readWhole(file, absent);
    if (!text) {
        contents.state = absent ? FileState::absent : FileState::corrupt;
        return contents;
    }
    auto values = parsePreferences(*text);
    if (!values) {
        contents.state = FileState::corrupt;
        return contents;
    }
    contents.values = std::move(*values);
    contents.state = FileState::valid;
    return contents;
}

void createFolder(const fs::path& folder) {
    if (folder.empty()) {
        return;
    }
    std::error_code error;
    if (fs::exists(folder, error)) {
        return;
    }
    createFolder(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        log::line("Preferences: cannot create the folder " + folder.string());
    }
}

// Moves an unreadable store aside as "<file>.corrupt-YYYYMMDDTHHMMSSZ" ("-N" added when taken).
void moveAside(const fs::path& file) {
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
    if (::rename(file.c_str(), target.c_str()) == 0) {
        log::line("Preferences: the store could not be read and was moved aside to " + target);
    }
}

std::mutex& standardMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unique_ptr<PreferenceStore>& standardSlot() {
    static std::unique_ptr<PreferenceStore> store;
    return store;
}

}  // namespace

std::optional<std::map<std::string, std::string>> parsePreferences(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    std::map<std::string, std::string> values;
    for (const auto& [key, value] : json.items()) {
        if (!value.is_string()) {
            return std::nullopt;
        }
        values.emplace(key, value.get<std::string>());
    }
    return values;
}

std::string serializePreferences(const std::map<std::string, std::string>& values) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : values) {
        object[key] = value;
    }
    return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

PreferenceStore::PreferenceStore(fs::path file) : file_(std::move(file)) {}

fs::path PreferenceStore::defaultPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    fs::path base;
    if (config != nullptr && *config != '\0') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = fs::path(home != nullptr ? home : ".") / ".config";
    }
    return base / "galvoria" / "preferences.json";
}

PreferenceStore& PreferenceStore::standard() {
    std::lock_guard lock(standardMutex());
    auto& slot = standardSlot();
    if (!slot) {
        slot = std::make_unique<PreferenceStore>(defaultPath());
    }
    return *slot;
}

void PreferenceStore::setStandardPath(const fs::path& file) {
    std::lock_guard lock(standardMutex());
    standardSlot() = std::make_unique<PreferenceStore>(file);
}

std::optional<std::string> PreferenceStore::stringForKey(std::string_view key) const {
    auto contents = load(file_);
    const auto found = contents.values.find(std::string(key));
    if (found == contents.values.end()) {
        return std::nullopt;
    }
    return std::move(found->second);
}

std::map<std::string, std::string> PreferenceStore::dictionary() const { return load(file_).values; }

void PreferenceStore::setValue(std::string_view value, std::string_view key) { change(key, value); }

void PreferenceStore::removeObjectForKey(std::string_view key) { change(key, std::nullopt); }

void PreferenceStore::change(std::string_view key, const std::optional<std::string_view>& value) {
    createFolder(file_.parent_path());
    const fs::path lockPath = file_.string() + ".lock";
    FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.valid()) {
        log::line("Preferences: cannot open the lock file " + lockPath.string());
        return;
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            log::line("Preferences: cannot lock the store " + file_.string());
            return;
        }
    }

    Contents contents = load(file_);
    if (contents.state == FileState::corrupt) {
        moveAside(file_);
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
        log::line("Preferences: cannot write the store " + file_.string());
        return;
    }
    ::fchmod(out.get(), 0600);
    if (!writeAll(out.get(), text) || ::fsync(out.get()) != 0) {
        log::line("Preferences: cannot write the store " + file_.string());
        ::unlink(temporary.c_str());
        return;
    }
    if (::rename(temporary.c_str(), file_.c_str()) != 0) {
        log::line("Preferences: cannot replace the store " + file_.string());
        ::unlink(temporary.c_str());
        return;
    }
    FileDescriptor folder(
        ::open(file_.parent_path().empty() ? "." : file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) {
        ::fsync(folder.get());
    }
}

}  // namespace platform
