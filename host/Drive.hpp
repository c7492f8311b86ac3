#pragma once
// `galvoria-host drive`: lets a program call the plugin's entry points one at a time over JSON
// lines (requests on standard input, events and replies on standard output, the log on standard
// error).

#include "host/HostEnvironment.hpp"

namespace galvoria::host {

// The exit status when the protocol output was closed (its reader went away): the call in progress
// was completed (a publish stops after the file being sent) and no further request was read.
constexpr int outputClosedStatus = 3;

// Serves the protocol until standard input ends or the output is closed; returns the process exit
// status.
int runDrive(const HostOptions& options);

}  // namespace galvoria::host
