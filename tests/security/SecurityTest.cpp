// What must never happen whatever the service, the storage or the user's files hold: secrets in any
// output, requests leaving their path segment or their origin, unverified TLS peers receiving files,
// format directives being expanded.
//
// Proven elsewhere, not repeated here: the store's private modes and planted links (PreferenceStore),
// no redirect followed and bodies above the cap (FaultMatrix, HttpSession), no header or part added by
// quotes or line breaks in a name or a "Content-Type" (FormStream, UploadPipeline, UploadStep), a
// postEndpoint of another scheme or none (StorageAddress, HttpSession), a file that changes size
// (FormStream, UploadPipeline), a file name that is not UTF-8 (TerminalEscape, NetworkWire).

#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "devserver/Server.hpp"
#include "publishing/UploadPipeline.hpp"
#include "service/Network.hpp"
#include "tests/publishing/PublishingFixture.hpp"
#include "tests/settings/ServiceDrive.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::testing {
namespace {

using devserver::Fault;
using devserver::FaultAction;

Fault respond(int status, std::string body) { return {.status = status, .body = std::move(body)}; }

// The host program against the local service on its compiled-in port (ServiceDrive).
class HostSecurity : public ServiceDrive {
protected:
    Json type(const std::string& value, const std::string& setting) {
        return call({{"call", "didUpdateValue"}, {"value", value}, {"setting", setting}});
    }
    Json press(const std::string& item) { return call({{"call", "handleEvent"}, {"event", 1}, {"item", item}}); }
    Json publish(const std::vector<std::string>& files, const Json& settings) {
        return call({{"call", "startPublishingTask"},
                     {"task", {{"action", "publish"}, {"files", files}, {"settings", settings}}}});
    }
    std::string write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_.path() / name, std::ios::binary) << bytes;
        return (dir_.path() / name).string();
    }
};

const Json existingProject = {
    {"workspace-list-item", "ws-4f1c2a"}, {"folder-list-item", "none"}, {"project-list-item", "prj-3c9a02"}};

// Refused and accepted logins, listings, signings and uploads, with format directives in every
// value the host logs: no part of the password or the token is printed, every directive literally.
TEST_F(HostSecurity, PrintsNoPartOfASecretAndEveryFormatDirectiveLiterally) {
    const std::string password = "Zq8!rT#4vW_p";
    const std::string token = server_->issueToken(demoEmail);
    const std::string odd = "%@ %n %s %d %f %x %% 100%";
    const std::string photo = write("a.jpg", std::string(5000, 'p'));
    const std::string missing = (dir_.path() / "%n%s%@-gone.jpg").string();
    type(odd, "username-item");
    type(password, "password-item");
    server_->setFault("login", respond(401, R"({"message": "These credentials do not match our records."})"));
    EXPECT_FALSE(press("login-item")["ok"]);
    server_->setFault("login", respond(200, R"({"token": ")" + token + "\"}"));
    EXPECT_TRUE(press("login-item")["ok"]);
    server_->setFault("teams", respond(401, R"({"message": "Unauthenticated."})"));
    call({{"call", "settingsForAction"}, {"action", "publish"}, {"settings", Json::object()}});
    server_->setFault("sign", respond(401, R"({"message": "The token )" + token + R"( has expired."})"));
    EXPECT_FALSE(publish({photo}, existingProject)["ok"]);
    server_->clearFaults();
    server_->setFault("storage", {.action = FaultAction::dropBefore});
    EXPECT_FALSE(publish({photo}, existingProject)["ok"]);
    server_->setFault("create-folder", respond(201, R"({"data": {"id": "fld-1", "name": ")" + odd + "\"}}"));
    server_->setFault("storage", respond(200, odd));
    Json settings = existingProject;
    settings["folder-list-item"] = "0";
    publish({write("%d%n.jpg", "x"), missing}, settings);

    // Standard error and every protocol line, once the host has ended.
    EXPECT_EQ(host_->finish(), 0);
    std::string printed = host_->standardError();
    for (const auto& line : host_->standardOutputLines()) printed += line + "\n";
    EXPECT_NE(printed.find("Password: ********"), std::string::npos);
    for (const std::string& secret : {password, token})
        for (std::size_t at = 0; at + 6 <= secret.size(); ++at)
            ASSERT_EQ(printed.find(secret.substr(at, 6)), std::string::npos) << "part of a secret was printed";
    for (const std::string& line : std::vector<std::string>{
             "UPDATED VALUE: " + odd + " FOR SETTING: username-item", "Persists: " + odd + " forKey: username-item",
             "Username: " + odd, "Folder Created: [id: fld-1, name: " + odd + "]", "Response: " + odd,
             "Not published: %d%n.jpg (", "Error: The file \"" + missing + "\" could not be read",
             "Not published: %n%s%@-gone.jpg ("})
        EXPECT_NE(printed.find(line), std::string::npos) << line;
}

