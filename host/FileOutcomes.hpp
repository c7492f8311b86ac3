#pragma once
// What became of each file of a publish, read back from the plugin's texts. A text that names the
// files left out lists them in file order as "NAME (REASON)", separated by ", " and ended by ".";
// the task's own file names are what make the list readable when a name holds ", " or "(".

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace galvoria::host {

// `sent`: the plugin went through the file, but the publish was stopped before it told the outcome.
enum class FileStatus { published, notPublished, sent, notSent };

struct FileOutcome {
    std::string name;
    FileStatus status = FileStatus::notSent;
    std::string reason;  // why a file was not published, when the plugin said

    bool operator==(const FileOutcome&) const = default;
};

struct FailedFile {
    std::size_t index = 0;  // into the task's files
    std::string reason;

    bool operator==(const FailedFile&) const = default;
};

// The list that makes up all of `text`, against the task's file names in order; no value when
// `text` is not such a list of those files.
std::optional<std::vector<FailedFile>> readFailedList(std::string_view text, const std::vector<std::string>& names);

// The list in a partial result's message ("Published K of N files. Not published: LIST") or in
// the failure reason of a publish where no file went through ("None of the N files could be
// published: LIST", "The file could not be published: LIST"); no value when `text` holds none.
std::optional<std::vector<FailedFile>> failedFilesIn(std::string_view text, const std::vector<std::string>& names);

std::string_view statusName(FileStatus status);

}  // namespace galvoria::host
