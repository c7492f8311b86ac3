#pragma once
// A streaming reader of multipart/form-data bodies (RFC 7578 over RFC 2046): bytes go in as they
// arrive, in pieces of any size, and come out as part heads and part data, without ever holding more
// of the body than one delimiter's length between pieces.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace galvoria::devserver {

struct PartHead {
    std::string name;
    std::optional<std::string> fileName;
    std::optional<std::string> contentType;
};

// The boundary parameter of a multipart/form-data content type; nothing for another type.
std::optional<std::string> multipartBoundary(std::string_view contentType);

class MultipartStream {
public:
    // A false return from either callback stops the reading as malformed.
    using PartBegins = std::function<bool(const PartHead& head)>;
    using PartData = std::function<bool(const char* data, std::size_t length)>;

    MultipartStream(const std::string& boundary, PartBegins begins, PartData data);

    // False once the body is found malformed; later pieces are then ignored.
    bool feed(const char* data, std::size_t length);
    // The closing delimiter has been read.
    [[nodiscard]] bool finished() const { return state_ == State::epilogue; }

private:
    enum class State { preamble, afterDelimiter, headers, body, epilogue, failed };

    // Runs the steps over `input`, which is pending_ or the caller's piece; keeps what is left of it.
    void consume(std::string_view input);
    bool step();  // consumes what it can of input_; false when it needs more bytes
    // Where the next delimiter starts in `text`, if it holds one.
    [[nodiscard]] std::optional<std::size_t> findDelimiter(std::string_view text) const;
    bool parseHeaders(std::string_view block);

    std::string delimiter_;  // CRLF "--" boundary
    PartBegins begins_;
    PartData data_;
    std::string pending_;       // bytes kept between pieces: never more than a delimiter or a header block
    std::string_view input_;    // what the steps read: pending_, or a piece read in place
    std::size_t consumed_ = 0;  // bytes at the front of input_ already handled
    State state_ = State::preamble;
};

}  // namespace galvoria::devserver
