// The storage's streaming form reader must give the same parts whatever the pieces the body arrives
// in, also when the data holds look-alikes of the delimiter, and never finish a body cut short.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devserver/MultipartStream.hpp"

namespace galvoria::devserver {
namespace {

// A part's name, file name, content type and data.
using Part = std::tuple<std::string, std::optional<std::string>, std::optional<std::string>, std::string>;

// The parts read, and whether the form was accepted and finished.
std::tuple<std::vector<Part>, bool, bool> readInPieces(const std::string& body, std::size_t pieceBytes) {
    std::vector<Part> parts;
    MultipartStream stream(
        "b0undary",
        [&](const PartHead& head) {
            parts.emplace_back(head.name, head.fileName, head.contentType, "");
            return true;
        },
        [&](const char* data, std::size_t length) {
            std::get<3>(parts.back()).append(data, length);
            return true;
        });
    bool accepted = true;
    for (std::size_t offset = 0; offset < body.size(); offset += pieceBytes)
        accepted = stream.feed(body.data() + offset, std::min(pieceBytes, body.size() - offset)) && accepted;
    return {parts, accepted, stream.finished()};
}

// Near misses of the delimiter "\r\n--b0undary", and one without its line break.
const std::string trickyData = "a\r\n--b0undar\r\n--b0undarX--b0undary-no-line-break\r\n-\r\n\r\n--b0undar";

TEST(MultipartStreamTest, GivesTheSamePartsForAnyPieceSizeAndNeverFinishesACutBody) {
    const std::string body =
        "preamble to ignore\r\n"
        "--b0undary\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nuploads/p/u/a.jpg\r\n"
        "--b0undary  \r\ncontent-disposition: form-data; name=\"empty\"\r\n\r\n\r\n"
        "--b0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"say \\\"hi\\\"; ok.jpg\"\r\n"
        "Content-Type: image/jpeg\r\n\r\n" +
        trickyData + "\r\n--b0undary--\r\nepilogue";
    const std::vector<Part> parts = {{"key", std::nullopt, std::nullopt, "uploads/p/u/a.jpg"},
                                     {"empty", std::nullopt, std::nullopt, ""},
                                     {"file", "say \"hi\"; ok.jpg", "image/jpeg", trickyData}};
    for (const std::size_t pieces : {1, 2, 3, 7, 12, 64, 100000}) {
        EXPECT_EQ(readInPieces(body, pieces), std::tuple(parts, true, true)) << pieces;
        EXPECT_FALSE(std::get<2>(readInPieces(body.substr(0, body.find("\r\n--b0undary--")), pieces))) << pieces;
    }
}

// The delimiter is searched for several places at a time: the look-alikes and the closing delimiter
// shifted through every place of such a stride.
TEST(MultipartStreamTest, FindsTheDelimiterAtEveryOffset) {
    for (std::size_t shift = 0; shift < 40; ++shift) {
        const std::string data = std::string(shift, '\r') + trickyData;
        const auto [parts, accepted, finished] = readInPieces(
            "--b0undary\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n" + data + "\r\n--b0undary--\r\n",
            100000);
        ASSERT_TRUE(finished) << shift;
        EXPECT_EQ(std::get<3>(parts.at(0)), data) << shift;
    }
}

}  // namespace
}  // namespace galvoria::devserver
