// One file's exchange against the local service: the three requests on the wire, and when a file
// counts as published.

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "publishing/UploadPipeline.hpp"
#include "tests/publishing/PublishingFixture.hpp"

namespace galvoria::publishing::testing {
namespace {

class UploadPipeline : public PublishingTest {
protected:
    UploadOutcome upload(const std::string& path, const std::string& projectId = seededProject) {
        return uploadFile(UploadContext{server_->origin(), *session_}, {path}, 0, projectId);
    }
    // Only the form of what was sent: the token is never printed.
    void expectServiceHeaders(const devserver::RecordedRequest& request) {
        std::vector<std::string> ours;
        for (const auto& [name, value] : request.headers) {
            if (name == "Content-Type" || name == "Accept" || name == "Authorization" || name == "User-Agent") {
                ours.push_back(name + (name == "Authorization" ? "" : ": " + value));
            }
        }
        EXPECT_EQ(ours, (std::vector<std::string>{"Content-Type: application/json", "Accept: application/json",
                                                  "Authorization"}));
        EXPECT_TRUE(headerOf(request, "Authorization") == "Bearer " + token_) << "not Bearer ********";
    }
    static std::string boundaryOf(const devserver::RecordedRequest& request) {
        const std::string type = headerOf(request, "Content-Type").value_or("");
        EXPECT_TRUE(type.starts_with("multipart/form-data; boundary=")) << type;
        return type.substr(type.find('=') + 1);
    }
};

TEST_F(UploadPipeline, SignsStoresAndCompletesOneFileOnTheWire) {
    const std::string bytes = patternBytes(2048);
    const UploadOutcome outcome = upload(write("a.jpg", bytes), "prj-3c9a02");
    EXPECT_TRUE(outcome.published) << outcome.reason;

    const auto requests = server_->recordedRequests();
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(requests[0].target, "/api/upload/sign/lightroom");
    expectServiceHeaders(requests[0]);
    EXPECT_EQ(
        co::Value::parse(requests[0].body),
        (co::Value{
            {"fileName", "a.jpg"}, {"originalFileName", "a.jpg"}, {"projectId", "prj-3c9a02"}, {"fileSize", "2048"}}));

    // The storage answers 204 with an empty body. Nothing of the service's goes there, the length is
    // announced, and the form carries the signed fields in the completion's order, then the file.
    const auto& storage = requests[1];
    EXPECT_EQ(storage.target, "/storage/upload");
    EXPECT_FALSE(headerOf(storage, "Authorization") || headerOf(storage, "Transfer-Encoding"));
    EXPECT_EQ(headerOf(storage, "Content-Length"), std::to_string(storage.body.size()));
    EXPECT_EQ(requests[2].target, "/api/upload/complete");
    expectServiceHeaders(requests[2]);
    const co::Value complete = co::Value::parse(requests[2].body);
    ASSERT_EQ(complete.size(), 1U);
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, value] : complete.at("signature").items()) {
        fields.emplace_back(name, value.get<std::string>());
    }
    EXPECT_GE(fields.size(), 2U);
    EXPECT_TRUE(storage.body == formText(boundaryOf(storage), fields, "a.jpg", "image/jpeg", bytes))
        << "the form differs";

    EXPECT_EQ(logLines("Filesize: "), std::vector<std::string>{"Filesize: 2048"});
    EXPECT_EQ(logLines("Upload Sign Response: ").size(), 1U);
    EXPECT_EQ(logLines("Response: "), std::vector<std::string>{"Response: "});
    EXPECT_EQ(logLines("Upload Progress: ").back(), "Upload Progress: 1.000000");
}

// The form follows the signature (order, text of every value, content type); names are escaped
// in the form and sent unchanged for signing.
TEST_F(UploadPipeline, SignatureAndNameBecomeTheFormAndTheCompletion) {
    const std::string name = "we\"ird\r\nname.jpg";
    signWith(co::Value::parse(R"({"zeta": "t", "Content-Type": "image/png", "alpha": 300, "shape": {"a": 1},
                                  "ratio": 2.5, "na\"me": "q"})"),
             std::nullopt);
    upload(write(name, "abc"));

    const auto storage = requestsTo("/_bench/discard").at(0);
    EXPECT_EQ(storage.body, formText(boundaryOf(storage),
                                     {{"zeta", "t"},
                                      {"Content-Type", "image/png"},
                                      {"alpha", "300"},
                                      {"shape", ""},
                                      {"ratio", ""},
                                      {"na%22me", "q"}},
                                     "we%22ird%0D%0Aname.jpg", "image/png", "abc"));
    EXPECT_EQ(requestsTo("/api/upload/complete").at(0).body,
              R"({"signature":{"zeta":"t","Content-Type":"image/png","alpha":"300","shape":"","ratio":"",)"
              R"("na\"me":"q"}})");

    // Signed again by the service itself, whose answer does not matter here.
    server_->clearFaults();
    upload(write(name, "abc"));
    EXPECT_EQ(co::Value::parse(requestsTo("/api/upload/sign/lightroom").back().body).at("fileName"), name);
}

// Signing answers that cannot be used, and a completion answered with an empty 204. Every step
// against every transport fault, refusal and unusable answer is in the fault matrix.
struct StepCase {
    std::string label;
    std::string route;
    std::string body;
    int status;
    bool published;  // and so the storage reached and the completion sent
};
void PrintTo(const StepCase& step, std::ostream* out) { *out << step.label; }

class UploadStep : public UploadPipeline, public ::testing::WithParamInterface<StepCase> {};

