#include "devserver/MultipartStream.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "devserver/Text.hpp"

namespace galvoria::devserver {

namespace {

constexpr std::size_t maximumHeaderBlockBytes = 16 * 1024;

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Splits "form-data; name=\"a\"; filename=\"b\"" into its parameters; quoted values may hold ';' and
// backslash escapes.
void forEachParameter(std::string_view value, const std::function<void(std::string_view, std::string)>& visit) {
    std::size_t index = value.find(';');
    while (index != std::string_view::npos && index < value.size()) {
        ++index;
        while (index < value.size() && (value[index] == ' ' || value[index] == '\t')) ++index;
        std::size_t equals = value.find('=', index);
        if (equals == std::string_view::npos) return;
        std::string_view key = trimBlanks(value.substr(index, equals - index));
        index = equals + 1;
        std::string text;
        if (index < value.size() && value[index] == '"') {
            ++index;
            while (index < value.size() && value[index] != '"') {
                if (value[index] == '\\' && index + 1 < value.size()) ++index;
                text.push_back(value[index++]);
            }
            index = value.find(';', index);
        } else {
            std::size_t end = value.find(';', index);
            text = std::string(trimBlanks(value.substr(index, end == std::string_view::npos ? end : end - index)));
            index = end;
        }
        visit(key, std::move(text));
    }
}

}  // namespace

std::optional<std::string> multipartBoundary(std::string_view contentType) {
    std::string_view type = trimBlanks(contentType.substr(0, contentType.find(';')));
    if (!equalsIgnoringCase(type, "multipart/form-data")) return std::nullopt;
    std::optional<std::string> boundary;
    forEachParameter(contentType, [&](std::string_view key, std::string value) {
        if (equalsIgnoringCase(key, "boundary") && !boundary) boundary = std::move(value);
    });
    if (!boundary || boundary->empty() || boundary->size() > 70) return std::nullopt;
    return boundary;
}

MultipartStream::MultipartStream(const std::string& boundary, PartBegins begins, PartData data)
    : delimiter_("\r\n--" + boundary), begins_(std::move(begins)), data_(std::move(data)), pending_("\r\n") {}

bool MultipartStream::feed(const char* data, std::size_t length) {
    if (state_ == State::failed) return false;
    if (state_ == State::epilogue) return true;
    const std::string_view piece(data, length);
    // Inside a part's data with only a short tail kept, the piece is read where it lies instead of
    // being copied behind the tail: a delimiter that starts in the tail ends within the piece's
    // first delimiter-length bytes, so the tail joined with those tells whether one does.
    if ((state_ == State::body || state_ == State::preamble) && pending_.size() < delimiter_.size() &&
        length >= delimiter_.size()) {
        const std::size_t tail = pending_.size();
        pending_.append(data, delimiter_.size());
        const bool seamHoldsDelimiter = findDelimiter(pending_).has_value();
        pending_.resize(tail);
        if (!seamHoldsDelimiter) {
            if (state_ == State::body && tail > 0 && !data_(pending_.data(), tail)) {
                state_ = State::failed;
                return false;
            }
            pending_.clear();
            consume(piece);
            return state_ != State::failed;
        }
    }
    pending_.append(piece);
    consume(pending_);
    return state_ != State::failed;
}

void MultipartStream::consume(std::string_view input) {
    input_ = input;
    consumed_ = 0;
    while (state_ != State::failed && state_ != State::epilogue && step()) {
    }
    const std::string_view rest = input_.substr(std::min(consumed_, input_.size()));
    if (input_.data() == pending_.data()) {
        pending_.erase(0, input_.size() - rest.size());
    } else {
        pending_.assign(rest);
    }
    input_ = {};
    consumed_ = 0;
}

std::optional<std::size_t> MultipartStream::findDelimiter(std::string_view text) const {
    const std::size_t length = delimiter_.size();
    std::size_t start = 0;
#if defined(__SSE2__)
    // A file's bytes are scanned sixteen places at a time for the delimiter's first byte with its last
    // byte where it would end; in photo data both meet about once in 65,536 places, and only there are
    // the bytes between compared. memmem cost as much as receiving the bytes from the socket.
    if (length >= 2 && text.size() >= length + 15) {
        const __m128i first = _mm_set1_epi8(delimiter_.front());
        const __m128i last = _mm_set1_epi8(delimiter_.back());
        const std::size_t candidates = text.size() - length + 1;  // places where the delimiter could start
        for (; start + 16 <= candidates; start += 16) {
            const char* at = text.data() + start;
            const __m128i begins = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), first);
            const __m128i ends =
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + length - 1)), last);
            auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(begins, ends)));
            while (mask != 0) {
                const auto offset = static_cast<std::size_t>(__builtin_ctz(mask));
                if (std::memcmp(at + offset + 1, delimiter_.data() + 1, length - 2) == 0) return start + offset;
                mask &= mask - 1;
            }
        }
    }
