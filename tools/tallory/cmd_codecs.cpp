// tallory codecs: the codecs of WAV files, with the formats the Wave target offers.
#include <cstdio>

#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

int listCodecs() {
    uint32_t count = TalloryGetCodecCount();
    for (uint32_t i = 0; i < count; ++i) {
        TalloryCodecInfo info;
        if (FAILED(TalloryGetCodecAt(i, &info))) return fail("cannot read codec " + std::to_string(i));
        std::string can;
        if (info.flags & TALLORY_CODEC_DECODE) can += "read";
        if (info.flags & TALLORY_CODEC_ENCODE) can += can.empty() ? "write" : ", write";
        std::printf("0x%04X  %-16s  %-11s  %u formats\n", info.formatTag, info.name, can.c_str(), info.formatCount);
        for (uint32_t f = 0; f < info.formatCount; ++f) {
            char text[128];
            if (SUCCEEDED(TalloryGetCodecFormat(info.formatTag, f, nullptr, text, sizeof text))) {
                std::printf("        %s\n", text);
            }
        }
    }
    return kExitOk;
}

}  // namespace

void addCodecsCommand(CLI::App& app, CommandAction& action) {
    CLI::App* cmd = app.add_subcommand(
        "codecs", "List the WAV codecs and their formats (values of the wave-codec and wave-format options)");
    cmd->callback([&action] { action = listCodecs; });
}

}  // namespace tallory::cli