// The library side in process (the publishing tests' fixture).
using InProcess = publishing::testing::PublishingTest;

TEST_F(InProcess, WorkspaceIdentifierIsOneEncodedSegmentOfEveryRequest) {
    const Network network = client();
    const std::vector<std::pair<std::string, std::string>> identifiers = {
        {"a/b", "a%2Fb"}, {"..", "%2E%2E"}, {".", "%2E"},     {"q?x=1", "q%3Fx%3D1"},
        {"h#x", "h%23x"}, {"50%", "50%25"}, {"a b", "a%20b"}, {"\xc3\x89t\xc3\xa9", "%C3%89t%C3%A9"}};
    for (const auto& [identifier, segment] : identifiers) {
        network.getFolders(identifier);
        network.getProjects(identifier);
        network.createFolder("n", identifier);
        network.createProject("n", "fld-1", identifier);
        std::vector<std::string> targets;
        for (const auto& request : server_->recordedRequests())
            targets.push_back(request.method + " " + request.target);
        const std::string base = "/api/workspaces/" + segment;
        EXPECT_EQ(targets, (std::vector<std::string>{"GET " + base + "/folders", "GET " + base + "/projects",
                                                     "POST " + base + "/folders", "POST " + base + "/projects"}));
        server_->clearRecordedRequests();
    }
}

// An endpoint whose certificate cannot be verified receives nothing, and nothing is completed; a
// certificate from the CA named by GALVORIA_CA_BUNDLE is trusted.
TEST_F(InProcess, OnlyVerifiedTlsStorageReceivesTheFile) {
    if (std::system("command -v openssl >/dev/null") != 0) GTEST_SKIP() << "the openssl command is not installed";
    const std::string d = dir_.path().string() + "/";
    // A CA, a self-signed certificate, and two the CA signed: one for this address, one for another name.
    const std::string commands =
        "cd " + d + R"( && req() { n=$1; shift; openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
        -nodes -days 2 -keyout $n.key "$@"; } && ip=subjectAltName=IP:127.0.0.1 &&
        req ca -x509 -out ca.pem -subj /CN=Test-CA && req self -x509 -out self.pem -subj /CN=127.0.0.1 -addext $ip &&
        req good -out good.csr -subj /CN=127.0.0.1 -addext $ip &&
        req wrong -out wrong.csr -subj /CN=wrong.example -addext subjectAltName=DNS:wrong.example &&
        for c in good wrong; do openssl x509 -req -in $c.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -copy_extensions copyall -out $c.pem || exit 1; done >/dev/null 2>&1)";
    ASSERT_EQ(std::system(commands.c_str()), 0);
    ::setenv("GALVORIA_CA_BUNDLE", (d + "ca.pem").c_str(), 1);
    http::Session trusting(http::SessionOptions::fromEnvironment());
    ::unsetenv("GALVORIA_CA_BUNDLE");

    using Case = std::tuple<std::string, http::Session*, bool>;
    for (const auto& [certificate, session, trusted] :
         {Case{"self", &trusting, false}, Case{"wrong", &trusting, false}, Case{"good", session_.get(), false},
          Case{"good", &trusting, true}}) {
        SCOPED_TRACE(certificate + (session == session_.get() ? " without the CA" : ""));
        httplib::SSLServer storage((d + certificate + ".pem").c_str(), (d + certificate + ".key").c_str());
        std::atomic<int> received{0};
        storage.Post("/upload", [&](const httplib::Request&, httplib::Response& response) {
            ++received;
            response.status = 204;
        });
        storage.set_keep_alive_max_count(1);  // stopping need not wait for an idle kept-alive connection
        const int port = storage.bind_to_any_port("127.0.0.1");
        std::thread serving([&] { storage.listen_after_bind(); });
        server_->clearRecordedRequests();
        server_->setFault("sign", respond(200, R"({"postEndpoint": "https://127.0.0.1:)" + std::to_string(port) +
                                                   R"(/upload", "signature": {"key": "k"}})"));
        server_->setFault("complete", respond(200, "{}"));
        const Network service(preferences_, server_->origin(), session);
        const auto outcome =
            publishing::uploadFile({service, preferences_}, {write("a.jpg", "file-bytes")}, 0, "prj-3c9a02");
        storage.stop();
        serving.join();
        EXPECT_EQ(outcome.published, trusted) << outcome.reason;
        EXPECT_EQ(received, trusted ? 1 : 0);
        EXPECT_EQ(server_->recordedRequests().size(), trusted ? 2U : 1U) << "only a stored file is completed";
    }
}

}  // namespace
}  // namespace galvoria::testing
