#pragma once
// The cases of a benchmark run, each measured against the service in the mode the run started it in.

#include <string>

#include "bench/Case.hpp"
#include "bench/Host.hpp"
#include "bench/Plan.hpp"
#include "bench/Service.hpp"

namespace galvoria::bench {

// One file published, against curl -F posting the same form (storage on disk).
Case oneBigFile(const Paths& paths, const Plan& plan, const Service& service, const Host& host,
                const std::string& token);

// The publish to the storage that parses the form (and discards the file), against curl -T streaming
// the same file to the route that only reads the body.
Case linkLimit(const Paths& paths, const Plan& plan, const Service& service, const Host& host);

struct MemoryFigures {
    Case memory;
    Case memoryGrowth;
};

// The host's peak resident set publishing files of growing sizes.
MemoryFigures memoryCases(const Paths& paths, const Plan& plan, const Host& host);

struct SinkFigures {
    Case clientBound;
    Case formParsing;
};

// With uploads signed to the route that reads the form without parsing it: the publish against curl -F
// posting the same form there (the client against the link alone), and curl -F posting the same form
// to the parsing storage route against the same to the raw route (the service's form parsing).
SinkFigures sinkCases(const Paths& paths, const Plan& plan, const Service& service, const Host& host,
                      const std::string& token);

struct ManyFilesFigures {
    Case manyFiles;
    Case connections;  // plain: TCP connections; over TLS: full TLS handshakes
    Case cpu;
};

// Many small files in one publish, against a bash loop of three curl calls per file.
ManyFilesFigures manyFiles(const Paths& paths, const Plan& plan, const Service& service, const Host& host,
                           const std::string& token);

// Files published with every response head held back by the latency: the time from the first sign
// request reaching the service to the host's exit, in round trips per file. The start (process,
// plugin, the lists) is left out: its requests are the same whatever the number of files.
Case roundTrips(const Paths& paths, const Plan& plan, const Service& service, const Host& host);

// A state with many workspaces, folders and projects: the seeded state the service writes on its
// first start, extended. The big workspace belongs to the demo account and holds every folder and
// project added.
fs::path prepareLargeState(const Paths& paths, const Plan& plan, Service& service);

struct OptionsFigures {
    Case warm;
    Case cold;
};

// The publish options over the large state, in process: rebuilt from the caches, and walked from empty caches.
OptionsFigures options(const Paths& paths, const Plan& plan, const Service& service);

// The bundle loaded and its first settings built through galvoria-host drive, over the bare process.
Case load(const Paths& paths, const Plan& plan);

}  // namespace galvoria::bench
