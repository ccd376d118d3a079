// tallory cd burn: an audio CD burned disc-at-once, kept as a cue/bin image.
#include <string>
#include <vector>

#include "commands.h"
#include "console_progress.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

struct BurnArgs {
    std::vector<std::string> files;
    std::string image;
    bool overwrite = false;
    bool quiet = false;
};

int runBurn(const BurnArgs& a) {
    std::vector<const char*> files;
    for (const std::string& f : a.files) files.push_back(f.c_str());
    ConsoleProgress progress(OverwriteKind::Never, a.quiet);
    ConsoleProgress::installInterruptHandler();
    HRESULT hr = TalloryBurnAudioImage(files.data(), uint32_t(files.size()), a.image.c_str(),
                                       a.overwrite ? TALLORY_BURN_OVERWRITE : 0u, &progress);
    if (hr == E_ABORT && progress.IsCancelled() != 0) return fail("cancelled");
    if (hr == E_ABORT) return fail(a.image + " exists (use --overwrite to replace it)");
    if (hr == E_INVALIDARG) return fail("invalid request (1 to 99 files)");
    if (hr != S_OK) return fail(a.image + ": disc not burned");
    return kExitOk;
}

}  // namespace

void addCdBurnCommand(CLI::App& app, CommandAction& action) {
    static BurnArgs args;
    CLI::App* cd = app.get_subcommand("cd");
    CLI::App* cmd = cd->add_subcommand("burn", "Burn an audio CD (disc-at-once) into a cue/bin image");
    cmd->add_option("FILE", args.files, "One track per file: CD-format WAVE or AIFF, or raw samples")->required();
    cmd->add_option("--image", args.image, "The cue sheet to write (the .bin goes beside it)")->required();
    cmd->add_flag("--overwrite", args.overwrite, "Replace an existing image");
    cmd->add_flag("-q,--quiet", args.quiet, "No progress bar");
    cmd->callback([&] { action = [] { return runBurn(args); }; });
}

}  // namespace tallory::cli
