#pragma once
// How a publish shows its progress: a bar redrawn in place on a terminal, one line per report
// elsewhere, or nothing. The plugin reports after each file; rates and the time left are worked
// out from the sizes of the files sent so far. While a file is in flight the bar still moves: a
// mark runs along it and the time spent on the file counts up.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace galvoria::host {

struct PublishedFile {
    std::string name;  // as shown: the last component of its path
    std::uint64_t bytes = 0;
};

// Where a publish stands at one moment.
struct ProgressSnapshot {
    std::uint64_t completed = 0;
    std::uint64_t total = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    std::string current;                   // the file being sent; empty when all are done
    std::optional<double> bytesPerSecond;  // none before the first report
    std::optional<double> secondsLeft;     // none before the first report
    std::optional<double> currentSeconds;  // time spent on the file being sent
    unsigned phase = 0;                    // advances with each redraw: where the moving mark is
};

// "1.4 MB", "512 B"; "1.4 MB/s"; "0:07", "1:02:03".
std::string formatBytes(double bytes);
std::string formatRate(double bytesPerSecond);
std::string formatDuration(double seconds);
// The bar's line, at most `width` columns wide. The file name and the plugin's message are shown
// through terminal::visible.
std::string progressBarLine(const ProgressSnapshot& snapshot, int width);
// The line printed for one report where no bar can be drawn.
std::string progressReportLine(const ProgressSnapshot& snapshot, const std::string& message);

class ProgressDisplay {
public:
    enum class Style { bar, lines, none };
    using Writer = std::function<void(std::string_view)>;

    ProgressDisplay(Style style, std::vector<PublishedFile> files, Writer writer, std::function<int()> width);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void start();
    // One report of the plugin: `completed` of `total` files are done.
    void report(std::uint64_t completed, std::uint64_t total, const std::string& message);
    // A line of its own, kept above the bar.
    void note(std::string_view text);
    // Leaves the bar in its last state on a line of its own.
    void finish();

    [[nodiscard]] std::uint64_t completed() const;
    // Where the publish stands now.
    [[nodiscard]] ProgressSnapshot snapshot() const;
    [[nodiscard]] std::vector<std::string> completedNames() const;

private:
    using Clock = std::chrono::steady_clock;
    ProgressSnapshot snapshotLocked(Clock::time_point now) const;
    void drawLocked();
    void tick();

    const Style style_;
    const std::vector<PublishedFile> files_;
    const Writer writer_;
    const std::function<int()> width_;
    std::uint64_t bytesTotal_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Clock::time_point started_;
    std::optional<Clock::time_point> lastReport_;
    unsigned phase_ = 0;
    std::uint64_t completed_ = 0;
    bool running_ = false;
    std::thread ticker_;
};

}  // namespace galvoria::host
