// tallory convert: one file into another format through AudioConvert.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "console_progress.h"
#include "object_helpers.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

struct ConvertArgs {
    std::string input;
    std::string format;
    std::string output;
    std::vector<std::string> options;
    bool normalize = false;
    int startMs = -1;
    int endMs = -1;
    bool bpm = false;
    bool overwrite = false;
    bool noOverwrite = false;
    bool quiet = false;
};

// Applies NAME=VALUE options to the target; false with the target's reason.
bool applyOptions(IConvTarget* target, const FormatInfo& info, const std::vector<std::string>& options,
                  std::string& error) {
    for (const std::string& option : options) {
        size_t eq = option.find('=');
        std::string name = option.substr(0, eq);
        const char* value = nullptr;
        std::string valueText;
        if (eq != std::string::npos) {
            valueText = option.substr(eq + 1);
            value = valueText.c_str();
        }
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

int runConvert(const ConvertArgs& a) {
    std::string error;
    FormatInfo info;
    if (!findFormat(a.format, info, error)) return fail(error);
    Ref<IConvSource> source(createSourceFor(a.input, error));
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
        hr = AudioConvert(source.get(), target.get(), &progress, 0, a.normalize ? 1 : 0, a.startMs, a.endMs);
    }
    progress.Finish();
    if (progress.IsCancelled() != 0) return fail("cancelled");
    if (hr != S_OK) return fail(a.input + ": conversion failed");
    if (a.bpm) {
        if (progress.tempo() > 0) {
            std::printf("tempo: %.1f BPM\n", progress.tempo());
        } else {
            std::printf("tempo: not found\n");
        }
    }
    if (!a.quiet) std::fprintf(stderr, "%s -> %s\n", a.input.c_str(), a.output.c_str());
    return kExitOk;
}

}  // namespace

void addConvertCommand(CLI::App& app, CommandAction& action) {
    static ConvertArgs args;
    CLI::App* cmd = app.add_subcommand("convert", "Convert an audio file into another format");
    cmd->add_option("FILE", args.input, "The file to convert")->required();
    cmd->add_option("--to", args.format, "Output format: a name (tallory formats) or an extension")->required();
    cmd->add_option("-o,--output", args.output, "Output file")->required();
    cmd->add_option("--option", args.options, "A target option NAME=VALUE (repeatable)");
    cmd->add_flag("--normalize", args.normalize, "Raise the volume so that the loudest sample reaches full scale");
    cmd->add_option("--start", args.startMs, "Start at this many milliseconds")->check(CLI::NonNegativeNumber);
    cmd->add_option("--end", args.endMs, "End at this many milliseconds")->check(CLI::NonNegativeNumber);
    cmd->add_flag("--bpm", args.bpm, "Measure the tempo (for this run only) and print it");
    CLI::Option* yes = cmd->add_flag("--overwrite", args.overwrite, "Replace an existing output file");
    CLI::Option* no = cmd->add_flag("--no-overwrite", args.noOverwrite, "Never replace an existing output file");
    yes->excludes(no);
    cmd->add_flag("-q,--quiet", args.quiet, "Print errors only");
    cmd->callback([&action] { action = [] { return runConvert(args); }; });
}

}  // namespace tallory::cli
