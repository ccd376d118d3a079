// tallory: the command-line front end over the library's exports.
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

int fail(const std::string& message) {
    std::fprintf(stderr, "tallory: %s\n", message.c_str());
    return kExitFailed;
}

}  // namespace tallory::cli

int main(int argc, char** argv) {
    using namespace tallory::cli;
    CLI::App app{"Tallory: convert audio between MP3, Windows Media, WAV, AIFF, Ogg Vorbis and CD tracks"};
    app.name("tallory");
    app.require_subcommand(0, 1);
    bool showVersion = false;
    app.add_flag("--version", showVersion, "Print the version and exit");

    CommandAction action;
    addFormatsCommand(app, action);
    addSettingsCommand(app, action);
    addConvertCommand(app, action);
    addPlaylistCommand(app, action);
    addCodecsCommand(app, action);
    addInfoCommand(app, action);
    addTagsCommand(app, action);
    addIsoCommand(app, action);
    addCdCommand(app, action);
    addCdBurnCommand(app, action);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    if (showVersion) {
        std::printf("%s %s\n", TALLORY_PRODUCT_NAME, TalloryVersion());
        return kExitOk;
    }
    if (!action) {
        std::cerr << app.help();
        return kExitUsage;
    }
    return action();
}
