// tallory convert: files and playlist entries into another format, one file
// through AudioConvert with -o, or a batch through BatchConvertEx.
#include <cstdio>
#include <fstream>
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

struct ConvertArgs {
    std::vector<std::string> inputs;
    std::string format;
    std::string output;
    std::string scheme = "<sourcedir>/<sourcename>";
    bool deleteSources = false;
    int jobs = 1;
    std::vector<std::string> options;
    bool normalize = false;
    int startMs = -1;
    int endMs = -1;
    bool bpm = false;
    bool replayGain = false;
    bool overwrite = false;
    bool noOverwrite = false;
    bool quiet = false;
};

// Applies NAME=VALUE options to the target; false with the target's reason.
bool applyOptions(IConvTarget* target, const FormatInfo& info, const std::vector<std::string>& options,
                  std::string& error) {
    for (const std::string& option : options) {
        const OptionValue o = splitOption(option);
        const std::string& name = o.name;
        const char* value = o.hasValue ? o.value.c_str() : nullptr;
        char why[TALLORY_MAX_PATH] = "";
        if (!target->SetOption(name.c_str(), value, why)) {
            error = why[0] != '\0' ? "option " + name + ": " + why
                                   : "unknown option \"" + name + "\" for " + info.name + " files";
            return false;
        }
    }
    return true;
}

// Turns the tempo analysis on for one run and puts the stored value back after.
class BpmForThisRun {
public:
    BpmForThisRun() {
        had_ = GetProfileIntA("Settings", "BPMAnalysis", &previous_);
        PutProfileInt("Settings", "BPMAnalysis", 1);
    }
    ~BpmForThisRun() {
        if (had_) {
            PutProfileInt("Settings", "BPMAnalysis", previous_);
        } else {
            PutProfileString("Settings", "BPMAnalysis", nullptr);
        }
    }

private:
    int previous_ = 0;
    bool had_ = false;
};

// Loudness measurement and tags for this run only.
class ReplayGainForThisRun {
public:
    explicit ReplayGainForThisRun(bool on) : on_(on) {
        if (on_) ConvSetLoudnessAnalysis(1, nullptr, nullptr);
    }
    ~ReplayGainForThisRun() {
        if (on_) ConvSetLoudnessAnalysis(0, nullptr, nullptr);
    }
    ReplayGainForThisRun(const ReplayGainForThisRun&) = delete;
    ReplayGainForThisRun& operator=(const ReplayGainForThisRun&) = delete;

private:
    bool on_;
};

int runConvert(const ConvertArgs& a, const std::string& input) {
    std::string error;
    FormatInfo info;
    if (!findFormat(a.format, info, error)) return fail(error);
    Ref<IConvSource> source(createSourceFor(input, error));
    if (!source) return fail(error);
    Ref<IConvTarget> target(createTargetFor(info, error));
    if (!target) return fail(error);
    if (!target->SetPath(a.output.c_str())) return fail(a.output + ": cannot use this path");
    if (!applyOptions(target.get(), info, a.options, error)) return fail(error);

    OverwriteKind overwrite = a.overwrite ? OverwriteKind::Always : a.noOverwrite ? OverwriteKind::Never : OverwriteKind::Ask;
    ConsoleProgress progress(overwrite, a.quiet);
    ConsoleProgress::installInterruptHandler();
    HRESULT hr;
    {
        std::unique_ptr<BpmForThisRun> bpm;
        if (a.bpm) bpm = std::make_unique<BpmForThisRun>();
        ReplayGainForThisRun replayGain(a.replayGain);
        hr = AudioConvert(source.get(), target.get(), &progress, 0, a.normalize ? 1 : 0, a.startMs, a.endMs);
    }
    progress.Finish();
    if (progress.IsCancelled() != 0) {
        fail("cancelled");
        return kExitInterrupted;
    }
    if (hr != S_OK) return fail(input + ": conversion failed");
    if (a.bpm) {
        if (progress.tempo() > 0) {
            std::printf("tempo: %.1f BPM\n", progress.tempo());
        } else {
            std::printf("tempo: not found\n");
        }
    }
    if (!a.quiet) std::fprintf(stderr, "%s -> %s\n", input.c_str(), a.output.c_str());
    return kExitOk;
}

// The files to convert: each FILE, or each entry of a playlist FILE.
bool expandInputs(const std::vector<std::string>& inputs, std::vector<std::string>& files) {
    for (const std::string& input : inputs) {
        IPlaylist* playlist = nullptr;
        if (FAILED(PlaylistCreateFromFile(input.c_str(), &playlist)) || playlist == nullptr) {
            files.push_back(input);
            continue;
        }
        std::vector<char> entry(TALLORY_PLAYLIST_ENTRY_MAX);
        while (PlaylistGetNextEx(playlist, entry.data(), static_cast<int>(entry.size())) == S_OK) {
            files.emplace_back(entry.data());
        }
        playlist->Destroy();
        // The library reads a missing playlist as an empty one; here it is a mistake.
        if (!std::ifstream(input, std::ios::binary)) {
            fail(input + ": cannot read this playlist");
            return false;
        }
    }
    return true;
}

