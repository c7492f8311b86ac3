#include "host/ProgressDisplay.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <utf8proc.h>

#include "host/Terminal.hpp"

namespace galvoria::host {
namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(250);
constexpr int widestBar = 24;

// The columns `text` takes on a terminal.
int columnsOf(std::string_view text) {
    int columns = 0;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t codepoint = 0;
        const auto used = utf8proc_iterate(bytes, left, &codepoint);
        if (used <= 0) {
            ++columns;  // a stray byte shows as one replacement character
            ++bytes;
            --left;
            continue;
        }
        columns += std::max(0, utf8proc_charwidth(codepoint));
        bytes += used;
        left -= used;
    }
    return columns;
}

// `text` cut to `width` columns on a character boundary, ending in "…" when cut.
std::string fitColumns(const std::string& text, int width) {
    if (width <= 0) {
        return {};
    }
    if (columnsOf(text) <= width) {
        return text;
    }
    std::string out;
    int used = 0;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t codepoint = 0;
        auto length = utf8proc_iterate(bytes, left, &codepoint);
        const int columns = length <= 0 ? 1 : std::max(0, utf8proc_charwidth(codepoint));
        length = std::max<utf8proc_ssize_t>(length, 1);
        if (used + columns > width - 1) {
            break;
        }
        out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
        used += columns;
        bytes += length;
        left -= length;
    }
    return out + "…";
}

std::string counted(const ProgressSnapshot& snapshot) {
    if (snapshot.completed < snapshot.total) {
        std::string text = "file " + std::to_string(snapshot.completed + 1) + " of " + std::to_string(snapshot.total);
        if (snapshot.currentSeconds) {
            text += " (" + formatDuration(*snapshot.currentSeconds) + ")";
        }
        return text;
    }
    return std::to_string(snapshot.total) + " of " + std::to_string(snapshot.total) + " files";
}

double fractionDone(const ProgressSnapshot& snapshot) {
    if (snapshot.bytesTotal > 0) {
        return static_cast<double>(snapshot.bytesDone) / static_cast<double>(snapshot.bytesTotal);
    }
    return snapshot.total == 0 ? 1.0 : static_cast<double>(snapshot.completed) / static_cast<double>(snapshot.total);
}

}  // namespace

std::string formatBytes(double bytes) {
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB"};
    std::size_t unit = 0;
    while (bytes >= 1000.0 && unit + 1 < std::size(units)) {
        bytes /= 1000.0;
        ++unit;
    }
    char buffer[32];
    if (unit == 0) {
        std::snprintf(buffer, sizeof buffer, "%.0f %s", bytes, units[unit]);
    } else {
        std::snprintf(buffer, sizeof buffer, bytes < 10.0 ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    }
    return buffer;
}

std::string formatRate(double bytesPerSecond) { return formatBytes(bytesPerSecond) + "/s"; }

std::string formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
        return "--:--";
    }
    const auto whole = static_cast<long long>(std::llround(seconds));
    char buffer[32];
    if (whole >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", whole / 60, whole % 60);
    }
    return buffer;
}

std::string progressBarLine(const ProgressSnapshot& snapshot, int width) {
    const double fraction = std::clamp(fractionDone(snapshot), 0.0, 1.0);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
    const std::string rate = snapshot.bytesPerSecond ? formatRate(*snapshot.bytesPerSecond) : "-- B/s";
    const std::string left = snapshot.secondsLeft ? formatDuration(*snapshot.secondsLeft) : "--:--";
    const std::string facts = std::string(percent) + "  " + counted(snapshot) + "  " + rate + "  ETA " + left;

    // The bar gives way first, then the file name.
    const int room = width - columnsOf(facts) - 1;
    const int barWidth = std::clamp(room - 16, 0, widestBar);
    std::string line;
    if (barWidth >= 6) {
        const int filled = static_cast<int>(std::lround(fraction * barWidth));
        std::string cells(static_cast<std::size_t>(barWidth), '-');
        std::fill_n(cells.begin(), filled, '#');
        // A file in flight: a mark runs along the part still to go.
        if (snapshot.currentSeconds && filled < barWidth) {
            cells[static_cast<std::size_t>(filled) + snapshot.phase % static_cast<unsigned>(barWidth - filled)] = '>';
        }
        line.append("[").append(cells).append("] ");
    }
    line += facts;
    if (!snapshot.current.empty()) {
        line += "  " + terminal::visible(snapshot.current);
    }
    return fitColumns(line, width);
}

