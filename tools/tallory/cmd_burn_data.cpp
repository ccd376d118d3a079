// tallory cd burn-data: a data CD (ISO9660) burned track-at-once onto a
// recorder, or onto the simulated recorder and kept as an ISO image.
#include <string>
#include <vector>

#include "commands.h"
#include "console_progress.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

struct BurnDataArgs {
    std::vector<std::string> items;  // [DEVICE] PATH...
    std::string image;
    std::string label;
    bool joliet = false;
    bool keepCase = false;
    std::string boot;
    int bootEmulation = 0;
    bool test = false;
    bool underrun = false;
    bool verify = false;
    bool overwrite = false;
    bool quiet = false;
};

bool isDeviceNode(const std::string& s) { return s.rfind("/dev/", 0) == 0; }

int runBurnData(const BurnDataArgs& a) {
    std::string device;
    std::vector<std::string> paths = a.items;
    if (a.image.empty()) {
        if (paths.empty() || !isDeviceNode(paths.front()))
            return fail("name a recorder (/dev/srN or /dev/sgN) or give --image out.iso");
        device = paths.front();
        paths.erase(paths.begin());
    } else if (!paths.empty() && isDeviceNode(paths.front())) {
        return fail("give either a recorder or --image, not both");
    }
    if (paths.empty()) return fail("no files or folders to burn");
    std::vector<const char*> p;
    for (const std::string& s : paths) p.push_back(s.c_str());
    TalloryDataBurnRequest r{};
    r.size = sizeof r;
    r.flags = (a.joliet ? TALLORY_ISO_JOLIET : 0u) | (a.keepCase ? TALLORY_ISO_KEEP_CASE : 0u) |
              (a.test ? TALLORY_DATA_BURN_TEST : 0u) | (a.underrun ? TALLORY_DATA_BURN_UNDERRUN : 0u) |
              (a.verify ? TALLORY_DATA_BURN_VERIFY : 0u) | (a.overwrite ? TALLORY_DATA_BURN_OVERWRITE : 0u);
    r.paths = p.data();
    r.pathCount = uint32_t(p.size());
    r.device = device.empty() ? nullptr : device.c_str();
    r.image = a.image.empty() ? nullptr : a.image.c_str();
    r.volumeLabel = a.label.c_str();
    r.bootImage = a.boot.empty() ? nullptr : a.boot.c_str();
    r.bootEmulation = a.bootEmulation;
    ConsoleProgress progress(OverwriteKind::Never, a.quiet);
    ConsoleProgress::installInterruptHandler();
    const HRESULT hr = TalloryBurnDataDisc(&r, &progress);
    progress.Finish();
    if (hr == E_ABORT && progress.IsCancelled() != 0) return fail("cancelled");
    if (hr == E_ABORT) return fail(a.image + " exists (use --overwrite to replace it)");
    if (hr == E_INVALIDARG) return fail("invalid request");
    if (hr != S_OK) return fail((device.empty() ? a.image : device) + ": disc not burned");
    return kExitOk;
}

}  // namespace

void addCdBurnDataCommand(CLI::App& app, CommandAction& action) {
    static BurnDataArgs args;
    CLI::App* cd = app.get_subcommand("cd");
    CLI::App* cmd = cd->add_subcommand("burn-data", "Burn a data CD (ISO9660, track-at-once) onto a recorder or into an .iso");
    cmd->add_option("ITEM", args.items, "[DEVICE] then the files and folders to put at the disc's root")->required();
    cmd->add_option("--image", args.image, "Burn onto the simulated recorder and save the data track as this .iso");
    cmd->add_option("--label", args.label, "Volume label (at most 32 characters)")->required();
    cmd->add_flag("--joliet", args.joliet, "Also write Joliet (long, Unicode) names");
    cmd->add_flag("--keep-case", args.keepCase, "Keep the case of valid 8.3 names");
    cmd->add_option("--boot", args.boot, "El Torito boot image");
    cmd->add_option("--boot-emulation", args.bootEmulation, "0 none, 1 1.2 MB, 2 1.44 MB, 3 2.88 MB diskette, 4 hard disk")
        ->check(CLI::Range(0, 4));
    cmd->add_flag("--test", args.test, "Test mode: the laser stays off and the disc blank");
    cmd->add_flag("--burn-proof", args.underrun, "Buffer-underrun protection where the drive has it");
    cmd->add_flag("--verify", args.verify, "Read the track back and compare an MD5 of every file with its source");
    cmd->add_flag("--overwrite", args.overwrite, "Replace an existing image");
    cmd->add_flag("-q,--quiet", args.quiet, "No progress bar");
    cmd->callback([&] { action = [] { return runBurnData(args); }; });
}

}  // namespace tallory::cli