// Each file becomes a batch item with its own source and target.
int runBatchConvert(const ConvertArgs& a, const std::vector<std::string>& files) {
    std::string error;
    FormatInfo info;
    if (!findFormat(a.format, info, error)) return fail(error);
    if (a.scheme.size() >= TALLORY_MAX_PATH) {
        return fail("the naming scheme is longer than " + std::to_string(TALLORY_MAX_PATH - 1) + " bytes");
    }
    std::vector<Ref<IConvSource>> sources;
    std::vector<Ref<IConvTarget>> targets;
    std::vector<BatchItem> items;
    bool allMade = true;
    for (const std::string& file : files) {
        Ref<IConvSource> source(createSourceFor(file, error));
        if (!source) {
            fail(error);
            allMade = false;
            continue;
        }
        Ref<IConvTarget> target(createTargetFor(info, error));
        if (!target) return fail(error);
        if (!applyOptions(target.get(), info, a.options, error)) return fail(error);
        BatchItem item{};
        std::snprintf(item.scheme, sizeof item.scheme, "%s", a.scheme.c_str());
        item.startMs = a.startMs;
        item.endMs = a.endMs;
        item.source = source.get();
        item.target = target.get();
        items.push_back(item);
        sources.push_back(std::move(source));
        targets.push_back(std::move(target));
    }
    if (items.empty()) return kExitFailed;
    items.push_back(BatchItem{});
    BatchOptions options{sizeof(BatchOptions), a.jobs,
                         a.overwrite ? BATCH_OVERWRITE_ALWAYS : a.noOverwrite ? BATCH_OVERWRITE_NEVER : BATCH_OVERWRITE_ASK,
                         a.quiet ? 1 : 0};
    BatchResult result{};
    HRESULT hr;
    {
        std::unique_ptr<BpmForThisRun> bpm;
        if (a.bpm) bpm = std::make_unique<BpmForThisRun>();
        ReplayGainForThisRun replayGain(a.replayGain);
        hr = BatchConvertEx(items.data(), nullptr, a.normalize ? 1 : 0, a.deleteSources ? 1 : 0, &options, &result);
    }
    if (hr == E_ABORT) {
        fail("cancelled");
        return kExitInterrupted;
    }
    return hr == S_OK && allMade ? kExitOk : kExitFailed;
}

int runConvertCommand(const ConvertArgs& a) {
    // The command's own -q also silences the library's log below errors (FFmpeg's lines).
    if (a.quiet) TalloryLogSetLevel(TALLORY_LOG_ERROR);
    std::vector<std::string> files;
    if (!expandInputs(a.inputs, files)) return kExitFailed;
    if (files.empty()) return fail("nothing to convert: the playlists are empty");
    if (!a.output.empty()) {
        if (files.size() != 1) {
            std::fprintf(stderr, "tallory: -o names one output file; use --scheme for %zu inputs\n", files.size());
            return kExitUsage;
        }
        return runConvert(a, files[0]);
    }
    return runBatchConvert(a, files);
}

}  // namespace

void addConvertCommand(CLI::App& app, CommandAction& action) {
    static ConvertArgs args;
    CLI::App* cmd = app.add_subcommand("convert", "Convert audio files (and the entries of playlists) into another format");
    cmd->add_option("FILE", args.inputs, "Files to convert; a .m3u, .pls or .wax playlist adds its entries")->required();
    cmd->add_option("--to", args.format, "Output format: a name (tallory formats) or an extension")->required();
    CLI::Option* output = cmd->add_option("-o,--output", args.output, "Output file (one input only)");
    cmd->add_option("--scheme", args.scheme,
                    "Naming scheme of the outputs: <sourcedir> <sourcename> <sourcepath[:N]> <artist> <album> "
                    "<title> <year> <genre> <tracknum>; the format's extension is added")
        ->capture_default_str()
        ->excludes(output);
    cmd->add_flag("--delete-sources", args.deleteSources, "Move converted source files to the Trash");
    cmd->add_option("--jobs", args.jobs, "Convert this many files at once")->check(CLI::Range(1, 64));
    cmd->add_option("--option", args.options, "A target option NAME=VALUE (repeatable)");
    cmd->add_flag("--normalize", args.normalize, "Raise the volume so that the loudest sample reaches full scale");
    cmd->add_option("--start", args.startMs, "Start at this many milliseconds")->check(CLI::NonNegativeNumber);
    cmd->add_option("--end", args.endMs, "End at this many milliseconds")->check(CLI::NonNegativeNumber);
    cmd->add_flag("--bpm", args.bpm, "Measure the tempo (for this run only) and print it");
    cmd->add_flag("--replaygain", args.replayGain,
                  "Measure the loudness (EBU R128) while converting and write ReplayGain 2.0 tags; files of one "
                  "album in a batch also get album values");
    CLI::Option* yes = cmd->add_flag("--overwrite", args.overwrite, "Replace an existing output file");
    CLI::Option* no = cmd->add_flag("--no-overwrite", args.noOverwrite, "Never replace an existing output file");
    yes->excludes(no);
    cmd->add_flag("-q,--quiet", args.quiet, "Print errors only");
    cmd->callback([&action] { action = [] { return runConvertCommand(args); }; });
}

}  // namespace tallory::cli