std::string progressReportLine(const ProgressSnapshot& snapshot, const std::string& message) {
    std::string line = terminal::visible(message);
    if (snapshot.bytesPerSecond) {
        line += "  " + formatRate(*snapshot.bytesPerSecond);
        if (snapshot.completed < snapshot.total && snapshot.secondsLeft) {
            line += ", " + formatDuration(*snapshot.secondsLeft) + " left";
        }
    }
    return line;
}

ProgressDisplay::ProgressDisplay(Style style, std::vector<PublishedFile> files, Writer writer,
                                 std::function<int()> width)
    : style_(style), files_(std::move(files)), writer_(std::move(writer)), width_(std::move(width)) {
    for (const auto& file : files_) {
        bytesTotal_ += file.bytes;
    }
}

ProgressDisplay::~ProgressDisplay() { finish(); }

void ProgressDisplay::start() {
    std::lock_guard lock(mutex_);
    started_ = Clock::now();
    running_ = true;
    if (style_ == Style::bar) {
        drawLocked();
        ticker_ = std::thread([this] { tick(); });
    }
}

void ProgressDisplay::tick() {
    std::unique_lock lock(mutex_);
    while (running_) {
        changed_.wait_for(lock, redrawInterval);
        ++phase_;
        if (running_) {
            drawLocked();
        }
    }
}

ProgressSnapshot ProgressDisplay::snapshotLocked(Clock::time_point now) const {
    ProgressSnapshot snapshot;
    snapshot.completed = std::min<std::uint64_t>(completed_, files_.size());
    snapshot.total = files_.size();
    snapshot.bytesTotal = bytesTotal_;
    for (std::uint64_t i = 0; i < snapshot.completed; ++i) {
        snapshot.bytesDone += files_[i].bytes;
    }
    if (snapshot.completed < snapshot.total) {
        snapshot.current = files_[snapshot.completed].name;
        if (running_) {
            snapshot.currentSeconds = std::chrono::duration<double>(now - lastReport_.value_or(started_)).count();
            snapshot.phase = phase_;
        }
    }
    if (lastReport_) {
        const double seconds = std::chrono::duration<double>(*lastReport_ - started_).count();
        const double rate = seconds > 0 ? static_cast<double>(snapshot.bytesDone) / seconds : 0.0;
        snapshot.bytesPerSecond = rate;
        if (rate > 0) {
            const double sinceReport = std::chrono::duration<double>(now - *lastReport_).count();
            const double left = static_cast<double>(snapshot.bytesTotal - snapshot.bytesDone) / rate - sinceReport;
            snapshot.secondsLeft = std::max(0.0, left);
        }
    }
    return snapshot;
}

void ProgressDisplay::drawLocked() {
    const int width = std::max(20, width_ ? width_() : 80) - 1;
    std::string line = "\r";
    line.append(progressBarLine(snapshotLocked(Clock::now()), width)).append("\x1b[K");
    writer_(line);
}

void ProgressDisplay::report(std::uint64_t completed, std::uint64_t /*total*/, const std::string& message) {
    std::lock_guard lock(mutex_);
    completed_ = completed;
    lastReport_ = Clock::now();
    switch (style_) {
        case Style::bar:
            drawLocked();
            break;
        case Style::lines:
            writer_(progressReportLine(snapshotLocked(*lastReport_), message) + "\n");
            break;
        case Style::none:
            break;
    }
}

void ProgressDisplay::note(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (style_ == Style::bar && running_) {
        writer_("\r\x1b[K" + std::string(text) + "\n");
        drawLocked();
    } else {
        writer_(std::string(text) + "\n");
    }
}

void ProgressDisplay::finish() {
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            return;
        }
        running_ = false;
        if (style_ == Style::bar) {
            drawLocked();
            writer_("\n");
        }
    }
    changed_.notify_all();
    if (ticker_.joinable()) {
        ticker_.join();
    }
}

std::uint64_t ProgressDisplay::completed() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

ProgressSnapshot ProgressDisplay::snapshot() const {
    std::lock_guard lock(mutex_);
    return snapshotLocked(Clock::now());
}

std::vector<std::string> ProgressDisplay::completedNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < completed_ && i < files_.size(); ++i) {
        names.push_back(files_[i].name);
    }
    return names;
}

}  // namespace galvoria::host
