// tallory cd burn: an audio CD recorded disc-at-once from files of any
// readable format, on a recorder or into a cue/bin image, optionally read
// back and compared with the sources.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli_values.h"
#include "commands.h"
#include "console_progress.h"
#include "object_helpers.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

// Frame numbers of the tag model.
constexpr int kFrameAlbum = 29;   // TALB
constexpr int kFrameTitle = 47;   // TIT2
constexpr int kFrameArtist = 61;  // TPE1

struct BurnArgs {
    std::vector<std::string> args;  // [DEVICE] FILE...
    std::string image;
    bool cdText = false;
    bool test = false;
    bool verify = false;
    int speed = 0;
    bool overwrite = false;
    bool quiet = false;
};

// The console bar with the drive's buffer fill beside the track.
class BurnProgress final : public ConsoleProgress {
public:
    explicit BurnProgress(bool quiet)
        : ConsoleProgress(OverwriteKind::Never, quiet), terminal_(::isatty(STDERR_FILENO) != 0) {}
    void SetItem(const char* text, int isPath) override {
        item_ = text != nullptr ? text : "";
        show(isPath);
    }
    static void onStatus(void* context, const TalloryBurnStatus* status) {
        auto* self = static_cast<BurnProgress*>(context);
        if (status == nullptr || !self->terminal_ || status->bufferFillPercent == self->buffer_) return;
        self->buffer_ = status->bufferFillPercent;
        self->show(0);
    }

private:
    void show(int isPath) {
        std::string line = item_;
        // Only a bar shows the fill; log lines would repeat the track for every change.
        if (terminal_ && buffer_ >= 0 && item_.rfind("Track ", 0) == 0) line += "  buffer " + std::to_string(buffer_) + "%";
        ConsoleProgress::SetItem(line.c_str(), isPath);
    }
    bool terminal_;
    std::string item_;
    int buffer_ = -1;
};

// A failed write asks on the terminal whether to retry with a new blank disc
// (the engine's message box); without a terminal the burn ends.
int askOnTerminal(HWND, const char* text, const char* caption, uint32_t style) {
    if ((style & 0xF) != MB_RETRYCANCEL || ::isatty(STDIN_FILENO) == 0) return IDCANCEL;
    std::fprintf(stderr, "\n%s: %s\nPut a new blank disc in and retry? [r/C] ", caption != nullptr ? caption : "",
                 text != nullptr ? text : "");
    std::fflush(stderr);
    char answer[16] = "";
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return IDCANCEL;
    return answer[0] == 'r' || answer[0] == 'R' ? IDRETRY : IDCANCEL;
}

std::string frameText(IMetadataTag* tag, int id) {
    Ref<IMetadataFrame> frame;
    if (tag->GetFrame(id, IID_IMetadataFrame, reinterpret_cast<void**>(frame.out())) != S_OK) return {};
    char16_t text[1024] = {};
    frame->GetDisplayText(text, 1023);
    return toUtf8(text);
}

struct SourceTexts {
    std::string title, artist, album;
};

SourceTexts textsOf(IConvSource* source, const std::string& path) {
    SourceTexts t;
    Ref<IMetadataFile> file;
    if (source->GetTag(file.out()) && file) {
        Ref<IMetadataTag> tag;
        if (SUCCEEDED(file->ReadTag(tag.out())) && tag) {
            t.title = frameText(tag.get(), kFrameTitle);
            t.artist = frameText(tag.get(), kFrameArtist);
            t.album = frameText(tag.get(), kFrameAlbum);
        }
    }
    if (t.title.empty()) {
        // A file without a title tag is named on the disc after the file.
        std::string name = path.substr(path.find_last_of('/') + 1);
        const auto dot = name.rfind('.');
        t.title = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    }
    return t;
}

// The drive named by a device node or a collection index; reports why not.
bool findRecorder(const std::string& device, Ref<ICDDrive>& drive) {
    Ref<ICDDrives> drives;
    if (FAILED(CreateAudioCDDevices(drives.out()))) {
        fail("cannot list the CD drives");
        return false;
    }
    char error[TALLORY_MAX_PATH];
    if (drives->GetInitError(error) != S_OK) {
        fail(error);
        return false;
    }
    const int n = drives->CountDrives(0);
    for (int i = 0; i < n; ++i) {
        char desc[TALLORY_MAX_PATH * 2] = "";
        drives->GetDriveDescription(i, desc, sizeof desc);
        const std::string d = desc, tail = "(" + device + ")";
        if (device == std::to_string(i) ||
            (d.size() >= tail.size() && d.compare(d.size() - tail.size(), tail.size(), tail) == 0)) {
            drives->GetDrive(i, drive.out());
            if ((drive->GetCapabilities() & CD_CAPABILITY_RECORDS) == 0) {
                fail(device + " is not a recorder that writes discs at once");
                return false;
            }
            return true;
        }
    }
    fail("no CD drive " + device);
    return false;
}

