#include "metadata/frame_kinds.h"

#include <id3/field.h>
#include <id3/globals.h>

#include <cstring>

namespace tallory::metadata {

namespace {

struct KindRow {
    int frameId;
    FrameKind kind;
};

constexpr KindRow kKinds[] = {
    {METADATA_FRAME_APIC, FrameKind::Picture},      {METADATA_FRAME_COMM, FrameKind::Comment},
    {METADATA_FRAME_TALB, FrameKind::PlainText},    {METADATA_FRAME_TBPM, FrameKind::PlainText},
    {METADATA_FRAME_TCOM, FrameKind::PlainText},    {METADATA_FRAME_TCON, FrameKind::Genre},
    {METADATA_FRAME_TCOP, FrameKind::Copyright},    {METADATA_FRAME_TDAT, FrameKind::Date},
    {METADATA_FRAME_TDLY, FrameKind::PlainText},    {METADATA_FRAME_TENC, FrameKind::PlainText},
    {METADATA_FRAME_TEXT, FrameKind::PlainText},    {METADATA_FRAME_TFLT, FrameKind::ReadOnlyText},
    {METADATA_FRAME_TIME, FrameKind::Time},         {METADATA_FRAME_TIT1, FrameKind::PlainText},
    {METADATA_FRAME_TIT2, FrameKind::PlainText},    {METADATA_FRAME_TIT3, FrameKind::PlainText},
    {METADATA_FRAME_TKEY, FrameKind::ReadOnlyText}, {METADATA_FRAME_TLAN, FrameKind::Language},
    {METADATA_FRAME_TLEN, FrameKind::Length},       {METADATA_FRAME_TMED, FrameKind::ReadOnlyText},
    {METADATA_FRAME_TOAL, FrameKind::PlainText},    {METADATA_FRAME_TOFN, FrameKind::PlainText},
    {METADATA_FRAME_TOLY, FrameKind::PlainText},    {METADATA_FRAME_TOPE, FrameKind::PlainText},
    {METADATA_FRAME_TORY, FrameKind::PlainText},    {METADATA_FRAME_TOWN, FrameKind::PlainText},
    {METADATA_FRAME_TPE1, FrameKind::PlainText},    {METADATA_FRAME_TPE2, FrameKind::PlainText},
    {METADATA_FRAME_TPE3, FrameKind::PlainText},    {METADATA_FRAME_TPE4, FrameKind::PlainText},
    {METADATA_FRAME_TPOS, FrameKind::NumberPair},   {METADATA_FRAME_TPUB, FrameKind::PlainText},
    {METADATA_FRAME_TRCK, FrameKind::NumberPair},   {METADATA_FRAME_TRDA, FrameKind::PlainText},
    {METADATA_FRAME_TRSN, FrameKind::PlainText},    {METADATA_FRAME_TRSO, FrameKind::PlainText},
    {METADATA_FRAME_TSIZ, FrameKind::ReadOnlyText}, {METADATA_FRAME_TSRC, FrameKind::ReadOnlyText},
    {METADATA_FRAME_TSSE, FrameKind::ReadOnlyText}, {METADATA_FRAME_TXXX, FrameKind::UserText},
    {METADATA_FRAME_TYER, FrameKind::Year},         {METADATA_FRAME_WCOM, FrameKind::Url},
    {METADATA_FRAME_WCOP, FrameKind::Url},          {METADATA_FRAME_WOAF, FrameKind::Url},
    {METADATA_FRAME_WOAR, FrameKind::Url},          {METADATA_FRAME_WOAS, FrameKind::Url},
    {METADATA_FRAME_WORS, FrameKind::Url},          {METADATA_FRAME_WPAY, FrameKind::Url},
    {METADATA_FRAME_WPUB, FrameKind::Url},          {METADATA_FRAME_WXXX, FrameKind::UserUrl},
};

// The numbers that cross the interface are id3lib's own; keep them in step.
constexpr bool same(MetadataFrameId ours, ID3_FrameID theirs) { return static_cast<int>(ours) == static_cast<int>(theirs); }
static_assert(same(METADATA_FRAME_APIC, ID3FID_PICTURE) && same(METADATA_FRAME_COMM, ID3FID_COMMENT));
static_assert(same(METADATA_FRAME_TIT2, ID3FID_TITLE) && same(METADATA_FRAME_TXXX, ID3FID_USERTEXT));
static_assert(same(METADATA_FRAME_USLT, ID3FID_UNSYNCEDLYRICS) && same(METADATA_FRAME_WXXX, ID3FID_WWWUSER));

}  // namespace

FrameKind frameKindOf(int frameId) {
    for (const KindRow& row : kKinds) {
        if (row.frameId == frameId) return row.kind;
    }
    return FrameKind::None;
}

const IID& kindInterfaceOf(FrameKind kind) {
    switch (kind) {
        case FrameKind::UserText:
            return IID_IUserTextFrame;
        case FrameKind::Comment:
            return IID_ICommentFrame;
        case FrameKind::Url:
            return IID_IUrlFrame;
        case FrameKind::UserUrl:
            return IID_IUserUrlFrame;
        case FrameKind::Picture:
            return IID_IPictureFrame;
        default:
            return IID_ITextFrame;
    }
}

bool isReadOnlyKind(FrameKind kind) { return kind == FrameKind::Length || kind == FrameKind::ReadOnlyText; }

const char* frameIdText(int frameId) {
    if (frameId <= ID3FID_NOFRAME || frameId >= ID3FID_LASTFRAMEID) return nullptr;
    ID3_FrameInfo info;
    const char* name = info.LongName(static_cast<ID3_FrameID>(frameId));
    return name != nullptr && std::strlen(name) == 4 ? name : nullptr;
}

int frameIdOfText(const char* text) {
    if (text == nullptr || std::strlen(text) != 4) return 0;
    for (int id = ID3FID_NOFRAME + 1; id < ID3FID_LASTFRAMEID; ++id) {
        const char* name = frameIdText(id);
        if (name != nullptr && std::strcmp(name, text) == 0) return id;
    }
    return 0;
}

}  // namespace tallory::metadata
