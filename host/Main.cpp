// galvoria-host: a host for the galvoria plugin bundle.
//
//   galvoria-host drive --bundle PATH --prefs PATH [--strings PATH]
//
// loads the bundle and lets another program call the plugin's entry points over JSON lines.

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "host/Drive.hpp"

int main(int argc, char** argv) {
    CLI::App app{"galvoria-host: loads the galvoria publishing plugin and drives it", "galvoria-host"};
    app.set_version_flag("--version",
                         std::string("galvoria-host ") + GALVORIA_VERSION + " (service " + GALVORIA_SERVICE_URL + ")");
    app.require_subcommand(1);

    galvoria::host::HostOptions options;
    options.bundle = galvoria::host::defaultBundlePath();
    std::string bundle = options.bundle.string();
    std::string prefs;
    std::string strings;

    auto* drive =
        app.add_subcommand("drive", "Drive the plugin's entry points over JSON lines (standard input/output)");
    drive->add_option("--bundle", bundle, "The plugin bundle folder (*.coplugin)")->capture_default_str();
    drive->add_option("--prefs", prefs, "The preference store file (default: the user's store)");
    drive->add_option("--strings", strings, "The application's string table (JSON object text -> translation)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        // Usage errors: one line on standard error, exit status 2.
        std::cerr << "galvoria-host: " << error.what() << " (see galvoria-host --help)\n";
        return 2;
    }

    options.bundle = bundle;
    if (!prefs.empty()) {
        options.prefs = prefs;
    }
    if (!strings.empty()) {
        options.strings = strings;
    }
    if (drive->parsed()) {
        return galvoria::host::runDrive(options);
    }
    return 2;
}
