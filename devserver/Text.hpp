#pragma once
// Small text helpers of the service: URL segments, HTML, sizes, times and log-safe text.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace galvoria::devserver {

using Clock = std::chrono::system_clock;

// %XX sequences decoded; a malformed sequence is kept as it stands. '+' stays '+'.
std::string percentDecode(std::string_view text);
// Every byte outside the unreserved set (A-Z a-z 0-9 - . _ ~) as %XX.
std::string percentEncodeSegment(std::string_view text);
// Each '/'-separated segment percent-encoded, the slashes kept.
std::string percentEncodePath(std::string_view text);

std::string htmlEscape(std::string_view text);

// "512 B", "2.0 KB", "1.4 MB", "3.2 GB" (decimal units).
std::string humanReadableSize(std::uint64_t bytes);

// Number of code points of a UTF-8 text (continuation bytes are not counted).
std::size_t codePointCount(std::string_view text);

// Leading and trailing ASCII whitespace and NUL removed, the way the service trims its inputs.
std::string trimmed(std::string_view text);

// Control characters and bytes above 0x7E replaced by '?', for log lines.
std::string printable(std::string_view text, std::size_t maxLength = 200);

// Decimal digits only, no sign, fits 64 bits.
std::optional<std::uint64_t> parseDecimal(std::string_view text);

// "2024-12-07T01:00:00Z" and back.
std::string isoTime(Clock::time_point time);
std::optional<Clock::time_point> parseIsoTime(std::string_view text);
// "20241207T010000Z".
std::string compactTime(Clock::time_point time);
// "2024-12-07 01:00 UTC".
std::string displayTime(std::string_view isoText);

// The media type of a file, from its extension (case ignored); application/octet-stream when unknown.
std::string contentTypeForFileName(std::string_view fileName);

bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace galvoria::devserver
