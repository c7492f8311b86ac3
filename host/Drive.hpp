#pragma once
// `galvoria-host drive`: lets a program call the plugin's entry points one at a time over JSON
// lines (requests on standard input, events and replies on standard output, the log on standard
// error).

#include "host/HostEnvironment.hpp"

namespace galvoria::host {

// Serves the protocol until standard input ends; returns the process exit status.
int runDrive(const HostOptions& options);

}  // namespace galvoria::host
