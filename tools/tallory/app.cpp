// The command line of tallory: every subcommand on one app, shared by main and
// the fuzz target of the command-line values.
#include <cstdio>

#include "commands.h"

namespace tallory::cli {

int fail(const std::string& message) {
    std::fprintf(stderr, "tallory: %s\n", message.c_str());
    return kExitFailed;
}

void configureApp(CLI::App& app, CommandAction& action, bool& showVersion) {
    app.name("tallory");
    app.require_subcommand(0, 1);
    app.add_flag("--version", showVersion, "Print the version and exit");
    addFormatsCommand(app, action);
    addSettingsCommand(app, action);
    addConvertCommand(app, action);
    addPlaylistCommand(app, action);
    addCodecsCommand(app, action);
    addInfoCommand(app, action);
    addTagsCommand(app, action);
    addPlayCommand(app, action);
    addIsoCommand(app, action);
    addCdCommand(app, action);
    addCdBurnCommand(app, action);
    addCdBurnDataCommand(app, action);
}

}  // namespace tallory::cli