int runBurn(const BurnArgs& a) {
    std::string device;
    std::vector<std::string> files = a.args;
    if (a.image.empty()) {
        if (files.size() < 2) {
            fail("give a recorder (DEVICE) or --image out.cue, then the files");
            return kExitUsage;
        }
        device = files.front();
        files.erase(files.begin());
    }
    if (files.size() > CD_RECORD_MAX_AUDIO_TRACKS)
        return fail("an audio CD holds at most 99 tracks; " + std::to_string(files.size()) + " files given");
    if (a.speed < 0) {
        fail("--speed takes a positive multiple of 1x");
        return kExitUsage;
    }

    auto request = std::make_unique<CDRecordRequest>();
    std::memset(request.get(), 0, sizeof *request);
    request->kind = CD_RECORD_AUDIO;
    request->cdTextWanted = a.cdText ? 1 : 0;
    std::vector<Ref<IConvSource>> sources;
    std::vector<SourceTexts> texts;
    for (const std::string& f : files) {
        if (f.size() >= TALLORY_MAX_PATH) return fail(f + ": the path is longer than 259 bytes");
        if (::access(f.c_str(), R_OK) != 0) return fail(f + ": no such readable file");
        std::string error;
        Ref<IConvSource> source(createSourceFor(f, error));
        if (!source) return fail(f + ": " + error);
        texts.push_back(a.cdText ? textsOf(source.get(), f) : SourceTexts{});
        sources.push_back(std::move(source));
    }
    // One artist or album over every track is the disc's as well.
    std::string discArtist = texts.empty() ? "" : texts.front().artist;
    std::string discTitle = texts.empty() ? "" : texts.front().album;
    for (std::size_t i = 0; i < files.size(); ++i) {
        CDRecordItem& item = request->items[i];
        std::snprintf(item.path, sizeof item.path, "%s", files[i].c_str());
        item.source = sources[i].get();
        if (texts[i].artist != discArtist) discArtist.clear();
        if (texts[i].album != discTitle) discTitle.clear();
        if (a.cdText) {
            item.texts[CD_TRACK_TITLE] = texts[i].title.c_str();
            if (!texts[i].artist.empty()) item.texts[CD_TRACK_PERFORMER] = texts[i].artist.c_str();
        }
    }
    request->itemCount = int32_t(files.size());
    if (a.cdText) {
        if (!discTitle.empty()) request->discTexts[CD_DISC_TITLE] = discTitle.c_str();
        if (!discArtist.empty()) request->discTexts[CD_DISC_PERFORMER] = discArtist.c_str();
    }

    BurnProgress progress(a.quiet);
    ConsoleProgress::installInterruptHandler();
    TalloryBurnOptions options{};
    options.size = sizeof options;
    options.flags = (a.test ? TALLORY_BURN_TEST : 0u) | (a.verify ? TALLORY_BURN_VERIFY : 0u) |
                    (a.overwrite ? TALLORY_BURN_OVERWRITE : 0u);
    options.speed = a.speed;
    options.status = &BurnProgress::onStatus;
    options.statusContext = &progress;
    auto report = std::make_unique<TalloryBurnReport>();
    report->size = sizeof *report;

    // Retrying needs a person with a disc: only a recorder on a terminal is asked.
    const bool ask = a.image.empty() && ::isatty(STDIN_FILENO) != 0;
    if (ask) {
        TalloryUiHooks hooks{};
        hooks.size = sizeof hooks;
        hooks.messageBox = askOnTerminal;
        TalloryRegisterUi(&hooks);
    }
    HRESULT hr;
    if (!a.image.empty()) {
        hr = TalloryBurnAudioImage(request.get(), a.image.c_str(), &options, &progress, report.get());
    } else {
        Ref<ICDDrive> drive;
        if (!findRecorder(device, drive)) return kExitFailed;
        hr = TalloryRecordAudio(drive.get(), nullptr, &progress, request.get(), &options, report.get());
    }
    if (ask) TalloryRegisterUi(nullptr);
    progress.Finish();
    const std::string where = a.image.empty() ? device : a.image;
    if (progress.IsCancelled() != 0) {
        fail("cancelled; nothing was kept");
        return kExitInterrupted;
    }
    if (hr == E_ABORT && !a.image.empty()) return fail(where + ": not burned (it exists: --overwrite replaces it)");
    if (hr == E_ABORT) return fail(where + ": recording cancelled");
    if (hr == E_INVALIDARG) return fail("invalid request: 1 to 99 readable audio files");
    if (hr == S_FALSE) {
        return fail(where + ": the disc differs from its sources in " + std::to_string(report->rangeCount) +
                    " range" + (report->rangeCount == 1 ? "" : "s"));
    }
    if (hr != S_OK) return fail(where + ": disc not burned");
    if (!a.quiet && report->verified)
        std::fprintf(stderr, "Verified: %u tracks equal their sources sample for sample\n", report->tracksCompared);
    return kExitOk;
}

}  // namespace

void addCdBurnCommand(CLI::App& app, CommandAction& action) {
    static BurnArgs args;
    CLI::App* cd = app.get_subcommand("cd");
    CLI::App* cmd = cd->add_subcommand("burn", "Record an audio CD disc-at-once, on a recorder or into a cue/bin image");
    cmd->add_option("ARGS", args.args, "[DEVICE] FILE...: a recorder (/dev/srN or its index) unless --image, then one "
                                       "track per file of any readable format")
        ->required();
    cmd->add_option("--image", args.image, "Record onto a simulated recorder and save the disc as this cue sheet "
                                           "(the .bin goes beside it)");
    cmd->add_flag("--cd-text", args.cdText, "Write CD-TEXT: titles and artists from the files' tags");
    cmd->add_flag("--test", args.test, "Test mode: the laser stays off, nothing is written");
    cmd->add_option("--speed", args.speed, "Recording speed as a multiple of 1x (default: the drive's highest)");
    cmd->add_flag("--verify", args.verify, "Read the disc back and compare every track with its source");
    cmd->add_flag("--overwrite", args.overwrite, "Replace an existing image");
    cmd->add_flag("-q,--quiet", args.quiet, "No progress bar");
    cmd->callback([&] { action = [] { return runBurn(args); }; });
}

}  // namespace tallory::cli
