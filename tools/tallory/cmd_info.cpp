// tallory info FILE: the format row, the PCM format and the length of a file,
// as the source of its format reads it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

// Collects the source's messages: errors with the detail lines under them for
// the failure line, the rest as warnings about what the source read past.
class ErrorCollector : public IConvProgress {
public:
    std::string errors;
    std::vector<std::string> notes;
    int ConfirmOverwrite(const char*) override { return 0; }
    void Message(const char* text) override { MessageEx(text, ""); }
    void MessageEx(const char* text, const char* kinds) override {
        std::string line = text;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        if (kinds != nullptr && std::strchr(kinds, 'e') == nullptr) {
            // A detail goes under the error it explains, on a line of its own.
            notes.push_back(line);
            if (!errors.empty()) errors += "\n  " + line;
            return;
        }
        if (!errors.empty()) errors += "; ";
        errors += line;
    }
    void SetRange(uint32_t) override {}
    void SetPos(uint32_t) override {}
    void Advance(uint32_t) override {}
    void SetAction(const char*) override {}
    int IsCancelled() override { return 0; }
    void SetItem(const char*, int) override {}
    void Throughput(const CLSID&, int, uint32_t, uint32_t) override {}
    void Destroy() override {}
    void Cancel() override {}
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    void Create(HWND) override {}
    void Finish() override {}
};

int showInfo(const std::string& path) {
    FormatInfo info;
    if (FAILED(ConvGetFormatOf(&info, path.c_str()))) return fail(path + ": no format has this file's extension");
    uint32_t row = ConvGetFormatPos(&info);
    if (info.sourceClass == nullptr) return fail(path + ": " + info.name + " files cannot be read");
    Ref<IConvSource> source;
    if (FAILED(ConvCreateObject(*info.sourceClass, &IID_IConvSource, reinterpret_cast<void**>(source.out())))) {
        return fail(path + ": the " + info.name + " source is not built into this library");
    }
    ErrorCollector errors;
    source->SetProgress(&errors);
    source->SetPath(path.c_str());
    WAVEFORMATEX format{};
    uint32_t length = 0;
    bool ok = source->Open() && source->GetFormat(&format) && source->GetLength(&length, -1, -1);
    source->Close();
    source->SetProgress(nullptr);
    // The fixed message, then the detail naming the check that failed.
    if (!ok) return fail(path + ": " + (errors.errors.empty() ? std::string("cannot be opened") : errors.errors));
    for (const std::string& note : errors.notes) std::fprintf(stderr, "%s: warning: %s\n", path.c_str(), note.c_str());
    std::printf("file: %s\n", path.c_str());
    std::printf("format: %s (row %u, %s)\n", info.name, row, info.description);
    std::printf("pcm: %u Hz, %u bits, %u channels, block align %u, %u bytes/s\n", format.nSamplesPerSec,
                unsigned{format.wBitsPerSample}, unsigned{format.nChannels}, unsigned{format.nBlockAlign},
                format.nAvgBytesPerSec);
    double seconds = format.nAvgBytesPerSec != 0 ? static_cast<double>(length) / format.nAvgBytesPerSec : 0.0;
    std::printf("length: %u bytes, %.3f s\n", length, seconds);
    return kExitOk;
}

}  // namespace

void addInfoCommand(CLI::App& app, CommandAction& action) {
    static std::string path;
    CLI::App* cmd = app.add_subcommand("info", "Show the format, PCM format and length of an audio file");
    cmd->add_option("FILE", path, "The file to examine")->required();
    cmd->callback([&action] { action = [] { return showInfo(path); }; });
}

}  // namespace tallory::cli
