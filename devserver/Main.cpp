// galvoria-devserver: the local galvoria service on the command line.
//
//   galvoria-devserver [--host H] [--port N] [--test-mode [--test-token T]] [--state FILE] [--storage DIR]
//                      [--discard-storage] [--sign-to-discard] [--tls-cert PEM --tls-key PEM] [--latency MS]
//
// The first line on standard output names the origin it listens on and, in test mode, the token the
// control surface requires ("... (test token T)") unless it was given; one line per request follows on
// standard error. SIGINT or SIGTERM stops it cleanly, the state file saved first.

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
    std::string certificate;
    std::string key;
    int latencyMs = 0;

    CLI::App app{"The local galvoria service"};
    app.add_option("--host", options.host, "Address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "Port to listen on; 0 picks a free one")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    auto* testMode =
        app.add_flag("--test-mode", options.testMode, "Record requests and serve the /_test/ control surface");
    app.add_option("--test-token", options.testToken,
                   "The token /_test/ requires (default: a fresh one, printed on the first line)")
        ->needs(testMode);
    app.add_option("--state", stateFile, "State file: loaded at start when present, saved within a second of a change");
    app.add_option("--storage", storageDir, "Folder for stored files (default: a fresh temporary folder)");
    app.add_flag("--discard-storage", options.discardStorage, "Check uploads fully but keep no file bytes");
    app.add_flag("--sign-to-discard", options.signToDiscard,
                 "Sign uploads to /_bench/discard, which reads the form without parsing it");
    auto* tlsCert = app.add_option("--tls-cert", certificate, "Serve HTTPS with this certificate chain (PEM)")
                        ->check(CLI::ExistingFile);
    auto* tlsKey = app.add_option("--tls-key", key, "The private key of --tls-cert (PEM)")->check(CLI::ExistingFile);
    tlsCert->needs(tlsKey);
    tlsKey->needs(tlsCert);
    app.add_option("--latency", latencyMs,
                   "Hold every response head back by MS milliseconds: emulates a link's latency, not its bandwidth")
        ->check(CLI::Range(0, 60000));
    CLI11_PARSE(app, argc, argv);
    if (!stateFile.empty()) options.stateFile = stateFile;
    options.storageDir = storageDir;
    if (!certificate.empty()) options.tls = galvoria::devserver::TlsFiles{certificate, key};
    options.responseLatency = std::chrono::milliseconds(latencyMs);
    const bool tokenGenerated = options.testMode && options.testToken.empty();

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
    std::cout << "galvoria-devserver listening on " << server.origin();
    if (tokenGenerated) std::cout << " (test token " << server.testToken() << ")";
    std::cout << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    return 0;
}
