// galvoria-devserver: the local galvoria service on the command line.
//
//   galvoria-devserver [--host H] [--port N] [--test-mode] [--state FILE] [--storage DIR] [--discard-storage]
//
// The first line on standard output names the origin it listens on; one line per request follows on
// standard error. SIGINT or SIGTERM stops it cleanly.

#include <csignal>
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "devserver/Server.hpp"

int main(int argc, char** argv) {
    galvoria::devserver::ServerOptions options;
    options.logRequests = true;
    std::string stateFile;
    std::string storageDir;

    CLI::App app{"The local galvoria service"};
    app.add_option("--host", options.host, "Address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "Port to listen on; 0 picks a free one")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_flag("--test-mode", options.testMode, "Serve the /_test/ control surface");
    app.add_option("--state", stateFile, "State file: loaded at start when present, saved on every change");
    app.add_option("--storage", storageDir, "Folder for stored files (default: a fresh temporary folder)");
    app.add_flag("--discard-storage", options.discardStorage, "Check uploads fully but keep no file bytes");
    CLI11_PARSE(app, argc, argv);
    if (!stateFile.empty()) options.stateFile = stateFile;
    options.storageDir = storageDir;

    // The signals are taken synchronously below; every thread the server starts inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    galvoria::devserver::Server server(options);
    if (!server.start()) {
        std::cerr << "galvoria-devserver: cannot listen on " << options.host << ":" << options.port << "\n";
        return 1;
    }
    std::cout << "galvoria-devserver listening on " << server.origin() << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    return 0;
}
