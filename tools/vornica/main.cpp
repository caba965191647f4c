// vornica: the administration tool of an instance's index cache, reservations and job results.
// Every command goes through the library's classes and its lock protocol; none takes a lock
// that could make a job wait.
#include <iostream>

#include "tools/vornica/Commands.h"

int main(int argc, char** argv) {
    CLI::App app{"vornica: see and clean an instance's cache, reservations and job results"};
    app.set_version_flag("--version", "vornica 0.1.0");
    GlobalOptions& options = globalOptions();
    app.add_option("--config", options.config, "the instance's settings file (default: $VORNICA_CONFIG, else /etc/vornica/$VORNICA_INSTANCE.ini)");
    app.add_flag("--json", options.json, "one JSON document on stdout (JSON lines for long commands); errors as JSON on stderr");
    app.fallthrough();
    app.require_subcommand(1);
    addCacheCommands(*app.add_subcommand("cache", "the cache directories: ls, show, clean, sweep"));
    addReserveCommands(*app.add_subcommand("reserve", "the space reservations: ls"));
    addResultsCommands(*app.add_subcommand("results", "a job's results: page, map, generate"));
    addDoctorCommand(app);
    for (CLI::App* command : app.get_subcommands({})) command->fallthrough();

    auto fail = [&](int code, const std::string& message) {
        std::cout.flush();
        if (options.json)
            std::cerr << Json{{"message_type", "error"}, {"exit_code", code}, {"message", message}}.dump() << '\n';
        else
            std::cerr << "vornica: " << message << '\n';
        return code;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << '\n';
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        // A misspelt command is left over, and CLI11 would only say that a command is missing.
        const std::vector<std::string> leftOver = app.remaining(true);
        if (!leftOver.empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr)
            return fail(kExitUsage, "unknown command '" + leftOver.front() + "' (see --help)");
        return fail(kExitUsage, std::string(e.what()) + " (see --help)");
    } catch (const ToolExit& e) {
        return e.code;
    } catch (const ToolFailure& e) {
        return fail(e.code, e.message);
    } catch (const std::exception& e) {
        return fail(kExitFailure, std::string("unexpected failure: ") + e.what());
    }
    return kExitOk;
}
