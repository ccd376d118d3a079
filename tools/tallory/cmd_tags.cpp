// tallory tags: show, set and remove the tag frames of a file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_values.h"
#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

int openFile(const std::string& path, Ref<IMetadataFile>& file) {
    if (::access(path.c_str(), R_OK) != 0) return fail(path + ": no such readable file");
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return fail(path + ": is a folder, not a tagged file");
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return fail(path + ": not a regular file");
    const HRESULT hr = MetadataCreateFromFile(path.c_str(), file.out());
    if (hr == E_NOTIMPL) return fail(path + ": tags of this format are not supported in this build");
    if (FAILED(hr)) return fail(path + ": not a file whose tags can be handled (.mp3, .wma, .asf)");
    return kExitOk;
}

int readTag(const std::string& path, Ref<IMetadataFile>& file, Ref<IMetadataTag>& tag) {
    if (const int rc = openFile(path, file); rc != kExitOk) return rc;
    if (FAILED(file->ReadTag(tag.out()))) return fail(path + ": cannot read the tag");
    return kExitOk;
}

int writeTag(const std::string& path, IMetadataFile* file, IMetadataTag* tag) {
    if (FAILED(file->WriteTag(tag))) return fail(path + ": cannot write the tag; the file is unchanged");
    return kExitOk;
}

int showTags(const std::string& path) {
    Ref<IMetadataFile> file;
    Ref<IMetadataTag> tag;
    if (const int rc = readTag(path, file, tag); rc != kExitOk) return rc;
    int shown = 0;
    for (const FrameName& f : kFrameNames) {
        Ref<IMetadataFrame> frame;
        if (tag->GetFrame(f.id, IID_IMetadataFrame, reinterpret_cast<void**>(frame.out())) != S_OK) continue;
        char16_t text[4096] = {};
        frame->GetDisplayText(text, 4095);
        std::printf("%s  %-40s  %s\n", f.code, frame->GetName(), toUtf8(text).c_str());
        ++shown;
    }
    const int others = tag->GetFrameCount() - shown;
    if (others > 0) std::printf("(%d other frame%s without a display, kept unchanged)\n", others, others == 1 ? "" : "s");
    return kExitOk;
}

int setTags(const std::string& path, const std::vector<std::string>& assignments) {
    struct Assignment {
        int id;
        std::u16string text;
    };
    std::vector<Assignment> parsed;
    for (const std::string& a : assignments) {
        const size_t eq = a.find('=');
        const int id = eq == std::string::npos ? 0 : frameIdOf(a.substr(0, eq));
        if (id == 0) return fail("'" + a + "': expected ID=TEXT with a four-letter frame identifier such as TIT2");
        Ref<IMetadataFrame> probe;
        if (MetadataCreateFrame(id, IID_ITextFrame, reinterpret_cast<void**>(probe.out())) != S_OK) {
            return fail(std::string(codeOf(id)) + " is not a text frame");
        }
        parsed.push_back({id, fromUtf8(a.substr(eq + 1))});
    }
    Ref<IMetadataFile> file;
    Ref<IMetadataTag> tag;
    if (const int rc = readTag(path, file, tag); rc != kExitOk) return rc;
    for (const Assignment& a : parsed) {
        tag->RemoveFrames(a.id);
        Ref<ITextFrame> frame;
        if (MetadataCreateFrame(a.id, IID_ITextFrame, reinterpret_cast<void**>(frame.out())) != S_OK) {
            return fail(std::string("cannot make a ") + codeOf(a.id) + " frame");
        }
        frame->SetText(a.text.c_str());
        frame->AttachTo(tag.get());
    }
    return writeTag(path, file.get(), tag.get());
}

int removeTags(const std::string& path, const std::vector<std::string>& ids, bool all) {
    if (all == !ids.empty()) return fail("give frame identifiers or --all, not both or neither");
    std::vector<int> numbers;
    for (const std::string& code : ids) {
        const int id = frameIdOf(code);
        if (id == 0) return fail("'" + code + "' is not a frame identifier");
        numbers.push_back(id);
    }
    Ref<IMetadataFile> file;
    Ref<IMetadataTag> tag;
    if (all) {
        if (const int rc = openFile(path, file); rc != kExitOk) return rc;
        if (FAILED(MetadataCreateTag(tag.out()))) return fail("out of memory");
    } else if (const int rc = readTag(path, file, tag); rc != kExitOk) {
        return rc;
    }
    for (int id : numbers) tag->RemoveFrames(id);
    return writeTag(path, file.get(), tag.get());
}

struct TagsArgs {
    std::string file;
    std::vector<std::string> items;
    bool all = false;
};

}  // namespace

void addTagsCommand(CLI::App& app, CommandAction& action) {
    static TagsArgs args;
    CLI::App* cmd = app.add_subcommand("tags", "Show, set and remove the tag frames of an MP3 file");
    cmd->require_subcommand(1);

    CLI::App* show = cmd->add_subcommand("show", "List each frame: identifier, name and display text");
    show->add_option("FILE", args.file, "The file")->required();
    show->callback([&action] { action = [] { return showTags(args.file); }; });

    CLI::App* set = cmd->add_subcommand("set", "Replace text frames, as ID=TEXT (TIT2=Title TPE1=Artist ...)");
    set->add_option("FILE", args.file, "The file")->required();
    set->add_option("ASSIGNMENTS", args.items, "ID=TEXT for each text frame")->required();
    set->callback([&action] { action = [] { return setTags(args.file, args.items); }; });

    CLI::App* remove = cmd->add_subcommand("remove", "Remove every frame of each identifier, or the whole tag");
    remove->add_option("FILE", args.file, "The file")->required();
    remove->add_option("IDS", args.items, "Frame identifiers (TIT2 COMM ...)");
    remove->add_flag("--all", args.all, "Remove every tag of the file");
    remove->callback([&action] { action = [] { return removeTags(args.file, args.items, args.all); }; });
}

}  // namespace tallory::cli
