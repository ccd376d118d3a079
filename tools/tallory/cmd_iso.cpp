// tallory iso: an ISO9660 image file from files and folders.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "console_progress.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

struct IsoArgs {
    std::vector<std::string> paths;
    std::string output;
    std::string label = "CDROM";
    bool joliet = false;
    bool keepCase = false;
    std::string boot;
    std::string emulation = "none";
    int loadSegment = 0;
    int loadSectors = 0;
    bool overwrite = false;
    bool quiet = false;
    bool verify = false;
};

// The image export counts in sectors; the bar shows bytes, so that its rate is
// right. An image holds less than 4 GiB, so bytes fit the 32-bit range.
class SectorProgress : public IConvProgress {
public:
    explicit SectorProgress(ConsoleProgress& console) : console_(console) {}
    int ConfirmOverwrite(const char* path) override { return console_.ConfirmOverwrite(path); }
    void Message(const char* text) override { console_.Message(text); }
    void MessageEx(const char* text, const char* kinds) override { console_.MessageEx(text, kinds); }
    void SetRange(uint32_t total) override { console_.SetRange(bytes(total)); }
    void SetPos(uint32_t position) override { console_.SetPos(bytes(position)); }
    void Advance(uint32_t delta) override { console_.Advance(bytes(delta)); }
    void SetAction(const char* text) override { console_.SetAction(text); }
    int IsCancelled() override { return console_.IsCancelled(); }
    void SetItem(const char* text, int isPath) override { console_.SetItem(text, isPath); }
    void Throughput(const CLSID& classId, int isRead, uint32_t b, uint32_t ms) override {
        console_.Throughput(classId, isRead, b, ms);
    }
    void Destroy() override {}
    void Cancel() override { console_.Cancel(); }
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    void Create(HWND) override {}
    void Finish() override { console_.Finish(); }

private:
    static uint32_t bytes(uint32_t sectors) {
        uint64_t b = static_cast<uint64_t>(sectors) * 2048;
        return b > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(b);
    }
    ConsoleProgress& console_;
};

int emulationNumber(const std::string& word) {
    if (word == "none") return 0;
    if (word == "1.2") return 1;
    if (word == "1.44") return 2;
    if (word == "2.88") return 3;
    if (word == "hd") return 4;
    return -1;
}

int writeIso(const IsoArgs& a) {
    std::vector<const char*> paths;
    for (const std::string& p : a.paths) paths.push_back(p.c_str());
    TalloryIsoRequest r{};
    r.size = sizeof r;
    // Folders named on the command line give their contents, as other image tools do.
    r.flags = TALLORY_ISO_CONTENTS_AT_ROOT | (a.joliet ? TALLORY_ISO_JOLIET : 0u) | (a.keepCase ? TALLORY_ISO_KEEP_CASE : 0u);
    r.paths = paths.data();
    r.pathCount = static_cast<uint32_t>(paths.size());
    r.output = a.output.c_str();
    r.volumeLabel = a.label.c_str();
    r.bootImage = a.boot.empty() ? nullptr : a.boot.c_str();
    r.bootEmulation = emulationNumber(a.emulation);
    r.bootLoadSegment = static_cast<uint16_t>(a.loadSegment);
    r.bootSectorCount = static_cast<uint16_t>(a.loadSectors);
    ConsoleProgress console(a.overwrite ? OverwriteKind::Always : OverwriteKind::Never, a.quiet);
    SectorProgress progress(console);
    ConsoleProgress::installInterruptHandler();
    HRESULT hr = TalloryWriteIsoImage(&r, &progress);
    progress.Finish();
    if (hr == E_ABORT && progress.IsCancelled() != 0) return fail("cancelled");
    if (hr == E_ABORT) return fail(a.output + " exists (use --overwrite to replace it)");
    if (hr == E_INVALIDARG) return fail("invalid request");
    if (hr != S_OK) return fail(a.output + ": image not written");
    if (!a.quiet) std::fprintf(stderr, "%s written\n", a.output.c_str());
    if (!a.verify) return kExitOk;

    hr = TalloryVerifyIsoImage(&r, &progress);
    progress.Finish();
    if (hr == E_ABORT) return fail("verification cancelled");
    if (hr == S_FALSE) return fail(a.output + ": the image differs from its sources");
    if (hr != S_OK) return fail(a.output + ": the image could not be verified");
    return kExitOk;
}

}  // namespace

void addIsoCommand(CLI::App& app, CommandAction& action) {
    static IsoArgs args;
    CLI::App* cmd = app.add_subcommand("iso", "Write an ISO9660 image file from files and folders");
    cmd->add_option("PATH", args.paths, "Files, and folders whose contents go to the image's root")->required();
    cmd->add_option("-o,--output", args.output, "The image file to write")->required();
    cmd->add_option("--label", args.label, "Volume label, at most 32 characters (default CDROM)")
        ->check(CLI::Validator([](std::string& v) { return v.size() <= 32 ? std::string() : "at most 32 characters"; },
                               "LABEL"));
    cmd->add_flag("--joliet", args.joliet, "Also write long names (Joliet)");
    cmd->add_flag("--keep-case", args.keepCase, "Keep the case of names that are valid 8.3 names");
    cmd->add_option("--boot", args.boot, "El Torito boot image")->check(CLI::ExistingFile);
    cmd->add_option("--boot-emulation", args.emulation, "none, 1.2, 1.44, 2.88 or hd (default none)")
        ->check(CLI::IsMember({"none", "1.2", "1.44", "2.88", "hd"}));
    cmd->add_option("--boot-load-segment", args.loadSegment, "Load segment without emulation (default 07C0h)")
        ->check(CLI::Range(0, 0xFFFF));
    cmd->add_option("--boot-load-size", args.loadSectors, "512-byte sectors loaded without emulation (default 4)")
        ->check(CLI::Range(0, 0xFFFF));
    cmd->add_flag("--overwrite", args.overwrite, "Replace an existing image file");
    cmd->add_flag("--verify", args.verify,
                  "Read the image back and compare an MD5 of every file with its source (exit 1 on a difference)");
    cmd->add_flag("-q,--quiet", args.quiet, "Print errors only");
    cmd->callback([&action] { action = [] { return writeIso(args); }; });
}

}  // namespace tallory::cli
