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
    [[nodiscard]] auto fields() const { return std::tuple(parts, accepted, finished); }
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

TEST(MultipartPiecesTest, GivesTheSamePartsForAnyPieceSize) {
    const std::vector<Part> parts = {{"key", std::nullopt, std::nullopt, "uploads/p/u/a.jpg"},
                                     {"empty", std::nullopt, std::nullopt, ""},
                                     {"file", "say \"hi\"; ok.jpg", "image/jpeg", trickyData}};
    for (const std::size_t pieces : {1, 2, 3, 7, 12, 64, 100000})
        EXPECT_EQ(readInPieces("b0undary", wellFormed, pieces).fields(), std::tuple(parts, true, true)) << pieces;
}

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

TEST(MultipartMalformedTest, NeverFinishes) {
    // Each body, and whether no structural error is found in it.
    const std::vector<std::tuple<const char*, std::string, bool>> cases = {
        {"Unclosed", "--b0undary\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxyz", true},
        {"NoDisposition", "--b0undary\r\nContent-Type: text/plain\r\n\r\nxyz\r\n--b0undary--\r\n", false},
        {"OtherDisposition", "--b0undary\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--b0undary--",
         false},
        {"GarbageAfterDelimiter", "--b0undaryX\r\n\r\n", false},
        {"NoDelimiterAtAll", "just some bytes", true}};
    for (const auto& [name, body, accepted] : cases) {
        for (const std::size_t pieces : {1, 5, 100000}) {
            const Outcome outcome = readInPieces("b0undary", body, pieces);
            EXPECT_EQ(std::pair(outcome.accepted, outcome.finished), std::pair(accepted, false)) << name << pieces;
        }
    }
}

TEST(MultipartBoundaryTest, ReadsTheParameterOfFormDataOnly) {
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=abc"), "abc");
    EXPECT_EQ(multipartBoundary("Multipart/Form-Data;charset=utf-8; BOUNDARY=\"a b;c\""), "a b;c");
    EXPECT_EQ(multipartBoundary("multipart/mixed; boundary=abc"), std::nullopt);
    EXPECT_EQ(multipartBoundary("multipart/form-data"), std::nullopt);
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=" + std::string(71, 'x')), std::nullopt);
}

}  // namespace
}  // namespace galvoria::devserver
