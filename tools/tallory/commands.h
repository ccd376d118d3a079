// The subcommands of the command-line front end. Each adds itself to the app
// and returns the code to exit with when it ran.
#ifndef TALLORY_TOOLS_COMMANDS_H
#define TALLORY_TOOLS_COMMANDS_H

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace tallory::cli {

// Exit codes: success, a failed operation, a usage error, an interrupt (as
// shells report a program ended by SIGINT: 128 + 2).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Set by the subcommand that ran.
using CommandAction = std::function<int()>;

void addFormatsCommand(CLI::App& app, CommandAction& action);
void addSettingsCommand(CLI::App& app, CommandAction& action);
void addConvertCommand(CLI::App& app, CommandAction& action);
void addPlaylistCommand(CLI::App& app, CommandAction& action);
void addCodecsCommand(CLI::App& app, CommandAction& action);
void addInfoCommand(CLI::App& app, CommandAction& action);
void addTagsCommand(CLI::App& app, CommandAction& action);
void addPlayCommand(CLI::App& app, CommandAction& action);

// Names the app "tallory" and adds the --version flag and every subcommand;
// parsing sets `action` to the subcommand that was chosen.
void configureApp(CLI::App& app, CommandAction& action, bool& showVersion);
void addIsoCommand(CLI::App& app, CommandAction& action);
void addCdCommand(CLI::App& app, CommandAction& action);
// Adds "burn" to the "cd" command: after addCdCommand.
void addCdBurnCommand(CLI::App& app, CommandAction& action);
// Adds "burn-data" to the "cd" command: after addCdCommand.
void addCdBurnDataCommand(CLI::App& app, CommandAction& action);

// Prints "tallory: message" on standard error and returns kExitFailed.
int fail(const std::string& message);

}  // namespace tallory::cli

#endif
