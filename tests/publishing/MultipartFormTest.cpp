// The streamed multipart form and the texts it is made of.

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "publishing/MultipartForm.hpp"
#include "publishing/UploadPipeline.hpp"
#include "tests/publishing/PublishingFixture.hpp"

namespace galvoria::publishing {
namespace {

std::shared_ptr<const SourceFile> fileWith(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    auto opened = SourceFile::open(path.string());
    EXPECT_TRUE(opened.file) << opened.problem;
    return opened.file;
}

// Reads the form in pieces of `capacity` bytes until it ends or fails.
std::optional<std::string> drain(FormStream& stream, std::size_t capacity) {
    std::string out;
    std::vector<char> buffer(capacity);
    for (;;) {
        const auto got = stream.read(buffer.data(), buffer.size());
        if (!got || *got == 0) return got ? std::optional(out) : std::nullopt;
        out.append(buffer.data(), *got);
    }
}

// Small reads cross every border between text, file and closing boundary.
TEST(FormStream, ProducesTheAnnouncedFormAtAnyReadSize) {
    galvoria::testing::TempDir dir;
    const std::string content = testing::patternBytes(5000);
    const auto file = fileWith(dir.path() / "a.jpg", content);
    for (const std::size_t capacity : {1U, 7U, 4096U, 1U << 20U}) {
        for (const auto& type : {std::optional<std::string>("image/jpeg"), std::optional<std::string>()}) {
            FormStream stream({{"key", "k"}, {"q\"\r\n", "v"}}, FilePart{"w\"\nx.jpg", type, file}, "B");
            const std::string expected =
                testing::formText("B", {{"key", "k"}, {"q%22%0D%0A", "v"}}, "w%22%0Ax.jpg", type, content);
            EXPECT_EQ(stream.size(), expected.size());
            EXPECT_TRUE(drain(stream, capacity) == expected) << "read size " << capacity;
        }
    }
}

// The length was announced up front: a file that grows or shrinks while it is read ends the body.
TEST(FormStream, FileThatChangesSizeWhileReadEndsTheBody) {
    for (const bool grow : {true, false}) {
        galvoria::testing::TempDir dir;
        const auto path = dir.path() / "moving.jpg";
        FormStream stream({}, FilePart{"moving.jpg", std::nullopt, fileWith(path, std::string(1U << 20U, 'a'))}, "B");
        std::vector<char> buffer(64U * 1024U);
        ASSERT_TRUE(stream.read(buffer.data(), buffer.size()));
        grow ? void(std::ofstream(path, std::ios::app) << "more") : std::filesystem::resize_file(path, 1000);
        EXPECT_FALSE(drain(stream, buffer.size())) << (grow ? "grown" : "shrunk");
        EXPECT_EQ(stream.failure(), "the file changed size while it was sent");
    }
}

struct FieldCase {
    co::Value value;
    std::string expected;
};
class FieldText : public ::testing::TestWithParam<FieldCase> {};
TEST_P(FieldText, TurnsSignatureValuesIntoText) { EXPECT_EQ(fieldText(GetParam().value), GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(Values, FieldText,
                         ::testing::Values(FieldCase{"a b", "a b"}, FieldCase{300, "300"}, FieldCase{-7, "-7"},
                                           FieldCase{18446744073709551615ULL, "18446744073709551615"},
                                           FieldCase{300.0, "300"}, FieldCase{2.5, ""}, FieldCase{1e300, ""},
                                           FieldCase{co::Value::object(), ""}, FieldCase{co::Value::array(), ""},
                                           FieldCase{nullptr, ""}, FieldCase{true, ""}));

}  // namespace
}  // namespace galvoria::publishing
