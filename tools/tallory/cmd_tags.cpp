// tallory tags: show, set and remove the tag frames of a file.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

// The frame identifiers by number, as the library numbers them.
struct FrameName {
    int id;
    const char* code;
};
constexpr FrameName kFrameNames[] = {
    {1, "AENC"},  {2, "APIC"},  {3, "ASPI"},  {4, "COMM"},  {5, "COMR"},  {6, "ENCR"},  {7, "EQU2"},  {8, "EQUA"},
    {9, "ETCO"},  {10, "GEOB"}, {11, "GRID"}, {12, "IPLS"}, {13, "LINK"}, {14, "MCDI"}, {15, "MLLT"}, {16, "OWNE"},
    {17, "PRIV"}, {18, "PCNT"}, {19, "POPM"}, {20, "POSS"}, {21, "RBUF"}, {22, "RVA2"}, {23, "RVAD"}, {24, "RVRB"},
    {25, "SEEK"}, {26, "SIGN"}, {27, "SYLT"}, {28, "SYTC"}, {29, "TALB"}, {30, "TBPM"}, {31, "TCOM"}, {32, "TCON"},
    {33, "TCOP"}, {34, "TDAT"}, {35, "TDEN"}, {36, "TDLY"}, {37, "TDOR"}, {38, "TDRC"}, {39, "TDRL"}, {40, "TDTG"},
    {41, "TIPL"}, {42, "TENC"}, {43, "TEXT"}, {44, "TFLT"}, {45, "TIME"}, {46, "TIT1"}, {47, "TIT2"}, {48, "TIT3"},
    {49, "TKEY"}, {50, "TLAN"}, {51, "TLEN"}, {52, "TMCL"}, {53, "TMED"}, {54, "TMOO"}, {55, "TOAL"}, {56, "TOFN"},
    {57, "TOLY"}, {58, "TOPE"}, {59, "TORY"}, {60, "TOWN"}, {61, "TPE1"}, {62, "TPE2"}, {63, "TPE3"}, {64, "TPE4"},
    {65, "TPOS"}, {66, "TPRO"}, {67, "TPUB"}, {68, "TRCK"}, {69, "TRDA"}, {70, "TRSN"}, {71, "TRSO"}, {72, "TSIZ"},
    {73, "TSOA"}, {74, "TSOP"}, {75, "TSOT"}, {76, "TSRC"}, {77, "TSSE"}, {78, "TSST"}, {79, "TXXX"}, {80, "TYER"},
    {81, "UFID"}, {82, "USER"}, {83, "USLT"}, {84, "WCOM"}, {85, "WCOP"}, {86, "WOAF"}, {87, "WOAR"}, {88, "WOAS"},
    {89, "WORS"}, {90, "WPAY"}, {91, "WPUB"}, {92, "WXXX"},
};

int frameIdOf(std::string code) {
    for (char& c : code) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    for (const FrameName& f : kFrameNames) {
        if (code == f.code) return f.id;
    }
    return 0;
}

const char* codeOf(int id) {
    for (const FrameName& f : kFrameNames) {
        if (f.id == id) return f.code;
    }
    return "????";
}

// The library takes UTF-16; command lines and terminals speak UTF-8.
std::u16string fromUtf8(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        char32_t c = n == 1 ? b : b & (0x3F >> (n - 1));
        bool ok = i + n <= s.size();
        for (size_t k = 1; ok && k < n; ++k) {
            ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (!ok) {
            c = b;  // not UTF-8: taken as ISO-8859-1
            i += 1;
        } else {
            i += n;
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string toUtf8(const char16_t* s) {
    std::string out;
    for (size_t i = 0; s[i] != 0; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

int openFile(const std::string& path, Ref<IMetadataFile>& file) {
    if (::access(path.c_str(), R_OK) != 0) return fail(path + ": no such readable file");
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
