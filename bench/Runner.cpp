// galvoria-bench: measures the plugin through galvoria-host against galvoria-devserver on this
// machine, each figure next to a baseline measured in the same run, and writes the summary.
//
//   galvoria-bench --bin DIR --work DIR --scripts DIR --summary FILE
//                  --tls-bin DIR --tls-origin URL --tls-ca PEM --tls-cert PEM --tls-key PEM [--quick]
//
// DIR of --bin holds galvoria-host (with the bundle beside it), galvoria-devserver and
// galvoria-bench-options; the service origin is the one compiled into them. --tls-bin holds a
// galvoria-host built for the https origin --tls-origin, whose service presents --tls-cert (issued
// by the authority --tls-ca, which the host trusts through GALVORIA_CA_BUNDLE). --work is a scratch
// folder on the disk the storage writes to; --scripts holds curl-loop.sh.

#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <string>

#include "bench/Cases.hpp"
#include "bench/Report.hpp"

namespace galvoria::bench {
namespace {

int runAll(const Paths& paths, const Plan& plan) {
    fs::create_directories(paths.logs());
    Json machineJson = machine(paths, plan);
    // The https host trusts the run's own authority; the plain one never reads this.
    ::setenv("GALVORIA_CA_BUNDLE", paths.tlsAuthority.c_str(), 1);
    const Host plainHost{paths.bin, paths.prefs()};
    const Host tlsHost{paths.tlsBin, paths.work / "preferences-tls.json"};
    Service service(paths, GALVORIA_SERVICE_URL, false);
    Service tlsService(paths, paths.tlsOrigin, true);
    std::map<std::string, Case> cases;
    const auto keep = [&cases](const Case& each) { cases[each.name] = each; };

    std::cerr << "Storage on disk (" << paths.storage().string() << ")" << std::endl;
    service.clearStorage();
    service.start(StorageMode::disk);
    std::string token = login(paths, plainHost);
    keep(oneBigFile(paths, plan, service, plainHost, token));
    const ManyFilesFigures many = manyFiles(paths, plan, service, plainHost, token);
    keep(many.manyFiles);
    keep(many.connections);
    keep(many.cpu);
    service.stop();

    std::cerr << "Storage that parses and discards" << std::endl;
    service.start(StorageMode::discard);
    login(paths, plainHost);
    keep(linkLimit(paths, plan, service, plainHost));
    const MemoryFigures memory = memoryCases(paths, plan, plainHost);
    keep(memory.memory);
    keep(memory.memoryGrowth);
    service.stop();

    std::cerr << "Uploads signed to the route that reads the form without parsing it" << std::endl;
    service.start(StorageMode::sink);
    token = login(paths, plainHost);
    const SinkFigures sink = sinkCases(paths, plan, service, plainHost, token);
    keep(sink.clientBound);
    keep(sink.formParsing);
    service.stop();

    std::cerr << "Every response held back " << plan.latencyMs << " ms" << std::endl;
    service.start(StorageMode::discard, std::nullopt, plan.latencyMs);
    login(paths, plainHost);
    keep(roundTrips(paths, plan, service, plainHost));
    service.stop();

    std::cerr << "Over TLS (" << paths.tlsOrigin << "), storage on disk" << std::endl;
    tlsService.start(StorageMode::disk);
    token = login(paths, tlsHost);
    keep(oneBigFile(paths, plan, tlsService, tlsHost, token));
    const ManyFilesFigures tlsMany = manyFiles(paths, plan, tlsService, tlsHost, token);
    keep(tlsMany.manyFiles);
    keep(tlsMany.connections);
    keep(tlsMany.cpu);
    tlsService.stop();

    std::cerr << "A large account: " << plan.bigWorkspaces << " workspaces, " << plan.bigFolders << " folders, "
              << plan.bigProjects << " projects" << std::endl;
    const fs::path stateFile = prepareLargeState(paths, plan, service);
    service.start(StorageMode::discard, stateFile);
    login(paths, plainHost);
    auto optionFigures = options(paths, plan, service);
    keep(optionFigures.warm);
    keep(optionFigures.cold);
    keep(load(paths, plan));
    service.stop();

    return report(paths, cases, machineJson) ? 0 : 1;
}

}  // namespace
}  // namespace galvoria::bench

int main(int argc, char** argv) {
    using namespace galvoria::bench;
    Paths paths;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (argument == "--quick") {
            quick = true;
        } else if (argument == "--bin") {
            paths.bin = next();
        } else if (argument == "--work") {
            paths.work = next();
        } else if (argument == "--scripts") {
            paths.scripts = next();
        } else if (argument == "--summary") {
            paths.summary = next();
        } else if (argument == "--tls-bin") {
            paths.tlsBin = next();
        } else if (argument == "--tls-origin") {
            paths.tlsOrigin = next();
        } else if (argument == "--tls-ca") {
            paths.tlsAuthority = next();
        } else if (argument == "--tls-cert") {
            paths.tlsCertificate = next();
        } else if (argument == "--tls-key") {
            paths.tlsKey = next();
        } else {
            std::cerr << "galvoria-bench: unknown argument " << argument << "\n";
            return 2;
        }
    }
    if (paths.bin.empty() || paths.work.empty() || paths.scripts.empty() || paths.summary.empty() ||
        paths.tlsBin.empty() || paths.tlsOrigin.empty() || paths.tlsAuthority.empty() || paths.tlsCertificate.empty() ||
        paths.tlsKey.empty()) {
        std::cerr << "usage: galvoria-bench --bin DIR --work DIR --scripts DIR --summary FILE --tls-bin DIR "
                     "--tls-origin URL --tls-ca PEM --tls-cert PEM --tls-key PEM [--quick]\n";
        return 2;
    }
    try {
        return runAll(paths, planFor(quick));
    } catch (const std::exception& error) {
        std::cerr << "galvoria-bench: " << error.what() << "\n";
        return 2;
    }
}
