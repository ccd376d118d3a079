// tallory formats: the rows of the format registry.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

std::string joinExtensions(const FormatInfo& info) {
    std::string out;
    for (const char* e = info.extensions; *e != '\0'; e += std::strlen(e) + 1) {
        if (!out.empty()) out += ' ';
        out += e;
    }
    return out;
}

int listFormats() {
    std::printf("%-5s  %-13s  %-16s  %-32s  %-8s  %-8s\n", "index", "name", "extensions", "description", "readable",
                "writable");
    uint32_t count = ConvGetFormatCount();
    for (uint32_t i = 0; i < count; ++i) {
        FormatInfo info;
        if (FAILED(ConvGetFormatAt(&info, i))) return fail("cannot read format row " + std::to_string(i));
        std::printf("%-5u  %-13s  %-16s  %-32s  %-8s  %-8s\n", i, info.name, joinExtensions(info).c_str(),
                    info.description, info.sourceClass != nullptr ? "yes" : "no",
                    info.targetClass != nullptr ? "yes" : "no");
    }
    return kExitOk;
}

}  // namespace

void addFormatsCommand(CLI::App& app, CommandAction& action) {
    CLI::App* cmd = app.add_subcommand("formats", "List the formats the library knows");
    cmd->callback([&action] { action = listFormats; });
}

}  // namespace tallory::cli
