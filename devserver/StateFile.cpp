// The service's state on disk: loaded at start (or written there as seeded), and saved by one
// thread at most once a second with every change made since its last write; stop() writes what is
// left. Each write goes to a temporary file that then replaces the state file, so a reader never
// sees half of one.

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <system_error>

#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

constexpr std::chrono::seconds stateSaveInterval{1};

}  // namespace

bool Server::Impl::loadState() {
    std::lock_guard lock(stateMutex);
    state = ServiceState::seeded();
    signingSecret = randomHex(32);
    if (!options.stateFile) return true;
    std::error_code error;
    if (!std::filesystem::exists(*options.stateFile, error)) {
        writeStateFile(stateFileJsonLocked());
        return true;
    }
    std::ifstream input(*options.stateFile, std::ios::binary);
    std::stringstream text;
    text << input.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    auto loaded = json.is_object() ? ServiceState::fromJson(json) : std::nullopt;
    if (!input || !loaded) {
        logLine("galvoria-devserver: the state file " + options.stateFile->string() + " cannot be read");
        return false;
    }
    state = std::move(*loaded);
    if (json.contains("signingSecret") && json["signingSecret"].is_string()) {
        signingSecret = json["signingSecret"].get<std::string>();
    } else {
        writeStateFile(stateFileJsonLocked());
    }
    return true;
}

void Server::Impl::saveLocked() {
    if (!options.stateFile) return;
    stateDirty = true;
    stateChanged.notify_one();
}

Json Server::Impl::stateFileJsonLocked() const {
    Json json = state.toJson();
    json["signingSecret"] = signingSecret;
    return json;
}

void Server::Impl::startSaver() {
    if (!options.stateFile || saverThread.joinable()) return;
    {
        std::lock_guard lock(stateMutex);
        saverStopping = false;
    }
    saverThread = std::thread([this] { saverLoop(); });
}

void Server::Impl::stopSaver() {
    if (!saverThread.joinable()) return;
    {
        std::lock_guard lock(stateMutex);
        saverStopping = true;
    }
    stateChanged.notify_one();
    saverThread.join();
}

void Server::Impl::saverLoop() {
    // The first change after a quiet second is written at once; the ones that follow within the
    // second wait for it to pass and are written together. A publish of thousands of files changes
    // the state three times per file: rewriting the whole file for each change made it crawl.
    auto lastWrite = std::chrono::steady_clock::time_point{};
    std::unique_lock lock(stateMutex);
    while (true) {
        stateChanged.wait(lock, [this] { return stateDirty || saverStopping; });
        if (!stateDirty) return;
        stateChanged.wait_until(lock, lastWrite + stateSaveInterval, [this] { return saverStopping; });
        stateDirty = false;
        Json json = stateFileJsonLocked();
        lock.unlock();
        writeStateFile(json);
        lastWrite = std::chrono::steady_clock::now();
        lock.lock();
    }
}

void Server::Impl::writeStateFile(const Json& json) const {
    const std::filesystem::path& target = *options.stateFile;
    std::filesystem::path temporary = target;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream output(temporary, std::ios::binary | std::ios::trunc);
        output << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
        output.flush();
        if (!output) {
            logLine("galvoria-devserver: the state file " + target.string() + " cannot be written");
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) logLine("galvoria-devserver: the state file " + target.string() + " cannot be replaced");
}

void Server::Impl::resetState() {
    std::lock_guard lock(stateMutex);
    for (const auto& [key, object] : state.objects) {
        std::error_code error;
        if (object.bytesKept) std::filesystem::remove(storagePathForKey(storageDir, key), error);
    }
    state = ServiceState::seeded();
    saveLocked();
}

}  // namespace galvoria::devserver
