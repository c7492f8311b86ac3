// The upload exchange: signing, the presigned-POST storage form and the completion, with the refusals
// a real storage service gives, and the library page that shows the result. That the plugin's own
// uploads arrive byte for byte is proven by the publishing tests.

#include <algorithm>
#include <filesystem>
#include <functional>

#include "tests/devserver/DevserverFixture.hpp"

namespace galvoria::devserver::testing {
namespace {

constexpr const char* boundary = "galvoria-test-boundary-7f3a";

struct FormPart {
    std::string name;
    std::string value;
    std::optional<std::string> fileName;
    std::optional<std::string> contentType;
};

std::string encodeForm(const std::vector<FormPart>& parts) {
    std::string body;
    for (const auto& part : parts) {
        body += std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
        body += (part.fileName ? "; filename=\"" + *part.fileName + "\"" : "") + "\r\n";
        body += (part.contentType ? "Content-Type: " + *part.contentType + "\r\n" : "") + "\r\n" + part.value + "\r\n";
    }
    return body + "--" + boundary + "--\r\n";
}

using galvoria::testing::patternBytes;

// Any file under the storage folder, finished or not.
bool anythingStored(const std::filesystem::path& root) {
    if (!std::filesystem::exists(root)) return false;
    return std::ranges::any_of(std::filesystem::recursive_directory_iterator(root),
                               [](const auto& entry) { return entry.is_regular_file(); });
}

class UploadTest : public DevserverTest {
protected:
    void SetUp() override {
        DevserverTest::SetUp();
        token = login();
    }
    Json sign(const std::string& fileName, std::size_t size) {
        const Reply reply = post("/api/upload/sign/lightroom",
                                 {{"fileName", fileName},
                                  {"originalFileName", fileName},
                                  {"projectId", portraitProject},
                                  {"fileSize", std::to_string(size)}},
                                 token);
        EXPECT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(reply.json()["postEndpoint"], server->origin() + "/storage/upload");
        return reply.json()["signature"];
    }
    // Text parts for every signed field, then the file.
    static std::vector<FormPart> formFor(const Json& signature, const std::string& fileName, const std::string& bytes) {
        std::vector<FormPart> parts;
        for (const auto& [name, value] : signature.items()) parts.push_back({name, value.get<std::string>()});
        parts.push_back({"file", bytes, fileName, signature["Content-Type"].get<std::string>()});
        return parts;
    }
    Reply store(const std::vector<FormPart>& parts) {
        return replyOf(client->Post("/storage/upload", encodeForm(parts),
                                    std::string("multipart/form-data; boundary=") + boundary));
    }
    Reply complete(const Json& signature) { return post("/api/upload/complete", {{"signature", signature}}, token); }

