// The upload exchange: signing, the presigned-POST storage form and the completion, with the refusals
// a real storage service gives, and the library page that shows the result.

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

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
        if (part.fileName) body += "; filename=\"" + *part.fileName + "\"";
        body += "\r\n";
        if (part.contentType) body += "Content-Type: " + *part.contentType + "\r\n";
        body += "\r\n" + part.value + "\r\n";
    }
    return body + "--" + boundary + "--\r\n";
}

std::string randomBytes(std::size_t size) {
    std::mt19937 engine(42);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(engine());
    return bytes;
}

// The stored files under the storage folder (never the unfinished ones).
std::vector<std::filesystem::path> storedFiles(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::exists(root)) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().string().find("/.incoming/") == std::string::npos) {
            files.push_back(entry.path());
        }
    }
    return files;
}

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream input(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

class UploadTest : public DevserverTest {
protected:
    Json sign(const std::string& fileName, std::size_t size, const std::string& project = portraitProject) {
        Reply reply = post("/api/upload/sign/lightroom",
                           {{"fileName", fileName},
                            {"originalFileName", fileName},
                            {"projectId", project},
                            {"fileSize", std::to_string(size)}},
                           token);
        EXPECT_EQ(reply.status, 200) << reply.body;
        Json json = reply.json();
        EXPECT_EQ(json["postEndpoint"], server->origin() + "/storage/upload");
        return json["signature"];
    }

    // Text parts for every signed field, then the file.
    static std::vector<FormPart> formFor(const Json& signature, const std::string& fileName, const std::string& bytes) {
        std::vector<FormPart> parts;
        for (const auto& [name, value] : signature.items()) parts.push_back({name, value.get<std::string>()});
        parts.push_back({"file", bytes, fileName, signature["Content-Type"].get<std::string>()});
        return parts;
    }

    Reply store(const std::vector<FormPart>& parts) {
        std::string type = std::string("multipart/form-data; boundary=") + boundary;
        return replyOf(client->Post("/storage/upload", encodeForm(parts), type.c_str()));
    }

    Reply complete(const Json& signature) { return post("/api/upload/complete", {{"signature", signature}}, token); }

    void SetUp() override {
        DevserverTest::SetUp();
        token = login();
    }

    std::string token;
};

TEST_F(UploadTest, SignStoreCompleteKeepsTheBytesAndListsTheFile) {
    const std::string name = "<b>Été & co.jpg";
    const std::string bytes = randomBytes(3'000'000);
    Json signature = sign(name, bytes.size());
    EXPECT_EQ(signature["Content-Type"], "image/jpeg");
    EXPECT_EQ(signature["success_action_status"], "204");
    EXPECT_TRUE(signature["key"].get<std::string>().starts_with(std::string("uploads/") + portraitProject + "/"));

    Reply stored = store(formFor(signature, name, bytes));
    EXPECT_EQ(stored.status, 204) << stored.body;
    EXPECT_TRUE(stored.body.empty());
    auto files = storedFiles(folder.path() / "storage");
    ASSERT_EQ(files.size(), 1U);
    EXPECT_TRUE(contentsOf(files[0]) == bytes);

    Reply completed = complete(signature);
    ASSERT_EQ(completed.status, 200) << completed.body;
    Json file = completed.json()["data"];
    EXPECT_EQ(file["name"], name);
    EXPECT_EQ(file["size"], bytes.size());
    EXPECT_EQ(complete(signature).json()["data"]["id"], file["id"]);  // completing twice registers one file

    Reply library = get(std::string("/project/") + portraitProject + "/library");
    EXPECT_EQ(library.status, 200);
    EXPECT_EQ(library.headers.find("Content-Type")->second, "text/html; charset=utf-8");
    EXPECT_NE(library.body.find("&lt;b&gt;Été &amp; co.jpg"), std::string::npos);
    EXPECT_EQ(library.body.find("<b>Été"), std::string::npos);
    EXPECT_NE(library.body.find("3.0 MB"), std::string::npos);
    auto source = library.body.find("<img src=\"");
    ASSERT_NE(source, std::string::npos);
    source += 10;
    std::string thumbnail = library.body.substr(source, library.body.find('"', source) - source);
    EXPECT_TRUE(get(thumbnail).body == bytes);
}

TEST_F(UploadTest, LibraryPagesForEmptyAndUnknownProjects) {
    Reply empty = get("/project/prj-3c9a02/library");
    EXPECT_EQ(empty.status, 200);
    EXPECT_NE(empty.body.find("No files have been published"), std::string::npos);
    EXPECT_EQ(get("/project/prj-nope/library").status, 404);
    EXPECT_EQ(get("/forgot-password").status, 200);
}

struct SignCase {
    const char* name;
    Json body;
    int status;
};

class SignRefusalTest : public UploadTest, public ::testing::WithParamInterface<SignCase> {};

TEST_P(SignRefusalTest, RefusesWithItsStatus) {
    EXPECT_EQ(post("/api/upload/sign/lightroom", GetParam().body, token).status, GetParam().status);
}

Json signBody(const char* project, Json size) {
    return {
        {"fileName", "a.jpg"}, {"originalFileName", "a.jpg"}, {"projectId", project}, {"fileSize", std::move(size)}};
}

INSTANTIATE_TEST_SUITE_P(Cases, SignRefusalTest,
                         ::testing::Values(SignCase{"UnknownProject", signBody("prj-nope", "10"), 404},
                                           SignCase{"EmptyProject", signBody("", "10"), 422},
                                           SignCase{"SizeWithLetters", signBody(portraitProject, "12a"), 422},
                                           SignCase{"NegativeSize", signBody(portraitProject, "-1"), 422},
                                           SignCase{"SizeMissing", signBody(portraitProject, nullptr), 422}),
                         [](const auto& info) { return info.param.name; });

struct StorageCase {
    const char* name;
    std::function<void(std::vector<FormPart>&, Server&)> alter;
    int status;
    const char* code;
};

class StorageRefusalTest : public UploadTest, public ::testing::WithParamInterface<StorageCase> {};

TEST_P(StorageRefusalTest, RefusesStoresNothingAndCannotComplete) {
    Json signature = sign("a.jpg", 1000);
    std::vector<FormPart> parts = formFor(signature, "a.jpg", randomBytes(1000));
    GetParam().alter(parts, *server);
    Reply reply = store(parts);
    EXPECT_EQ(reply.status, GetParam().status) << reply.body;
    EXPECT_NE(reply.body.find(std::string("<Code>") + GetParam().code + "</Code>"), std::string::npos) << reply.body;
    EXPECT_TRUE(storedFiles(folder.path() / "storage").empty());
    EXPECT_EQ(complete(signature).status, 422);
}

FormPart* partNamed(std::vector<FormPart>& parts, const std::string& name) {
    for (auto& part : parts) {
        if (part.name == name) return &part;
    }
    return nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StorageRefusalTest,
    ::testing::Values(
        StorageCase{"AlteredSignature",
                    [](auto& parts, auto&) {
                        auto& signature = partNamed(parts, "x-galvoria-signature")->value;
                        signature[0] = signature[0] == 'a' ? 'b' : 'a';
                    },
                    403, "SignatureDoesNotMatch"},
        StorageCase{"AlteredKey", [](auto& parts, auto&) { partNamed(parts, "key")->value += "x"; }, 403,
                    "AccessDenied"},
        StorageCase{"AddedField",
                    [](auto& parts, auto&) {
                        parts.insert(parts.begin(), {"acl", "public-read"});
                    },
                    403, "AccessDenied"},
        StorageCase{
            "MissingField",
            [](auto& parts, auto&) { std::erase_if(parts, [](auto& p) { return p.name == "x-galvoria-date"; }); }, 403,
            "AccessDenied"},
        StorageCase{"ExpiredPolicy", [](auto&, Server& server) { server.advanceClock(std::chrono::hours(2)); }, 403,
                    "AccessDenied"},
        StorageCase{"LargerThanSigned", [](auto& parts, auto&) { parts.back().value += "!"; }, 400, "EntityTooLarge"},
        StorageCase{"OtherContentType", [](auto& parts, auto&) { parts.back().contentType = "image/png"; }, 400,
                    "InvalidArgument"},
        StorageCase{"FileNotLast",
                    [](auto& parts, auto&) {
                        parts.push_back({"trailer", "x"});
                    },
                    400, "InvalidArgument"},
        StorageCase{"NoFile", [](auto& parts, auto&) { parts.pop_back(); }, 400, "InvalidArgument"}),
    [](const auto& info) { return info.param.name; });

TEST_F(UploadTest, StorageWantsAContentLength) {
    Json signature = sign("a.jpg", 10);
    std::string body = encodeForm(formFor(signature, "a.jpg", "0123456789"));
    std::string type = std::string("multipart/form-data; boundary=") + boundary;
    Reply chunked = replyOf(client->Post(
        "/storage/upload",
        [&body](std::size_t offset, httplib::DataSink& sink) {
            sink.write(body.data() + offset, body.size() - offset);
            sink.done();
            return true;
        },
        type.c_str()));
    EXPECT_EQ(chunked.status, 411);
    EXPECT_NE(chunked.body.find("MissingContentLength"), std::string::npos);
    EXPECT_EQ(store(formFor(signature, "a.jpg", "0123456789")).status, 204);  // the same form with a length
}

TEST_F(UploadTest, CompleteRefusesTamperedAndUnknownSignatures) {
    Json signature = sign("a.jpg", 3);
    Json tampered = signature;
    tampered["key"] = "uploads/elsewhere/a.jpg";
    EXPECT_EQ(complete(tampered).status, 422);
    EXPECT_EQ(post("/api/upload/complete", Json::object(), token).status, 422);
    EXPECT_EQ(complete(signature).status, 422);  // signed but never stored
}

class DiscardingUploadTest : public UploadTest {
    ServerOptions options() override {
        ServerOptions options = UploadTest::options();
        options.discardStorage = true;
        return options;
    }
};

TEST_F(DiscardingUploadTest, ChecksTheFormButKeepsNoBytes) {
    Json signature = sign("a.tif", 500'000);
    EXPECT_EQ(signature["Content-Type"], "image/tiff");
    std::vector<FormPart> parts = formFor(signature, "a.tif", randomBytes(500'001));
    EXPECT_EQ(store(parts).status, 400);
    parts.back().value.pop_back();
    EXPECT_EQ(store(parts).status, 204);
    EXPECT_TRUE(storedFiles(folder.path() / "storage").empty());
    EXPECT_EQ(complete(signature).json()["data"]["size"], 500'000);
}

}  // namespace
}  // namespace galvoria::devserver::testing
