#pragma once
// Where a publish sends the files: the publish options filled from the command's flags, with
// menus and prompts at the terminal for what the flags leave open.

#include <optional>
#include <string>

#include "host/Commands.hpp"
#include "host/PublishOptionsForm.hpp"

namespace galvoria::host {

// What the person chose, for the summary and the JSON report.
struct Destination {
    std::optional<Choice> source;
    std::optional<Choice> workspace;
    std::optional<Choice> folder;
    std::optional<std::string> newFolder;
    std::optional<Choice> project;
    std::optional<std::string> newProject;
    // The identifiers of the folder and project the publish created, once it has.
    std::optional<std::string> createdFolderId;
    std::optional<std::string> createdProjectId;

    [[nodiscard]] std::optional<std::string> projectId() const {
        return project ? std::optional<std::string>(project->value) : createdProjectId;
    }

    // The choices in order, as one line.
    [[nodiscard]] std::string summary() const;

    [[nodiscard]] co::Value json() const;
};

// A step of the choice that could not be made: a usage problem (exit 2) or a refusal (exit 1).
struct Stop {
    int status;
    std::string text;
};

// The destination chosen, or the step that could not be made (with the destination as far as it
// got). `interactive`: standard input is a terminal, so menus and prompts may ask.
struct ChosenDestination {
    Destination destination;
    std::optional<Stop> stop;
};

ChosenDestination chooseDestination(PublishOptionsForm& form, const PublishOptions& options, bool interactive);

}  // namespace galvoria::host
