// The storage keeps exactly the bytes of a form that matches its signature and serves them from the
// library page, and refuses, storing nothing, every form a real presigned-POST storage refuses.

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
using Parts = std::vector<FormPart>;

std::string encodeForm(const Parts& parts) {
    std::string body;
    for (const auto& part : parts) {
        body += std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
        body += (part.fileName ? "; filename=\"" + *part.fileName + "\"" : "") + "\r\n";
        body += (part.contentType ? "Content-Type: " + *part.contentType + "\r\n" : "") + "\r\n" + part.value + "\r\n";
    }
    return body + "--" + boundary + "--\r\n";
}

class UploadTest : public DevserverTest {
protected:
    void SetUp() override {
        DevserverTest::SetUp();
        token = server->issueToken(galvoria::testing::demoEmail);
    }
    Json sign(const std::string& fileName, std::size_t size) {
        const Reply reply = post("/api/upload/sign/lightroom",
                                 {{"fileName", fileName},
                                  {"originalFileName", fileName},
                                  {"projectId", "prj-2b7f31"},
                                  {"fileSize", std::to_string(size)}},
                                 token);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.json()["signature"];
    }
    // Text parts for every signed field, then the file.
    static Parts formFor(const Json& signature, const std::string& fileName, const std::string& bytes) {
        Parts parts;
        for (const auto& [name, value] : signature.items()) parts.push_back({name, value.get<std::string>()});
        parts.push_back({"file", bytes, fileName, signature["Content-Type"].get<std::string>()});
        return parts;
    }
    Reply store(const Parts& parts) {
        return replyOf(client->Post("/storage/upload", encodeForm(parts),
                                    std::string("multipart/form-data; boundary=") + boundary));
    }

    std::string token;
};

TEST_F(UploadTest, StoredFileIsServedByteForByteFromItsEscapedLibraryPage) {
    const std::string name = "<b>Été & co.jpg";
    const std::string bytes = galvoria::testing::patternBytes(3'000'000);
    const Json signature = sign(name, bytes.size());
    EXPECT_EQ(store(formFor(signature, name, bytes)).status, 204);
    EXPECT_EQ(post("/api/upload/complete", {{"signature", signature}}, token).status, 200);

    const std::string page = get("/project/prj-2b7f31/library").body;
    EXPECT_NE(page.find("&lt;b&gt;Été &amp; co.jpg"), std::string::npos) << page;
    EXPECT_EQ(page.find("<b>Été"), std::string::npos);
    const auto source = page.find("<img src=\"") + 10;
    ASSERT_GT(source, 10U);
    EXPECT_TRUE(get(page.substr(source, page.find('"', source) - source)).body == bytes) << "the bytes differ";
}

std::string& valueOf(Parts& parts, const std::string& name) {
    return std::ranges::find(parts, name, &FormPart::name)->value;
}
FormPart field(const std::string& name, const std::string& value) { return {name, value}; }

TEST_F(UploadTest, StorageRefusesFormsTheSignatureDoesNotAllowAndStoresNothing) {
    // Each change to a well-formed form, and the storage's status and error code for it.
    const std::vector<std::tuple<const char*, std::function<void(Parts&)>, int, const char*>> cases = {
        {"AlteredSignature", [](Parts& p) { valueOf(p, "x-galvoria-signature")[0] ^= 1; }, 403,
         "SignatureDoesNotMatch"},
        {"AlteredKey", [](Parts& p) { valueOf(p, "key") += "x"; }, 403, "AccessDenied"},
        {"AddedField", [](Parts& p) { p.insert(p.begin(), field("acl", "public-read")); }, 403, "AccessDenied"},
        {"LargerThanSigned", [](Parts& p) { p.back().value += "!"; }, 400, "EntityTooLarge"},
        {"OtherContentType", [](Parts& p) { p.back().contentType = "image/png"; }, 400, "InvalidArgument"},
        {"FileNotLast", [](Parts& p) { p.push_back(field("trailer", "x")); }, 400, "InvalidArgument"},
        {"ExpiredPolicy", [this](Parts&) { server->advanceClock(std::chrono::hours(2)); }, 403, "AccessDenied"}};
    for (const auto& [label, alter, status, code] : cases) {
        SCOPED_TRACE(label);
        Parts parts = formFor(sign("a.jpg", 1000), "a.jpg", galvoria::testing::patternBytes(1000));
        alter(parts);
        const Reply reply = store(parts);
        EXPECT_EQ(reply.status, status);
        EXPECT_NE(reply.body.find(std::string("<Code>") + code + "</Code>"), std::string::npos) << reply.body;
        EXPECT_FALSE(std::filesystem::exists(folder.path() / "storage" / "uploads"));
    }
}

}  // namespace
}  // namespace galvoria::devserver::testing
