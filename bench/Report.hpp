#pragma once
// What a run reports: the machine it measured on, a table of the cases on standard output and the
// summary file.

#include <map>
#include <string>

#include "bench/Case.hpp"
#include "bench/Plan.hpp"

namespace galvoria::bench {

// The machine, the origins, the kind of run, the load average at its start and curl's version.
Json machine(const Paths& paths, const Plan& plan);

// Prints the table and writes the summary, the cases in the table's order, the load average at the
// end added to `machine`; true when every case met its target.
bool report(const Paths& paths, const std::map<std::string, Case>& cases, Json machine);

}  // namespace galvoria::bench