    std::string token;
};

TEST_F(UploadTest, StoredAndCompletedFileIsShownEscapedOnTheLibraryPage) {
    const std::string name = "<b>Été & co.jpg";
    const std::string bytes = patternBytes(3'000'000);
    const Json signature = sign(name, bytes.size());
    EXPECT_TRUE(signature["key"].get<std::string>().starts_with(std::string("uploads/") + portraitProject + "/"));
    const Reply stored = store(formFor(signature, name, bytes));
    EXPECT_EQ(stored.status, 204) << stored.body;

    const Reply completed = complete(signature);
    ASSERT_EQ(completed.status, 200) << completed.body;
    const Json file = completed.json()["data"];
    EXPECT_EQ(file["name"], name);
    EXPECT_EQ(file["size"], bytes.size());
    EXPECT_EQ(complete(signature).json()["data"]["id"], file["id"]);  // completing twice registers one file

    const Reply library = get(std::string("/project/") + portraitProject + "/library");
    EXPECT_EQ(library.status, 200);
    EXPECT_NE(library.body.find("&lt;b&gt;Été &amp; co.jpg"), std::string::npos);
    EXPECT_EQ(library.body.find("<b>Été"), std::string::npos);
    EXPECT_NE(library.body.find("3.0 MB"), std::string::npos);
    const auto source = library.body.find("<img src=\"") + 10;
    ASSERT_GT(source, 10U);
    EXPECT_TRUE(get(library.body.substr(source, library.body.find('"', source) - source)).body == bytes);

    EXPECT_NE(get("/project/prj-3c9a02/library").body.find("No files have been published"), std::string::npos);
    EXPECT_EQ(get("/project/prj-nope/library").status, 404);
    EXPECT_EQ(get("/forgot-password").status, 200);
}

TEST_F(UploadTest, SignRefusesAnUnknownProjectAndABadSize) {
    for (const auto& [project, size, status] :
         std::vector<std::tuple<std::string, Json, int>>{{"prj-nope", "10", 404},
                                                         {"", "10", 422},
                                                         {portraitProject, "12a", 422},
                                                         {portraitProject, nullptr, 422}}) {
        const Json body = {
            {"fileName", "a.jpg"}, {"originalFileName", "a.jpg"}, {"projectId", project}, {"fileSize", size}};
        EXPECT_EQ(post("/api/upload/sign/lightroom", body, token).status, status) << project << " " << size;
    }
}

struct StorageCase {
    const char* name;
    std::function<void(std::vector<FormPart>&, Server&)> alter;
    int status;
    const char* code;
};

class StorageRefusalTest : public UploadTest, public ::testing::WithParamInterface<StorageCase> {};

TEST_P(StorageRefusalTest, RefusesStoresNothingAndCannotComplete) {
    const Json signature = sign("a.jpg", 1000);
    std::vector<FormPart> parts = formFor(signature, "a.jpg", patternBytes(1000));
    GetParam().alter(parts, *server);
    const Reply reply = store(parts);
    EXPECT_EQ(reply.status, GetParam().status) << reply.body;
    EXPECT_NE(reply.body.find(std::string("<Code>") + GetParam().code + "</Code>"), std::string::npos) << reply.body;
    EXPECT_FALSE(anythingStored(folder.path() / "storage"));
    EXPECT_EQ(complete(signature).status, 422);
}

using Parts = std::vector<FormPart>;
std::string& valueOf(Parts& parts, const std::string& name) {
    return std::ranges::find(parts, name, &FormPart::name)->value;
}
FormPart field(const std::string& name, const std::string& value) { return {name, value}; }
void flipFirst(std::string& text) { text[0] = text[0] == 'a' ? 'b' : 'a'; }

INSTANTIATE_TEST_SUITE_P(
    Cases, StorageRefusalTest,
    ::testing::Values(
        StorageCase{"AlteredSignature", [](Parts& p, Server&) { flipFirst(valueOf(p, "x-galvoria-signature")); }, 403,
                    "SignatureDoesNotMatch"},
        StorageCase{"AlteredKey", [](Parts& p, Server&) { valueOf(p, "key") += "x"; }, 403, "AccessDenied"},
        StorageCase{"AddedField", [](Parts& p, Server&) { p.insert(p.begin(), field("acl", "public-read")); }, 403,
                    "AccessDenied"},
        StorageCase{"MissingField",
                    [](Parts& p, Server&) { std::erase_if(p, [](auto& f) { return f.name == "x-galvoria-date"; }); },
                    403, "AccessDenied"},
        StorageCase{"ExpiredPolicy", [](Parts&, Server& s) { s.advanceClock(std::chrono::hours(2)); }, 403,
                    "AccessDenied"},
        StorageCase{"LargerThanSigned", [](Parts& p, Server&) { p.back().value += "!"; }, 400, "EntityTooLarge"},
        StorageCase{"OtherContentType", [](Parts& p, Server&) { p.back().contentType = "image/png"; }, 400,
                    "InvalidArgument"},
        StorageCase{"FileNotLast", [](Parts& p, Server&) { p.push_back(field("trailer", "x")); }, 400,
                    "InvalidArgument"},
        StorageCase{"NoFile", [](Parts& p, Server&) { p.pop_back(); }, 400, "InvalidArgument"}),
    [](const auto& info) { return info.param.name; });

TEST_F(UploadTest, StorageWantsAContentLength) {
    const Json signature = sign("a.jpg", 10);
    const std::string body = encodeForm(formFor(signature, "a.jpg", "0123456789"));
    const Reply chunked = replyOf(client->Post(
        "/storage/upload",
        [&body](std::size_t offset, httplib::DataSink& sink) {
            sink.write(body.data() + offset, body.size() - offset);
            sink.done();
            return true;
        },
        std::string("multipart/form-data; boundary=") + boundary));
    EXPECT_EQ(chunked.status, 411);
    EXPECT_NE(chunked.body.find("MissingContentLength"), std::string::npos);
    EXPECT_EQ(store(formFor(signature, "a.jpg", "0123456789")).status, 204);  // the same form with a length
}

TEST_F(UploadTest, CompleteRefusesTamperedAndUnknownSignatures) {
    const Json signature = sign("a.jpg", 3);
    Json tampered = signature;
    tampered["key"] = "uploads/elsewhere/a.jpg";
    EXPECT_EQ(complete(tampered).status, 422);
    EXPECT_EQ(post("/api/upload/complete", Json::object(), token).status, 422);
    EXPECT_EQ(complete(signature).status, 422);  // signed but never stored
}

TEST_F(UploadTest, DiscardingStorageChecksTheFormButKeepsNoBytes) {
    ServerOptions discarding = options();
    discarding.discardStorage = true;
    startServer(discarding);
    token = login();
    const Json signature = sign("a.tif", 500'000);
    EXPECT_EQ(signature["Content-Type"], "image/tiff");
    std::vector<FormPart> parts = formFor(signature, "a.tif", patternBytes(500'001));
    EXPECT_EQ(store(parts).status, 400);
    parts.back().value.pop_back();
    EXPECT_EQ(store(parts).status, 204);
    EXPECT_FALSE(anythingStored(folder.path() / "storage"));
    EXPECT_EQ(complete(signature).json()["data"]["size"], 500'000);
}

}  // namespace
}  // namespace galvoria::devserver::testing