TEST_P(UploadStep, DecidesWhetherTheFileIsPublished) {
    server_->setFault(GetParam().route, {.status = GetParam().status, .body = GetParam().body});
    const UploadOutcome outcome = upload(write("a.jpg", patternBytes(4096)));
    EXPECT_EQ(outcome.published, GetParam().published) << outcome.reason;
    EXPECT_EQ(outcome.reason.empty(), GetParam().published);
    EXPECT_EQ(!requestsTo("/storage/").empty(), GetParam().published);
    EXPECT_EQ(!requestsTo("/api/upload/complete").empty(), GetParam().published);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UploadStep,
    ::testing::Values(StepCase{"SignEndpointNotText", "sign", R"({"postEndpoint": 7, "signature": {}})", 200, false},
                      StepCase{"SignSignatureNotObject", "sign",
                               R"({"postEndpoint": "http://127.0.0.1:1/", "signature": "s"})", 200, false},
                      StepCase{"ContentTypeWithLineBreak", "sign",
                               R"({"postEndpoint": "http://127.0.0.1:1/", "signature": {"Content-Type": "a\r\nX: 1"}})",
                               200, false},
                      StepCase{"CompleteEmpty204", "complete", "", 204, true}),
    [](const auto& info) { return info.param.label; });

// Only a web address is a storage endpoint; a file: address must neither write nor read a file.
class StorageEndpoint : public UploadPipeline, public ::testing::WithParamInterface<std::string> {};

TEST_P(StorageEndpoint, IsRefusedUnlessItIsHttp) {
    const auto target = (dir_.path() / "target.bin").string();
    std::string endpoint = GetParam();
    if (const auto mark = endpoint.find('@'); mark != std::string::npos) {
        endpoint.replace(mark, 1, target);
    }
    signWith({{"key", "k"}}, endpoint);
    EXPECT_FALSE(upload(write("a.jpg", "abc")).published);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(server_->stats().requests, 1U) << "only the signing reached the service";
}

INSTANTIATE_TEST_SUITE_P(Schemes, StorageEndpoint,
                         ::testing::Values("file://@", "FILE://@", "ftp://127.0.0.1:1/u", "gopher://127.0.0.1:1/",
                                           "dict://127.0.0.1:1/d", "//127.0.0.1/storage/upload", "/storage/upload",
                                           "storage/upload", "", "http://"));

TEST_F(UploadPipeline, UnreadableFileFailsBeforeAnyRequest) {
    std::filesystem::create_directory(dir_.path() / "folder.jpg");
    ASSERT_EQ(::mkfifo((dir_.path() / "pipe.jpg").c_str(), 0600), 0);
    for (const std::string name : {"missing.jpg", "folder.jpg", "pipe.jpg"}) {
        EXPECT_FALSE(upload((dir_.path() / name).string()).published) << name;
    }
    EXPECT_TRUE(server_->recordedRequests().empty());
    EXPECT_EQ(logLines("Error: ").size(), 3U);
}

// A file rewritten between signing and sending no longer matches what was signed.
TEST_F(UploadPipeline, FileThatChangesSizeAfterSigningIsNotCompleted) {
    for (const bool grow : {true, false}) {
        const std::string path = write("moving.jpg", patternBytes(8192));
        onLogLine([&](std::string_view line) {
            if (line == "Upload Sign Response: Success") {
                grow ? void(std::ofstream(path, std::ios::app) << "more") : std::filesystem::resize_file(path, 100);
            }
        });
        EXPECT_FALSE(upload(path).published) << (grow ? "grown" : "shrunk");
        onLogLine({});
    }
    EXPECT_TRUE(requestsTo("/api/upload/complete").empty());
}

// Hundreds of MiB arrive byte for byte, with a handful of rising progress lines, and the process
// does not grow by the file's size. Skip with GALVORIA_SKIP_LARGE_UPLOAD=1.
TEST_F(UploadPipeline, LargeFileArrivesIntactInConstantMemory) {
    if (const char* skip = std::getenv("GALVORIA_SKIP_LARGE_UPLOAD"); skip != nullptr && *skip != '\0') {
        GTEST_SKIP() << "GALVORIA_SKIP_LARGE_UPLOAD is set";
    }
    const auto path = dir_.path() / "large.tif";
    const std::string block = patternBytes(1U << 20U, 7);
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 320; ++i) {
            out << block << i;  // no two blocks alike
        }
    }
    rusage before{};
    rusage after{};
    ::getrusage(RUSAGE_SELF, &before);
    const UploadOutcome outcome = upload(path.string());
    ::getrusage(RUSAGE_SELF, &after);
    ASSERT_TRUE(outcome.published) << outcome.reason;
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64L * 1024L) << "peak memory (KiB) grew with the file";

    std::vector<std::filesystem::path> stored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path() / "storage")) {
        if (entry.is_regular_file()) stored.push_back(entry.path());
    }
    ASSERT_EQ(stored.size(), 1U);
    EXPECT_EQ(std::system(("cmp -s '" + path.string() + "' '" + stored[0].string() + "'").c_str()), 0)
        << "the stored bytes differ";
    const auto progress = logLines("Upload Progress: ");
    EXPECT_LE(progress.size(), 100U);
    EXPECT_EQ(std::ranges::adjacent_find(progress, std::greater_equal<>()), progress.end()) << "not always rising";
    EXPECT_EQ(progress.back(), "Upload Progress: 1.000000");
}

}  // namespace
}  // namespace galvoria::publishing::testing
