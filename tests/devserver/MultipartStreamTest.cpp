// The streaming form reader must give the same parts whatever the pieces the body arrives in, also
// when the data holds look-alikes of the delimiter.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devserver/MultipartStream.hpp"

namespace galvoria::devserver {
namespace {

struct Part {
    std::string name;
    std::optional<std::string> fileName;
    std::optional<std::string> contentType;
    std::string data;
    bool operator==(const Part&) const = default;
};

void PrintTo(const Part& part, std::ostream* out) {
    *out << "{" << part.name << ", " << part.fileName.value_or("-") << ", " << part.contentType.value_or("-") << ", "
         << ::testing::PrintToString(part.data) << "}";
}

struct Outcome {
    std::vector<Part> parts;
    bool accepted = true;
    bool finished = false;
};

Outcome readInPieces(const std::string& boundary, const std::string& body, std::size_t pieceBytes) {
    Outcome outcome;
    MultipartStream stream(
        boundary,
        [&](const PartHead& head) {
            outcome.parts.push_back({head.name, head.fileName, head.contentType, {}});
            return true;
        },
        [&](const char* data, std::size_t length) {
            outcome.parts.back().data.append(data, length);
            return true;
        });
    for (std::size_t offset = 0; offset < body.size(); offset += pieceBytes) {
        outcome.accepted =
            stream.feed(body.data() + offset, std::min(pieceBytes, body.size() - offset)) && outcome.accepted;
    }
    outcome.finished = stream.finished();
    return outcome;
}

// Near misses of the delimiter "\r\n--b0undary", and one without its line break.
const std::string trickyData = "a\r\n--b0undar\r\n--b0undarX--b0undary-no-line-break\r\n-\r\n\r\n--b0undar";
const std::string wellFormed =
    "preamble to ignore\r\n"
    "--b0undary\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nuploads/p/u/a.jpg\r\n"
    "--b0undary  \r\ncontent-disposition: form-data; name=\"empty\"\r\n\r\n\r\n"
    "--b0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"say \\\"hi\\\"; ok.jpg\"\r\n"
    "Content-Type: image/jpeg\r\n\r\n" +
    trickyData + "\r\n--b0undary--\r\nepilogue";

class MultipartPiecesTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MultipartPiecesTest, GivesTheSamePartsForAnyPieceSize) {
    Outcome outcome = readInPieces("b0undary", wellFormed, GetParam());
    EXPECT_TRUE(outcome.accepted);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.parts, (std::vector<Part>{{"key", std::nullopt, std::nullopt, "uploads/p/u/a.jpg"},
                                                {"empty", std::nullopt, std::nullopt, ""},
                                                {"file", "say \"hi\"; ok.jpg", "image/jpeg", trickyData}}));
}

INSTANTIATE_TEST_SUITE_P(Pieces, MultipartPiecesTest, ::testing::Values(1, 2, 3, 7, 12, 64, 100000));

// The delimiter is searched for several places at a time: the look-alikes and the closing delimiter
// shifted through every place of such a stride.
TEST(MultipartShiftTest, FindsTheDelimiterAtEveryOffset) {
    for (std::size_t shift = 0; shift < 40; ++shift) {
        const std::string data = std::string(shift, '\r') + trickyData;
        const std::string body =
            "--b0undary\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n" + data + "\r\n--b0undary--\r\n";
        const Outcome outcome = readInPieces("b0undary", body, body.size());
        ASSERT_TRUE(outcome.finished) << shift;
        EXPECT_EQ(outcome.parts.at(0).data, data) << shift;
    }
}

struct MalformedCase {
    const char* name;
    std::string body;
    bool accepted;  // no structural error found
};

class MultipartMalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MultipartMalformedTest, NeverFinishes) {
    for (std::size_t pieces : {1, 5, 100000}) {
        Outcome outcome = readInPieces("b0undary", GetParam().body, pieces);
        EXPECT_FALSE(outcome.finished);
        EXPECT_EQ(outcome.accepted, GetParam().accepted);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MultipartMalformedTest,
    ::testing::Values(
        MalformedCase{"Unclosed", "--b0undary\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxyz", true},
        MalformedCase{"NoDisposition", "--b0undary\r\nContent-Type: text/plain\r\n\r\nxyz\r\n--b0undary--\r\n", false},
        MalformedCase{"OtherDisposition",
                      "--b0undary\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--b0undary--", false},
        MalformedCase{"GarbageAfterDelimiter", "--b0undaryX\r\n\r\n", false},
        MalformedCase{"NoDelimiterAtAll", "just some bytes", true}),
    [](const auto& info) { return info.param.name; });

TEST(MultipartBoundaryTest, ReadsTheParameterOfFormDataOnly) {
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=abc"), "abc");
    EXPECT_EQ(multipartBoundary("Multipart/Form-Data;charset=utf-8; BOUNDARY=\"a b;c\""), "a b;c");
    EXPECT_EQ(multipartBoundary("multipart/mixed; boundary=abc"), std::nullopt);
    EXPECT_EQ(multipartBoundary("multipart/form-data"), std::nullopt);
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=" + std::string(71, 'x')), std::nullopt);
}

}  // namespace
}  // namespace galvoria::devserver
