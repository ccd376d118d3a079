// tallory: the command-line front end over the library's exports.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "tallory/tallory.h"

int main(int argc, char** argv) {
    using namespace tallory::cli;
    CLI::App app{"Tallory: convert audio between MP3, Windows Media, WAV, AIFF, Ogg Vorbis and CD tracks"};
    bool showVersion = false;
    int verbose = 0;
    bool quiet = false;
    app.add_flag("-v,--verbose", verbose,
                 "Show more of the library's log: once FFmpeg's warnings, twice its notes as well");
    app.add_flag("-q,--quiet", quiet, "Show errors only, FFmpeg's lines included");
    CommandAction action;
    configureApp(app, action, showVersion);

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
    // Errors and warnings by default; FFmpeg's own warnings are information.
    TalloryLogSetLevel(quiet ? TALLORY_LOG_ERROR : TALLORY_LOG_WARNING + std::min(verbose, 2));
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
