// The tag model in memory: the exports, genre table, frame kinds, display texts,
// ownership between frames and tags, and equality across encodings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "metadata/id3_support.h"
#include "metadata/metadata_frame.h"
#include "metadata/metadata_tag.h"
#include "tag_test_support.h"
#include "tallory/metadata.h"
#include "tallory/ui_bridge.h"

namespace {

using namespace tagtest;

TEST(GenreTable, NamesNumbersAndPadding) {
    EXPECT_EQ(GenreGetCount(), 80);
    for (int i = 0; i < GenreGetCount(); ++i) {
        ASSERT_NE(GenreGet(i), nullptr);
        EXPECT_EQ(std::strlen(GenreGet(i)), 15u) << i;
        // Every stored name is found again by its trimmed text.
        std::string name = GenreGet(i);
        name.erase(name.find_last_not_of(' ') + 1);
        EXPECT_EQ(GenreToNum(name.c_str()), i) << name;
    }
    EXPECT_STREQ(GenreGet(79), "Hard Rock      ");
    EXPECT_STREQ(GenreGet(0), "Blues          ");
    EXPECT_STREQ(GenreGet(64), "Native American");
    EXPECT_STREQ(GenreGet(67), "Psychadelic    ");
    EXPECT_EQ(GenreGet(80), nullptr);
    EXPECT_EQ(GenreGet(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(GenreToNum("Rock"), 17);
    EXPECT_EQ(GenreToNum("rock"), -1);
    EXPECT_EQ(GenreToNum("AlternRock"), -1);
    EXPECT_EQ(GenreToNum("Altern Rock"), 40);
    EXPECT_EQ(GenreToNum("Native American"), 64);
    EXPECT_EQ(GenreToNum("Rock "), -1);
    EXPECT_EQ(GenreToNum(""), -1);
    EXPECT_EQ(GenreToNum(nullptr), -1);
}

TEST(MetadataExports, FormatsAndFileClasses) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    MetadataGetFormats(buffer);
    EXPECT_EQ(std::memcmp(buffer, ".mp3\0.wma\0\0", 11), 0);
    EXPECT_EQ(buffer[11], 'x');  // exactly 11 bytes

    IMetadataFile* file = nullptr;
    ASSERT_EQ(MetadataCreateFromFile("/music/Song.MP3", &file), S_OK);
    EXPECT_EQ(file->GetCapabilities(), 3);
    void* same = nullptr;
    EXPECT_EQ(file->QueryInterface(IID_IMetadataFile, &same), S_OK);
    static_cast<IMetadataFile*>(same)->Release();
    EXPECT_EQ(file->Release(), 0u);

    auto* sentinel = reinterpret_cast<IMetadataFile*>(0x1234);
    for (const char* path : {"a.aiff", "a.wav", "noextension", "dir.mp3/file", "/x/.mp3.bak", ""}) {
        file = sentinel;
        EXPECT_EQ(MetadataCreateFromFile(path, &file), E_INVALIDARG) << path;
        EXPECT_EQ(file, sentinel) << path;
    }
    ASSERT_EQ(MetadataCreateFromFile("dir.x/.mp3", &file), S_OK);  // a name that is only an extension
    file->Release();
    // The Vorbis comment formats, in any case, though the format list leaves them out.
    for (const char* path : {"a.flac", "b.OGG", "c.Opus"}) {
        file = nullptr;
        ASSERT_EQ(MetadataCreateFromFile(path, &file), S_OK) << path;
        file->Release();
    }

    EXPECT_EQ(MetadataCreateTag(nullptr), E_INVALIDARG);
    void* frame = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(MetadataCreateFrame(METADATA_FRAME_TIT2, IID_ITextFrame, nullptr), E_INVALIDARG);
    EXPECT_EQ(MetadataCreateFrame(METADATA_FRAME_USLT, IID_IMetadataFrame, &frame), E_INVALIDARG);
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(MetadataCreateFrame(0, IID_IMetadataFrame, &frame), E_INVALIDARG);
    EXPECT_EQ(MetadataCreateFrame(95, IID_IMetadataFrame, &frame), E_INVALIDARG);
    EXPECT_EQ(MetadataCreateFrame(METADATA_FRAME_TIT2, IID_IUrlFrame, &frame), E_NOINTERFACE);
    EXPECT_EQ(MetadataCreateFrame(METADATA_FRAME_TIT2, IID_IMetadataTag, &frame), E_NOINTERFACE);
    EXPECT_EQ(frame, nullptr);
}

TEST(FrameKinds, InterfacesNamesAndDefaults) {
    struct Row {
        int id;
        const IID* kind;
        int readOnly;
    };
    const Row rows[] = {
        {METADATA_FRAME_TALB, &IID_ITextFrame, 0},   {METADATA_FRAME_TLEN, &IID_ITextFrame, 1},
        {METADATA_FRAME_TSSE, &IID_ITextFrame, 1},   {METADATA_FRAME_TXXX, &IID_IUserTextFrame, 0},
        {METADATA_FRAME_COMM, &IID_ICommentFrame, 0}, {METADATA_FRAME_WOAR, &IID_IUrlFrame, 0},
        {METADATA_FRAME_WXXX, &IID_IUserUrlFrame, 0}, {METADATA_FRAME_APIC, &IID_IPictureFrame, 0},
    };
    for (const Row& row : rows) {
        IMetadataFrame* frame = newFrame<IMetadataFrame>(row.id, *row.kind);
        ASSERT_NE(frame, nullptr) << row.id;
        IID kind{};
        frame->GetKindInterfaceId(&kind);
        EXPECT_EQ(kind, *row.kind);
        EXPECT_EQ(frame->GetFrameId(), row.id);
        EXPECT_EQ(frame->IsReadOnly(), row.readOnly);
        // Without the UI module an editor cannot be shown: cancelled, or nothing for read-only kinds.
        EXPECT_EQ(frame->Edit(nullptr), row.readOnly ? 0 : IDCANCEL);
        void* other = nullptr;
        EXPECT_EQ(frame->QueryInterface(IID_IMetadataTag, &other), E_NOINTERFACE);
        const IID* foreign = *row.kind == IID_IUrlFrame ? &IID_IPictureFrame : &IID_IUrlFrame;
        EXPECT_EQ(frame->QueryInterface(*foreign, &other), E_NOINTERFACE);
        frame->Release();
    }
    IMetadataFrame* album = newFrame<IMetadataFrame>(METADATA_FRAME_TALB, IID_IMetadataFrame);
    ASSERT_NE(album, nullptr);
    EXPECT_STREQ(album->GetName(), "Album/Movie/Show title");
    album->Release();

    ICommentFrame* comment = newFrame<ICommentFrame>(METADATA_FRAME_COMM, IID_ICommentFrame);
    ASSERT_NE(comment, nullptr);
    EXPECT_EQ(get(comment, &ICommentFrame::GetLanguage), "enu");
    EXPECT_EQ(get(comment, &ICommentFrame::GetText), "");
    comment->Release();
    ITextFrame* language = newFrame<ITextFrame>(METADATA_FRAME_TLAN, IID_ITextFrame);
    ASSERT_NE(language, nullptr);
    EXPECT_EQ(get(language, &ITextFrame::GetText), "enu");
    EXPECT_EQ(display(language), "English (United States)");
    language->SetText(u"deu");
    EXPECT_EQ(display(language), "German (Germany)");
    language->SetText(u"xyz");
    EXPECT_EQ(display(language), "xyz");
    language->Release();
}

std::string displayOf(int id, const std::string& text) {
    ITextFrame* frame = newFrame<ITextFrame>(id, IID_ITextFrame);
    if (frame == nullptr) return "<no frame>";
    frame->SetText(u16(text).c_str());
    std::string shown = display(frame);
    frame->Release();
    return shown;
}

TEST(DisplayText, TextKinds) {
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(17)(9)Live"), "Rock, Metal, Live");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(17)"), "Rock");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(999)"), "");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(79)"), "Hard Rock");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(80)"), "");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "((Live)"), "Live");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "Rock"), "Rock");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "  (0)  "), "Blues");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "Alternative"), "Alternative");
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(17)(80)"), "Rock, ");  // an empty name keeps its separator
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(13"), "Pop");           // unclosed: to the end
    EXPECT_EQ(displayOf(METADATA_FRAME_TCON, "(99999999999999999999)"), "");
    EXPECT_EQ(displayOf(METADATA_FRAME_TLEN, "245000"), "4m 5s");
    EXPECT_EQ(displayOf(METADATA_FRAME_TLEN, "59999"), "0m 59s");
    EXPECT_EQ(displayOf(METADATA_FRAME_TLEN, ""), "0m 0s");
    EXPECT_EQ(displayOf(METADATA_FRAME_TLEN, "99999999999999999999"), "71582m 47s");  // saturates at 32 bits
    EXPECT_EQ(displayOf(METADATA_FRAME_TCOP, "2001 Label"), "Copyright (c) 2001 Label");
    EXPECT_EQ(displayOf(METADATA_FRAME_TRCK, "3/12"), "3/12");
    // The tests run in the C locale.
    EXPECT_EQ(displayOf(METADATA_FRAME_TDAT, "0503"), "5. March");
    EXPECT_EQ(displayOf(METADATA_FRAME_TDAT, "2902"), "29. February");
    EXPECT_EQ(displayOf(METADATA_FRAME_TDAT, "3102"), "3102");  // no such day: the text as it is
    EXPECT_EQ(displayOf(METADATA_FRAME_TDAT, "0013"), "0013");
    EXPECT_EQ(displayOf(METADATA_FRAME_TIME, "1430"), "14:30");
    EXPECT_EQ(displayOf(METADATA_FRAME_TIME, "2460"), "2460");
}

TEST(DisplayText, FieldKinds) {
    IUserTextFrame* user = newFrame<IUserTextFrame>(METADATA_FRAME_TXXX, IID_IUserTextFrame);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(display(user), " ()");
    user->SetText(u"value");
    EXPECT_EQ(display(user), "value ()");
    user->SetDescription(u"key");
    EXPECT_EQ(display(user), "value (key)");
    user->Release();

    ICommentFrame* comment = newFrame<ICommentFrame>(METADATA_FRAME_COMM, IID_ICommentFrame);
    ASSERT_NE(comment, nullptr);
    comment->SetText(u"nice");
    EXPECT_EQ(display(comment), "nice");
    comment->SetDescription(u"short");
    EXPECT_EQ(display(comment), "nice (short)");
    comment->Release();

    IUserUrlFrame* link = newFrame<IUserUrlFrame>(METADATA_FRAME_WXXX, IID_IUserUrlFrame);
    ASSERT_NE(link, nullptr);
    link->SetUrl(u"http://example.org/");
    EXPECT_EQ(display(link), "http://example.org/ ()");
    // A URL has no encoding byte: characters beyond ISO-8859-1 are kept as percent-encoded UTF-8.
    link->SetUrl(u16("http://example.org/€").c_str());
    EXPECT_EQ(get(link, &IUserUrlFrame::GetUrl), "http://example.org/%E2%82%AC");
    link->Release();

    IPictureFrame* picture = newFrame<IPictureFrame>(METADATA_FRAME_APIC, IID_IPictureFrame);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(display(picture), "");
    picture->SetMimeType(u"image/png");
    EXPECT_EQ(display(picture), "image/png (no desc., 0 bytes)");
    picture->SetDescription(u"cover");
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    dynamic_cast<tallory::metadata::FrameCore*>(static_cast<IMetadataFrame*>(picture))
        ->libraryFrame()
        .GetField(ID3FN_DATA)
        ->Set(data, sizeof data);
    EXPECT_EQ(display(picture), "image/png (cover, 5 bytes)");
    EXPECT_EQ(picture->GetPictureType(), 0);
    picture->SetPictureType(3);
    picture->SetPictureType(21);  // out of range: ignored
    picture->SetPictureType(-1);
    EXPECT_EQ(picture->GetPictureType(), 3);
    picture->Release();
}

TEST(FrameText, GettersStopAtCapacityAndKeepEveryCharacter) {
    ITextFrame* title = newFrame<ITextFrame>(METADATA_FRAME_TIT2, IID_ITextFrame);
    ASSERT_NE(title, nullptr);
    title->SetText(u"abcdef");
    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    title->GetText(buffer, 3);
    EXPECT_EQ(std::u16string(buffer, 4), u"abc#");  // not terminated when full
    title->GetText(buffer, 7);
    EXPECT_EQ(std::u16string(buffer), u"abcdef");
    title->GetText(buffer, 0);
    title->GetText(nullptr, 5);
    title->SetText(nullptr);
    EXPECT_EQ(get(title, &ITextFrame::GetText), "abcdef");

    auto& library = dynamic_cast<tallory::metadata::FrameCore*>(static_cast<IMetadataFrame*>(title))->libraryFrame();
    title->SetText(u16("Café").c_str());
    EXPECT_EQ(tallory::metadata::id3::frameEncoding(library), 0);  // ISO-8859-1 holds it
    EXPECT_EQ(get(title, &ITextFrame::GetText), "Café");
    const std::string wide = "Ωμέγα €5 \xF0\x9D\x84\x9E";  // Greek, euro and a character beyond the BMP
    title->SetText(u16(wide).c_str());
    EXPECT_EQ(tallory::metadata::id3::frameEncoding(library), 1);
    EXPECT_EQ(get(title, &ITextFrame::GetText), wide);
    title->Release();

    // A comment moves all its texts to UTF-16 together: one encoding byte per frame.
    ICommentFrame* comment = newFrame<ICommentFrame>(METADATA_FRAME_COMM, IID_ICommentFrame);
    ASSERT_NE(comment, nullptr);
    comment->SetDescription(u16("é desc").c_str());
    comment->SetText(u16("текст").c_str());
    EXPECT_EQ(get(comment, &ICommentFrame::GetDescription), "é desc");
    EXPECT_EQ(get(comment, &ICommentFrame::GetText), "текст");
    EXPECT_EQ(get(comment, &ICommentFrame::GetLanguage), "enu");
    comment->Release();
}

TEST(FrameEquality, RenderedBytesDecide) {
    ITextFrame* a = newFrame<ITextFrame>(METADATA_FRAME_TIT2, IID_ITextFrame);
    ITextFrame* b = newFrame<ITextFrame>(METADATA_FRAME_TIT2, IID_ITextFrame);
    ITextFrame* album = newFrame<ITextFrame>(METADATA_FRAME_TALB, IID_ITextFrame);
    ASSERT_TRUE(a && b && album);
    EXPECT_EQ(a->IsEqual(b), 1);  // two new, empty frames
    a->SetText(u"abc");
    b->SetText(u"abc");
    album->SetText(u"abc");
    EXPECT_EQ(a->IsEqual(b), 1);
    EXPECT_EQ(a->IsEqual(album), 0);
    // The same text in UTF-16 renders differently: not equal.
    b->SetText(u"\u20AC");
    b->SetText(u"abc");
    EXPECT_EQ(get(b, &ITextFrame::GetText), "abc");
    EXPECT_EQ(a->IsEqual(b), 0);
    a->SetText(u"\u20AC");
    a->SetText(u"abc");
    EXPECT_EQ(a->IsEqual(b), 1);
    // Two UTF-16 texts of the same byte size but different characters.
    a->SetText(u"\u20ACx");
    b->SetText(u"\u20ACy");
    EXPECT_EQ(a->IsEqual(b), 0);

    a->CopyTo(album);
    EXPECT_EQ(album->GetFrameId(), METADATA_FRAME_TIT2);
    EXPECT_EQ(get(album, &ITextFrame::GetText), "\xE2\x82\xAC" "x");
    EXPECT_EQ(a->IsEqual(album), 1);
    a->CopyTo(a);
    EXPECT_EQ(a->IsEqual(album), 1);
    a->Release();
    b->Release();
    album->Release();
}

TEST(TagOwnership, AttachGetAndRemove) {
    IMetadataTag* tag = nullptr;
    ASSERT_EQ(MetadataCreateTag(&tag), S_OK);
    EXPECT_EQ(tag->GetFrameCount(), 0);
    void* out = nullptr;
    EXPECT_EQ(tag->Reserved(0, IID_IMetadataFrame, &out), E_NOTIMPL);
    EXPECT_EQ(tag->RemoveFrames(METADATA_FRAME_TIT2), S_OK);  // nothing there
    EXPECT_EQ(tag->GetFrame(METADATA_FRAME_TIT2, IID_ITextFrame, &out), E_INVALIDARG);

    ITextFrame* title = newFrame<ITextFrame>(METADATA_FRAME_TIT2, IID_ITextFrame);
    ASSERT_NE(title, nullptr);
    title->SetText(u"first");
    title->AttachTo(tag);
    title->AttachTo(tag);  // attaches once
    EXPECT_EQ(tag->GetFrameCount(), 1);
    title->SetText(u"edited through the object");
    title->Release();  // the frame stays in the tag
    addText(tag, METADATA_FRAME_TIT2, "second");
    EXPECT_EQ(tag->GetFrameCount(), 2);

    ASSERT_EQ(tag->GetFrame(METADATA_FRAME_TIT2, IID_ITextFrame, &out), S_OK);
    auto* found = static_cast<ITextFrame*>(out);
    EXPECT_EQ(get(found, &ITextFrame::GetText), "edited through the object");
    found->SetText(u"changed in the tag");
    found->AttachTo(tag);  // not owned: nothing happens
    EXPECT_EQ(tag->GetFrameCount(), 2);
    found->Release();
    ASSERT_EQ(tag->GetFrame(METADATA_FRAME_TIT2, IID_IMetadataFrame, &out), S_OK);
    EXPECT_EQ(display(static_cast<IMetadataFrame*>(out)), "changed in the tag");
    static_cast<IMetadataFrame*>(out)->Release();
    EXPECT_EQ(tag->GetFrame(METADATA_FRAME_TIT2, IID_IUrlFrame, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    // A frame without kind lives in the tag but has no frame object.
    auto* tagImpl = dynamic_cast<tallory::metadata::MetadataTag*>(tag);
    ASSERT_NE(tagImpl, nullptr);
    tagImpl->library().AttachFrame(new ID3_Frame(ID3FID_UNSYNCEDLYRICS));
    EXPECT_EQ(tag->GetFrameCount(), 3);
    EXPECT_EQ(tag->GetFrame(METADATA_FRAME_USLT, IID_IMetadataFrame, &out), E_INVALIDARG);

    EXPECT_EQ(tag->RemoveFrames(METADATA_FRAME_TIT2), S_OK);
    EXPECT_EQ(tag->GetFrameCount(), 1);
    EXPECT_EQ(tag->Release(), 0u);
}

}  // namespace
