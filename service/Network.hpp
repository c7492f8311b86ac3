#pragma once
// Network: the plugin's one client of the galvoria service. Every endpoint the plugin calls is a
// route of one table (service/Network.cpp): login, the four listings, the two creations, and the
// signing and completing of an upload.
//
// Every operation sends exactly one request and blocks its caller until the response has been
// handled on the main queue. It must never be called on the main thread (the thread serving the
// main queue): such a call is refused with a log line and yields the empty result.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/Value.hpp"
#include "service/Records.hpp"
#include "service/http/Http.hpp"
#include "vocabulary/Preferences.hpp"

namespace galvoria {

// The decoded top-level JSON object of a response; empty when nothing usable arrived.
using JsonObjectMap = co::Value;

struct ServiceResult {
    JsonObjectMap map = JsonObjectMap::object();
    long status = 0;  // 0 when no HTTP response arrived
};

// Why a listing (teams, workspaces, folders, projects) gave no usable answer. The listing itself
// is then the empty one.
struct ListingProblem {
    enum class Kind {
        noAnswer,  // no HTTP response arrived
        refused,   // a status outside 200-299
        unusable,  // a success that is not a JSON object whose "data" is an array of objects
    };
    Kind kind = Kind::noAnswer;
    long status = 0;      // the HTTP status, when one arrived
    std::string message;  // a refusal's own text: the non-empty string "message" of its JSON object
};

// How the signing of an upload ended. When signed, the storage endpoint and the signature as the
// service sent them: the service chooses the signature's shape, so it is shared, never copied.
struct Signing {
    enum class Kind {
        noAnswer,  // no HTTP response arrived
        refused,   // no usable signing, with a status outside 200-299
        unusable,  // no usable signing under a success status
        internal,  // the answer could not be handled, or the request was refused unsent
        signedUp,  // a string "postEndpoint" and an object "signature"
    };
    Kind kind = Kind::noAnswer;
    long status = 0;
    std::string postEndpoint;
    std::shared_ptr<const co::Value> signature;
};

// How the completing of an upload ended.
struct Completion {
    enum class Kind { noAnswer, refused, internal, completed };
    Kind kind = Kind::noAnswer;
    long status = 0;
};

// Logs that an upload's step ended by an internal error (`what`: the exception's text, if any).
void logUploadInternalError(const std::optional<std::string>& what);

// A service answer's body as JSON (any value, a top-level fragment included); a discarded value
// when it is not JSON or passes the decoder's depth or memory limit, which is then logged by name.
co::Value decodeAnswerBody(std::string_view body);

// The service origin fixed at build time, without a trailing slash.
const std::string& serviceBaseURL();

class Network {
public:
    // Requests go to `baseURL` (an origin without trailing slash): the compiled-in service origin,
    // or, in tests, a local service on a port of their own. They travel through `session`, or the
    // plugin's shared session when none is given. The token is read from `preferences` for every
    // request that carries it (signing and completing take it from their caller), and a login
    // stores its token there.
    explicit Network(Preferences& preferences, std::string baseURL = serviceBaseURL(), http::Session* session = nullptr)
        : preferences_(&preferences), baseURL_(std::move(baseURL)), session_(session) {}
    [[nodiscard]] const std::string& baseURL() const { return baseURL_; }
    // The session the requests travel through; uploads to the storage use it too.
    [[nodiscard]] http::Session& session() const;

    // Parameter values: absent ones are sent as JSON null.
    ServiceResult postRequest(const std::string& url,
                              const std::map<std::string, std::optional<std::string>>& parameters,
                              const std::optional<std::string>& token) const;
    ServiceResult getRequest(const std::string& url, const std::map<std::string, std::string>& parameters,
                             const std::optional<std::string>& token) const;

    // "" on success, "login-failed" otherwise. Stores the token and empties the stored password.
    std::string login(const std::string& email, const std::string& password) const;

    // Listings. Each also records how it went, read with lastListingProblem().
    std::vector<Team> getTeams() const;
    WorkspaceListing getWorkspaces() const;
    std::vector<Folder> getFolders(const std::string& workspaceId) const;
    std::vector<Project> getProjects(const std::string& workspaceId) const;

    // Result maps hold "id" and "name" when the service sent them as strings.
    std::map<std::string, std::string> createFolder(const std::string& name, const std::string& workspaceId) const;
    std::map<std::string, std::string> createProject(const std::string& name, const std::string& folderId,
                                                     const std::string& workspaceId) const;

    // An upload's two service steps, both with the bearer token `token`. Signing names the file
    // `fileName` of `fileSize` bytes for the project; completing hands back the signature's fields
    // (`fields`, an object of strings). Both log what went wrong in the way the upload reports it.
    Signing sign(const std::string& token, const std::string& fileName, const std::string& projectId,
                 std::uint64_t fileSize) const;
    Completion complete(const std::string& token, co::Value fields) const;

    // Why the latest listing failed; no value when it succeeded (or none was asked for yet). A copy
    // of this object shares the record.
    [[nodiscard]] std::optional<ListingProblem> lastListingProblem() const;

    // The requests of the routes, one per endpoint the plugin calls.
    enum class Endpoint { login, teams, workspaces, folders, projects, createFolder, createProject, sign, complete };

private:
    // The route's request with its headers: `workspaceId` fills the path's workspace segment.
    http::Request requestFor(Endpoint endpoint, const std::optional<std::string>& token,
                             const std::string& workspaceId = {}) const;
    // A request whose answer is the top-level JSON object, handled on the main queue.
    ServiceResult send(http::Request request) const;
    // The listing's request, recording its outcome before returning the answer unchanged.
    ServiceResult listing(Endpoint endpoint, const std::string& workspaceId = {}) const;

    struct ListingRecord {
        std::mutex mutex;
        std::optional<ListingProblem> last;
    };

    Preferences* preferences_;
    std::string baseURL_;
    http::Session* session_;
    std::shared_ptr<ListingRecord> listingRecord_ = std::make_shared<ListingRecord>();
};

}  // namespace galvoria