#endif
    const void* found = ::memmem(text.data() + start, text.size() - start, delimiter_.data(), length);
    if (found == nullptr) return std::nullopt;
    return static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

bool MultipartStream::step() {
    std::string_view rest = input_.substr(consumed_);
    switch (state_) {
        case State::preamble:
        case State::body: {
            const auto found = findDelimiter(rest);
            std::size_t end =
                found ? *found : (rest.size() >= delimiter_.size() ? rest.size() - delimiter_.size() + 1 : 0);
            if (state_ == State::body && end > 0 && !data_(rest.data(), end)) {
                state_ = State::failed;
                return false;
            }
            consumed_ += end;
            if (!found) return false;
            consumed_ += delimiter_.size();
            state_ = State::afterDelimiter;
            return true;
        }
        case State::afterDelimiter: {
            if (rest.size() < 2) return false;
            if (rest.starts_with("--")) {
                consumed_ = input_.size();
                state_ = State::epilogue;
                return false;
            }
            std::size_t blanks = 0;
            while (blanks < rest.size() && (rest[blanks] == ' ' || rest[blanks] == '\t')) ++blanks;
            if (rest.size() < blanks + 2) return false;
            if (rest.substr(blanks, 2) != "\r\n") {
                state_ = State::failed;
                return false;
            }
            consumed_ += blanks + 2;
            state_ = State::headers;
            return true;
        }
        case State::headers: {
            // A part without headers starts with its blank line at once.
            std::size_t end = rest.starts_with("\r\n") ? 0 : rest.find("\r\n\r\n");
            if (end == std::string_view::npos) {
                if (rest.size() > maximumHeaderBlockBytes) state_ = State::failed;
                return false;
            }
            if (end > maximumHeaderBlockBytes || !parseHeaders(rest.substr(0, end))) {
                state_ = State::failed;
                return false;
            }
            consumed_ += end == 0 ? 2 : end + 4;
            state_ = State::body;
            return true;
        }
        case State::epilogue:
        case State::failed:
            return false;
    }
    return false;
}

bool MultipartStream::parseHeaders(std::string_view block) {
    PartHead head;
    bool disposition = false;
    while (!block.empty()) {
        std::size_t end = block.find("\r\n");
        std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return false;
        std::string_view name = trimBlanks(line.substr(0, colon));
        std::string_view value = trimBlanks(line.substr(colon + 1));
        if (equalsIgnoringCase(name, "Content-Disposition")) {
            if (!equalsIgnoringCase(trimBlanks(value.substr(0, value.find(';'))), "form-data")) return false;
            disposition = true;
            forEachParameter(value, [&head](std::string_view key, std::string text) {
                if (equalsIgnoringCase(key, "name")) {
                    head.name = std::move(text);
                } else if (equalsIgnoringCase(key, "filename")) {
                    head.fileName = std::move(text);
                }
            });
        } else if (equalsIgnoringCase(name, "Content-Type")) {
            head.contentType = std::string(value);
        }
    }
    return disposition && begins_(head);
}

}  // namespace galvoria::devserver
