// The WMA tag file: frames written as attributes are read back identical and
// are what mutagen's ASF reader and ffprobe see; attributes mutagen wrote read
// as the mapping says; the ordering rules, the computed attributes and the
// attributes a write owns; files that are not ASF fail without harm.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "media_test_support.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_tag.h"
#include "metadata/text_codec.h"
#include "platform/media/metadata_editor.h"
#include "tallory/metadata.h"
#include "tallory/ref.h"

namespace {

using namespace mediatest;
using namespace tallory::platform::media;
using tallory::metadata::asMetadataTag;
using tallory::metadata::utf16FromUtf8;
using tallory::metadata::utf8FromUtf16;

const std::string kTags = std::string(std::getenv("TALLORY_SOURCE_DIR") ? std::getenv("TALLORY_SOURCE_DIR") : ".") +
                          "/tests/media/asf_tags.py";

std::string makeWma(const std::string& dir) {
    std::string wav = makeTone(dir, "tone.wav", 2.0, 44100, 2);
    std::string wma = dir + "/clip.wma";
    bool ok = false;
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -map_metadata -1 -fflags +bitexact -c:a wmav2 -b:a 64k '" +
            wma + "'",
        &ok);
    EXPECT_TRUE(ok);
    return wma;
}

std::string hex(const std::vector<uint8_t>& v) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// mutagen's reading: name -> "type:value" for each attribute of stream 0, in its order.
std::vector<std::pair<std::string, std::string>> mutagenAttributes(const std::string& path) {
    bool ok = false;
    std::string out = run("/usr/bin/python3 '" + kTags + "' dump '" + path + "'", &ok);
    EXPECT_TRUE(ok) << "mutagen could not read " << path;
    std::vector<std::pair<std::string, std::string>> result;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        std::vector<std::string> parts;
        std::istringstream fields(l);
        for (std::string f; std::getline(fields, f, '\t');) parts.push_back(f);
        if (parts.size() == 5 && parts[2] == "0") result.emplace_back(parts[0], parts[1] + ":" + parts[4]);
    }
    return result;
}

std::string mutagenValue(const std::string& path, const std::string& name) {
    for (const auto& [n, v] : mutagenAttributes(path)) {
        if (n == name) return v;
    }
    return "(none)";
}

void mutagenWrite(const std::string& path, const std::vector<std::string>& lines) {
    std::string input = path + ".attributes";
    {
        std::ofstream f(input);
        for (const std::string& l : lines) f << l << "\n";
    }
    bool ok = false;
    run("/usr/bin/python3 '" + kTags + "' write '" + path + "' < '" + input + "'", &ok);
    ASSERT_TRUE(ok);
}

using tallory::Ref;

Ref<IMetadataFile> tagFile(const std::string& path) {
    IMetadataFile* file = nullptr;
    EXPECT_EQ(MetadataCreateFromFile(path.c_str(), &file), S_OK);
    return Ref<IMetadataFile>(file);
}

Ref<IMetadataTag> readTag(const std::string& path) {
    IMetadataTag* tag = nullptr;
    auto file = tagFile(path);
    EXPECT_EQ(file->ReadTag(&tag), S_OK);
    return Ref<IMetadataTag>(tag);
}

void addText(IMetadataTag* tag, int id, const std::string& text) {
    ITextFrame* f = nullptr;
    ASSERT_EQ(MetadataCreateFrame(id, IID_ITextFrame, reinterpret_cast<void**>(&f)), S_OK) << id;
    f->SetText(utf16FromUtf8(text).c_str());
    f->AttachTo(tag);
    f->Release();
}

void addUrl(IMetadataTag* tag, int id, const std::string& url) {
    IUrlFrame* f = nullptr;
    ASSERT_EQ(MetadataCreateFrame(id, IID_IUrlFrame, reinterpret_cast<void**>(&f)), S_OK) << id;
    f->SetUrl(utf16FromUtf8(url).c_str());
    f->AttachTo(tag);
    f->Release();
}

// The text of a frame's text (or URL) field; "(none)" without such a frame.
std::string textOf(IMetadataTag* tag, int id) {
    ID3_Frame* frame = tallory::metadata::id3::firstFrame(asMetadataTag(tag)->library(), static_cast<ID3_FrameID>(id));
    if (frame == nullptr) return "(none)";
    auto text = tallory::metadata::id3::fieldText(*frame, frame->Contains(ID3FN_TEXT) ? ID3FN_TEXT : ID3FN_URL);
    return text ? utf8FromUtf16(*text) : "(no field)";
}

int countOf(IMetadataTag* tag, int id) {
    int n = 0;
    tallory::metadata::id3::forEachFrame(asMetadataTag(tag)->library(), [&](ID3_Frame& f) {
        n += f.GetID() == id ? 1 : 0;
        return true;
    });
    return n;
}

// Every mapped text and URL frame the tag library knows, with the attribute it becomes.
struct Mapped {
    int id;
    const char* attribute;
    const char* text;
};
const Mapped kMapped[] = {
    {METADATA_FRAME_TPE1, "Author", "Björk"},
    {METADATA_FRAME_TCOP, "Copyright", "2026 Someone"},
    {METADATA_FRAME_TIT2, "Title", "Grüße ♫ title"},
    {METADATA_FRAME_TPE2, "WM/AlbumArtist", "Album Artist"},
    {METADATA_FRAME_TALB, "WM/AlbumTitle", "The Album"},
    {METADATA_FRAME_TBPM, "WM/BeatsPerMinute", "120"},
    {METADATA_FRAME_TCOM, "WM/Composer", "Composer"},
    {METADATA_FRAME_TPE3, "WM/Conductor", "Conductor"},
    {METADATA_FRAME_TIT1, "WM/ContentGroupDescription", "Group"},
    {METADATA_FRAME_TENC, "WM/EncodedBy", "Encoder person"},
    {METADATA_FRAME_TSSE, "WM/EncodingSettings", "Settings text"},
    {METADATA_FRAME_TCON, "WM/GenreID", "(17)"},
    {METADATA_FRAME_TEXT, "WM/Writer", "Lyricist"},
    {METADATA_FRAME_TKEY, "WM/InitialKey", "Am"},
    {METADATA_FRAME_TSRC, "WM/ISRC", "USABC0000001"},
    {METADATA_FRAME_TLAN, "WM/Language", "deu"},
    {METADATA_FRAME_TPE4, "WM/ModifiedBy", "Remixer"},
    {METADATA_FRAME_TOAL, "WM/OriginalAlbumTitle", "Original album"},
    {METADATA_FRAME_TOPE, "WM/OriginalArtist", "Original artist"},
    {METADATA_FRAME_TOFN, "WM/OriginalFilename", "orig.wav"},
    {METADATA_FRAME_TOLY, "WM/OriginalLyricist", "Original lyricist"},
    {METADATA_FRAME_TORY, "WM/OriginalReleaseYear", "1999"},
    {METADATA_FRAME_TPOS, "WM/PartOfSet", "1/2"},
    {METADATA_FRAME_TDLY, "WM/PlaylistDelay", "250"},
    {METADATA_FRAME_TPUB, "WM/Publisher", "Publisher"},
    {METADATA_FRAME_TRSN, "WM/RadioStationName", "Radio"},
    {METADATA_FRAME_TRSO, "WM/RadioStationOwner", "Radio owner"},
    {METADATA_FRAME_TIT3, "WM/SubTitle", "Subtitle"},
    {METADATA_FRAME_TRCK, "WM/TrackNumber", "3/12"},
    {METADATA_FRAME_TYER, "WM/Year", "2026"},
    {METADATA_FRAME_WCOP, "CopyrightURL", "http://example.com/copyright"},
    {METADATA_FRAME_WOAF, "WM/AudioFileURL", "http://example.com/file"},
    {METADATA_FRAME_WOAS, "WM/AudioSourceURL", "http://example.com/source"},
    {METADATA_FRAME_WOAR, "WM/AuthorURL", "http://example.com/artist"},
};

bool isUrl(int id) { return id >= METADATA_FRAME_WCOM && id <= METADATA_FRAME_WPUB; }

TEST(WmaTags, EveryMappedFrameRoundTripsAndOutsideReadersSeeIt) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    IMetadataTag* raw = nullptr;
    ASSERT_EQ(MetadataCreateTag(&raw), S_OK);
    Ref<IMetadataTag> tag(raw);
    for (const Mapped& m : kMapped) {
        if (isUrl(m.id)) {
            addUrl(tag.get(), m.id, m.text);
        } else {
            addText(tag.get(), m.id, m.text);
        }
    }
    ICommentFrame* comment = nullptr;
    ASSERT_EQ(MetadataCreateFrame(METADATA_FRAME_COMM, IID_ICommentFrame, reinterpret_cast<void**>(&comment)), S_OK);
    comment->SetText(u"A comment");
    comment->AttachTo(tag.get());
    comment->Release();
    // Frames without a row: TXXX and APIC as rendered bytes, TLEN and TDAT as text, WXXX as bytes.
    IUserTextFrame* user = nullptr;
    ASSERT_EQ(MetadataCreateFrame(METADATA_FRAME_TXXX, IID_IUserTextFrame, reinterpret_cast<void**>(&user)), S_OK);
    user->SetDescription(u"MusicBrainz Album Id");
    user->SetText(u"f00d-ünï");
    user->AttachTo(tag.get());
    user->Release();
    IPictureFrame* picture = nullptr;
    ASSERT_EQ(MetadataCreateFrame(METADATA_FRAME_APIC, IID_IPictureFrame, reinterpret_cast<void**>(&picture)), S_OK);
    picture->SetMimeType(u"image/png");
    picture->SetDescription(u"cover");
    picture->SetPictureType(3);
    picture->AttachTo(tag.get());
    picture->Release();
    {
        // Picture data of more than the 64 KiB an Extended Content value can hold.
        ID3_Frame* apic = tallory::metadata::id3::firstFrame(asMetadataTag(tag.get())->library(), ID3FID_PICTURE);
        std::vector<uint8_t> data(70000);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
        apic->GetField(ID3FN_DATA)->Set(data.data(), data.size());
    }
    addText(tag.get(), METADATA_FRAME_TLEN, "61000");
    addText(tag.get(), METADATA_FRAME_TDAT, "0503");

    ASSERT_EQ(tagFile(wma)->WriteTag(tag.get()), S_OK);

    // Each mapped frame is a string attribute of its row's name, in mutagen's reading too.
    for (const Mapped& m : kMapped) {
        EXPECT_EQ(mutagenValue(wma, m.attribute), std::string("string:") + m.text) << m.attribute;
    }
    EXPECT_EQ(mutagenValue(wma, "Description"), "string:A comment");
    EXPECT_EQ(mutagenValue(wma, "WM/Comments"), "(none)");
    EXPECT_EQ(mutagenValue(wma, "ID3/TLEN"), "string:61000");
    EXPECT_EQ(mutagenValue(wma, "ID3/TDAT"), "string:0503");
    const auto& library = asMetadataTag(tag.get())->library();
    // A user text is an attribute of its description's name, as other tools name them.
    EXPECT_EQ(mutagenValue(wma, "MusicBrainz Album Id"), "string:f00d-ünï");
    EXPECT_EQ(mutagenValue(wma, "ID3/TXXX"), "(none)");
    {
        // The picture is a "WM/Picture": type, size, MIME type, description (UTF-16LE), data.
        ID3_Frame* apic = tallory::metadata::id3::firstFrame(library, ID3FID_PICTURE);
        const ID3_Field* data = apic->GetField(ID3FN_DATA);
        std::vector<uint8_t> expected = {3, 0x70, 0x11, 0x01, 0x00};
        for (char c : std::string("image/png")) expected.insert(expected.end(), {static_cast<uint8_t>(c), 0});
        expected.insert(expected.end(), {0, 0});
        for (char c : std::string("cover")) expected.insert(expected.end(), {static_cast<uint8_t>(c), 0});
        expected.insert(expected.end(), {0, 0});
        expected.insert(expected.end(), data->GetRawBinary(), data->GetRawBinary() + data->Size());
        EXPECT_EQ(mutagenValue(wma, "WM/Picture"), "binary:" + hex(expected));
        EXPECT_EQ(mutagenValue(wma, "ID3/APIC"), "(none)");
    }

    // ffprobe reads the string attributes (under its own names for the common ones).
    std::string probed = run("ffprobe -v error -show_entries format_tags -of default=nw=1 '" + wma + "'");
    for (const Mapped& m : kMapped) EXPECT_NE(probed.find(std::string("=") + m.text + "\n"), std::string::npos) << m.text;
    EXPECT_NE(probed.find("TAG:title=Grüße ♫ title\n"), std::string::npos) << probed;
    EXPECT_NE(probed.find("TAG:artist=Björk\n"), std::string::npos) << probed;
    EXPECT_NE(probed.find("TAG:album=The Album\n"), std::string::npos) << probed;

    // Read back: every frame identical to the one written, TLEN from the file's duration.
    Ref<IMetadataTag> back = readTag(wma);
    ASSERT_NE(back.get(), nullptr);
    tallory::metadata::id3::forEachFrame(library, [&](ID3_Frame& frame) {
        const int id = frame.GetID();
        if (id == METADATA_FRAME_TLEN || id == METADATA_FRAME_COMM) return true;
        IMetadataFrame* ours = nullptr;
        IMetadataFrame* theirs = nullptr;
        EXPECT_EQ(tag->GetFrame(id, IID_IMetadataFrame, reinterpret_cast<void**>(&ours)), S_OK);
        EXPECT_EQ(back->GetFrame(id, IID_IMetadataFrame, reinterpret_cast<void**>(&theirs)), S_OK) << id;
        if (ours != nullptr && theirs != nullptr) {
            EXPECT_EQ(ours->IsEqual(theirs), 1) << id;
        }
        if (ours != nullptr) ours->Release();
        if (theirs != nullptr) theirs->Release();
        return true;
    });
    EXPECT_EQ(textOf(back.get(), METADATA_FRAME_COMM), "A comment");
    const double seconds = std::stod(probe(wma, "format=duration"));
    EXPECT_NEAR(std::stod(textOf(back.get(), METADATA_FRAME_TLEN)) / 1000, seconds, 0.1);
    EXPECT_EQ(countOf(back.get(), METADATA_FRAME_TLEN), 1);
    // FileSize is the whole file in bytes.
    EXPECT_EQ(textOf(back.get(), METADATA_FRAME_TSIZ), std::to_string(readBytes(wma).size()));
    // The audio still plays to its length.
    EXPECT_NEAR(std::stod(probe(wma, "format=duration")), 2.0, 0.1);
}

TEST(WmaTags, AttributesMutagenWroteReadAsMapped) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    mutagenWrite(wma, {
                          "Author\tstring\t0\t0\tArtist",
                          "WM/AlbumTitle\tstring\t0\t0\tAlbum",
                          "WM/Comments\tstring\t0\t0\tfirst comment",
                          "Description\tstring\t0\t0\tsecond comment",
                          "WM/Track\tdword\t0\t0\t4",
                          "WM/TrackNumber\tdword\t0\t0\t12",
                          "WM/BeatsPerMinute\tword\t0\t0\t128",
                          "WM/PartOfSet\tqword\t0\t0\t2",
                          "WM/Year\tbool\t0\t0\t1",
                          "wm/composer\tstring\t0\t0\tany case",
                          "WM/Mood\tstring\t0\t0\tcalm",
                          "WM/Publisher\tstring\t0\t0\t",
                          "ID3/TIT3\tstring\t0\t0\tgeneric subtitle",
                          "ID3/TXXX\tbinary\t0\t0\t00112233",
                          "ID3/ZZZZ\tstring\t0\t0\tunknown frame",
                          "WM/Picture\tbinary\t0\t0\t0003",
                          "WM/UniqueFileIdentifier\tstring\t0\t0\tAMGa_id=R 1234",
                      });
    Ref<IMetadataTag> tag = readTag(wma);
    ASSERT_NE(tag.get(), nullptr);
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TPE1), "Artist");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TALB), "Album");
    for (int id : {METADATA_FRAME_TPE1, METADATA_FRAME_TALB}) {
        ID3_Frame* f = tallory::metadata::id3::firstFrame(asMetadataTag(tag.get())->library(), static_cast<ID3_FrameID>(id));
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(tallory::metadata::id3::frameEncoding(*f), 0) << "ISO-8859-1 expected";
    }
    // mutagen keeps its own object order; the comment that comes first in it wins.
    std::vector<std::string> order;
    for (const auto& [n, v] : mutagenAttributes(wma)) order.push_back(n);
    const bool commentsFirst = std::find(order.begin(), order.end(), "WM/Comments") <
                               std::find(order.begin(), order.end(), "Description");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_COMM), commentsFirst ? "first comment" : "second comment");
    EXPECT_EQ(countOf(tag.get(), METADATA_FRAME_COMM), 1);
    // Numbers by their type; "WM/TrackNumber" is preferred to the zero-based "WM/Track".
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TRCK), "12");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TBPM), "128");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TPOS), "2");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TYER), "(none)");  // a bool carries no text
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TCOM), "any case");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TPUB), "(none)");  // empty makes no frame
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TIT3), "generic subtitle");
    EXPECT_EQ(countOf(tag.get(), METADATA_FRAME_TXXX), 0);  // bytes that are no frame
    EXPECT_EQ(countOf(tag.get(), ID3FID_UNIQUEFILEID), 1);

    // Writing it back: the owned attributes are replaced, the others kept.
    ASSERT_EQ(tagFile(wma)->WriteTag(tag.get()), S_OK);
    EXPECT_EQ(mutagenValue(wma, "WM/Track"), "dword:4");
    EXPECT_EQ(mutagenValue(wma, "WM/Picture"), "binary:0003");
    // A row whose frame id3lib does not know is carried by its identifier (TMOO), not dropped.
    EXPECT_EQ(mutagenValue(wma, "WM/Mood"), "string:calm");
    EXPECT_EQ(mutagenValue(wma, "WM/Comments"), "(none)");
    EXPECT_EQ(mutagenValue(wma, "Description"), std::string("string:") + (commentsFirst ? "first comment" : "second comment"));
    EXPECT_EQ(mutagenValue(wma, "ID3/TXXX"), "(none)");
    EXPECT_EQ(mutagenValue(wma, "ID3/ZZZZ"), "(none)");
    EXPECT_EQ(mutagenValue(wma, "WM/TrackNumber"), "string:12");
    EXPECT_EQ(mutagenValue(wma, "WM/UniqueFileIdentifier"), "string:AMGa_id=R 1234");
    EXPECT_EQ(mutagenValue(wma, "ID3/TIT3"), "(none)");
    EXPECT_EQ(mutagenValue(wma, "WM/SubTitle"), "string:generic subtitle");
    // The lower-case name was read, and is not one a write owns (exact names only).
    EXPECT_EQ(mutagenValue(wma, "wm/composer"), "string:any case");
    EXPECT_EQ(mutagenValue(wma, "WM/Composer"), "string:any case");
}

// An ID3v2.3 tag of the given text frames.
std::vector<uint8_t> id3Tag(const std::vector<std::pair<std::string, std::string>>& frames) {
    std::vector<uint8_t> body;
    for (const auto& [id, text] : frames) {
        const size_t size = text.size() + 1;
        body.insert(body.end(), id.begin(), id.end());
        for (int shift = 24; shift >= 0; shift -= 8) body.push_back(static_cast<uint8_t>(size >> shift));
        body.insert(body.end(), {0, 0, 0});
        body.insert(body.end(), text.begin(), text.end());
    }
    std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0};
    for (int shift = 21; shift >= 0; shift -= 7) tag.push_back(static_cast<uint8_t>((body.size() >> shift) & 0x7F));
    tag.insert(tag.end(), body.begin(), body.end());
    return tag;
}

TEST(WmaTags, WholeId3AttributeReplacesWhatCameBeforeIt) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    {
        MetadataEditor e;
        ASSERT_TRUE(e.Open(wma));
        ASSERT_TRUE(e.SetAttribute(0, u"Title", AttributeType::String, stringValue(u"Outer title")));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/Composer", AttributeType::String, stringValue(u"Outer composer")));
        ASSERT_TRUE(e.SetAttribute(0, u"ID3", AttributeType::Binary, id3Tag({{"TIT2", "Inner title"}, {"TPE2", "Inner"}})));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/AlbumArtist", AttributeType::String, stringValue(u"Later album artist")));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/AlbumTitle", AttributeType::String, stringValue(u"Later album")));
        ASSERT_TRUE(e.Flush());
    }
    Ref<IMetadataTag> tag = readTag(wma);
    ASSERT_NE(tag.get(), nullptr);
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TIT2), "Inner title");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TCOM), "(none)");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TPE2), "Inner");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TALB), "Later album");
    EXPECT_EQ(countOf(tag.get(), METADATA_FRAME_TIT2), 1);

    // A damaged "ID3" value clears the tag but adds nothing and harms nothing after it.
    {
        MetadataEditor e;
        ASSERT_TRUE(e.Open(wma));
        std::vector<uint8_t> damaged = id3Tag({{"TIT2", "x"}});
        damaged[9] = 0x7F;  // declares more than it holds
        ASSERT_TRUE(e.SetAttribute(0, u"ID3", AttributeType::Binary, damaged));
        std::vector<uint8_t> frame = id3Tag({{"TALB", "not a TIT3"}});
        ASSERT_TRUE(e.SetAttribute(0, u"ID3/TIT3", AttributeType::Binary, {frame.begin() + 10, frame.end()}));
        ASSERT_TRUE(e.SetAttribute(0, u"ID3/APIC", AttributeType::Binary, {'A', 'P', 'I', 'C', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1}));
        ASSERT_TRUE(e.Flush());
    }
    tag = readTag(wma);
    ASSERT_NE(tag.get(), nullptr);
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TIT2), "(none)");
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TIT3), "(none)");
    EXPECT_EQ(countOf(tag.get(), METADATA_FRAME_APIC), 0);
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TALB), "Later album");
}

TEST(WmaTags, ComputedAttributesAreReadNeverWritten) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    {
        MetadataEditor e;
        ASSERT_TRUE(e.Open(wma));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/Track", AttributeType::Dword, numberValue(0, 4)));
        ASSERT_TRUE(e.Flush());
    }
    Ref<IMetadataTag> tag = readTag(wma);
    ASSERT_NE(tag.get(), nullptr);
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TRCK), "1");
    MetadataEditor e;
    ASSERT_TRUE(e.Open(wma));
    const uint64_t duration = numberOf(e.GetAttributeByName(0, u"Duration")->value);
    e.Close();
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TLEN), std::to_string(duration / 10000));

    // TRCK now goes to "WM/TrackNumber", TLEN to "ID3/TLEN"; "WM/Track" stays as it was.
    tag->RemoveFrames(METADATA_FRAME_TRCK);
    addText(tag.get(), METADATA_FRAME_TRCK, "7");
    ASSERT_EQ(tagFile(wma)->WriteTag(tag.get()), S_OK);
    EXPECT_EQ(mutagenValue(wma, "WM/Track"), "dword:0");
    EXPECT_EQ(mutagenValue(wma, "WM/TrackNumber"), "string:7");
    EXPECT_EQ(mutagenValue(wma, "ID3/TLEN"), "string:" + std::to_string(duration / 10000));
    EXPECT_EQ(mutagenValue(wma, "Duration"), "(none)");
    tag = readTag(wma);
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TRCK), "7");

    // A "WM/Track" that is not a 32-bit number is ignored.
    mutagenWrite(wma, {"WM/Track\tstring\t0\t0\t5"});
    tag = readTag(wma);
    EXPECT_EQ(textOf(tag.get(), METADATA_FRAME_TRCK), "(none)");
}

TEST(WmaTags, FilesThatAreNotAsfFailWithoutHarm) {
    std::string dir = scratch();
    EXPECT_EQ(tagFile(dir + "/x.ASF")->GetCapabilities(), METADATA_CAN_READ | METADATA_CAN_WRITE);
    IMetadataTag* tag = nullptr;
    EXPECT_TRUE(FAILED(tagFile(dir + "/missing.wma")->ReadTag(&tag)));
    EXPECT_EQ(tag, nullptr);

    std::string fake = dir + "/fake.wma";
    std::vector<uint8_t> text(5000, 'x');
    writeBytes(fake, text);
    EXPECT_TRUE(FAILED(tagFile(fake)->ReadTag(&tag)));
    EXPECT_EQ(tag, nullptr);
    ASSERT_EQ(MetadataCreateTag(&tag), S_OK);
    Ref<IMetadataTag> empty(tag);
    addText(empty.get(), METADATA_FRAME_TIT2, "x");
    EXPECT_TRUE(FAILED(tagFile(fake)->WriteTag(empty.get())));
    EXPECT_EQ(readBytes(fake), text);
    EXPECT_TRUE(FAILED(tagFile(dir + "/missing.wma")->WriteTag(empty.get())));

    // A read-only folder: the write fails and the original stays whole.
    std::string wma = makeWma(dir);
    const std::vector<uint8_t> before = readBytes(wma);
    if (geteuid() != 0) {
        ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
        EXPECT_TRUE(FAILED(tagFile(wma)->WriteTag(empty.get())));
        ::chmod(dir.c_str(), 0755);
        EXPECT_EQ(readBytes(wma), before);
    }
}

// An MP3 tag as iTunes and MusicBrainz Picard leave it, converted to WMA by the
// command line: every TXXX its own attribute, the main comment the description,
// TDRC's year in "WM/Year", the genre by name, the picture as "WM/Picture"; read
// back, the frames are those of the MP3.
TEST(WmaTags, Mp3TagsReachWmaWhole) {
    std::string dir = scratch();
    std::string mp3 = dir + "/song.mp3";
    bool ok = false;
    run("ffmpeg -nostdin -y -loglevel error -f lavfi -i sine=duration=1 -c:a libmp3lame -b:a 64k '" + mp3 + "'", &ok);
    ASSERT_TRUE(ok);
    const std::string program = dir + "/tag.py";
    {
        std::ofstream f(program);
        f << R"(import sys
import mutagen.id3 as id3
t = id3.ID3()
t.add(id3.TIT2(encoding=3, text=["Song"]))
t.add(id3.TDRC(encoding=3, text=["2004-07-01"]))
t.add(id3.TCON(encoding=3, text=["17"]))
t.add(id3.COMM(encoding=3, lang="eng", desc="", text=["Main comment"]))
for i in range(18):
    t.add(id3.TXXX(encoding=3, desc="Key %02d" % i, text=["value %d" % i]))
t.add(id3.COMM(encoding=3, lang="eng", desc="iTunNORM", text=[" 0000 0001"]))
t.add(id3.COMM(encoding=3, lang="eng", desc="iTunSMPB", text=[" 00000000 00000210"]))
t.add(id3.APIC(encoding=3, mime="image/png", type=3, desc="front", data=bytes(range(256)) * 3))
t.save(sys.argv[1], v2_version=4)
)";
    }
    run("/usr/bin/python3 '" + program + "' '" + mp3 + "'", &ok);
    ASSERT_TRUE(ok);
    const char* bin = std::getenv("TALLORY_TEST_BIN");
    ASSERT_NE(bin, nullptr);
    const std::string wma = dir + "/song.wma";
    run("'" + std::string(bin) + "/tallory' convert '" + mp3 + "' --to wma -o '" + wma + "'", &ok);
    ASSERT_TRUE(ok);

    for (int i = 0; i < 18; ++i) {
        char name[32], value[32];
        std::snprintf(name, sizeof name, "Key %02d", i);
        std::snprintf(value, sizeof value, "value %d", i);
        EXPECT_EQ(mutagenValue(wma, name), std::string("string:") + value) << name;
    }
    EXPECT_EQ(mutagenValue(wma, "ID3/TXXX"), "(none)");
    EXPECT_EQ(mutagenValue(wma, "Description"), "string:Main comment");
    EXPECT_EQ(mutagenValue(wma, "WM/Year"), "string:2004");
    EXPECT_EQ(mutagenValue(wma, "WM/Genre"), "string:Rock");
    EXPECT_EQ(mutagenValue(wma, "Title"), "string:Song");
    EXPECT_EQ(mutagenValue(wma, "WM/Picture").substr(0, 17), "binary:0300030000");
    // ffprobe names the free attributes by their names too.
    const std::string probed = run("ffprobe -v error -show_entries format_tags -of default=nw=1 '" + wma + "'");
    EXPECT_NE(probed.find("TAG:Key 07=value 7\n"), std::string::npos) << probed;

    Ref<IMetadataTag> back = readTag(wma);
    ASSERT_NE(back, nullptr);
    const auto& library = asMetadataTag(back.get())->library();
    int texts = 0, comments = 0, pictures = 0;
    tallory::metadata::id3::forEachFrame(library, [&](ID3_Frame& f) {
        if (f.GetID() == ID3FID_USERTEXT) ++texts;
        if (f.GetID() == ID3FID_COMMENT) ++comments;
        if (f.GetID() == ID3FID_PICTURE) {
            ++pictures;
            EXPECT_EQ(tallory::metadata::id3::fieldBinarySize(f, ID3FN_DATA), 768u);
            EXPECT_EQ(utf8FromUtf16(*tallory::metadata::id3::fieldText(f, ID3FN_MIMETYPE)), "image/png");
        }
        return true;
    });
    EXPECT_GE(texts, 18);
    EXPECT_EQ(comments, 3);
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(textOf(back.get(), METADATA_FRAME_COMM), "Main comment");
    EXPECT_EQ(textOf(back.get(), METADATA_FRAME_TYER), "2004");

    // Attributes another tool wrote: "WM/Genre" and "WM/Picture" become TCON and APIC.
    std::string other = makeWma(dir);
    mutagenWrite(other, {"WM/Genre\tstring\t0\t0\tJazz",
                         "WM/Picture\tbinary\t0\t0\t0403000000" + hex({'i', 0, 'm', 0, 'a', 0, 'g', 0, 'e', 0, '/', 0,
                                                                       'g', 0, 'i', 0, 'f', 0, 0, 0, 0, 0, 1, 2, 3}),
                         "MusicBrainz/Track Id\tstring\t0\t0\tabc-123"});
    Ref<IMetadataTag> theirs = readTag(other);
    ASSERT_NE(theirs, nullptr);
    EXPECT_EQ(textOf(theirs.get(), METADATA_FRAME_TCON), "Jazz");
    ID3_Frame* apic = tallory::metadata::id3::firstFrame(asMetadataTag(theirs.get())->library(), ID3FID_PICTURE);
    ASSERT_NE(apic, nullptr);
    EXPECT_EQ(tallory::metadata::id3::fieldInt(*apic, ID3FN_PICTURETYPE), 4u);
    EXPECT_EQ(tallory::metadata::id3::fieldBinarySize(*apic, ID3FN_DATA), 3u);
    ID3_Frame* user = tallory::metadata::id3::firstFrame(asMetadataTag(theirs.get())->library(), ID3FID_USERTEXT);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(utf8FromUtf16(*tallory::metadata::id3::fieldText(*user, ID3FN_DESCRIPTION)), "MusicBrainz/Track Id");
    // Written back, each is still there once.
    ASSERT_EQ(tagFile(other)->WriteTag(theirs.get()), S_OK);
    EXPECT_EQ(mutagenValue(other, "WM/Genre"), "string:Jazz");
    EXPECT_EQ(mutagenValue(other, "MusicBrainz/Track Id"), "string:abc-123");
    int seen = 0;
    for (const auto& [n, v] : mutagenAttributes(other)) seen += n == "WM/Picture" ? 1 : 0;
    EXPECT_EQ(seen, 1);
}

// Several values of one attribute are several values of one frame; a conversion
// to MP3 writes them the ID3v2.3 way ("/" between them, genre numbers in parentheses).
TEST(WmaTags, SeveralValuesReachMp3TheV23Way) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    mutagenWrite(wma, {"Author\tstring\t0\t0\tAlpha", "Author\tstring\t0\t0\tBeta", "WM/GenreID\tstring\t0\t0\t13",
                       "WM/GenreID\tstring\t0\t0\tRock"});
    Ref<IMetadataTag> tag = readTag(wma);
    ASSERT_NE(tag, nullptr);
    IMetadataFrame* artist = nullptr;
    ASSERT_EQ(tag->GetFrame(METADATA_FRAME_TPE1, IID_IMetadataFrame, reinterpret_cast<void**>(&artist)), S_OK);
    char16_t shown[64] = {};
    artist->GetDisplayText(shown, 63);
    artist->Release();
    const std::string text = utf8FromUtf16(shown);
    EXPECT_TRUE(text == "Alpha, Beta" || text == "Beta, Alpha") << text;
    EXPECT_EQ(countOf(tag.get(), METADATA_FRAME_TPE1), 1);

    const char* bin = std::getenv("TALLORY_TEST_BIN");
    ASSERT_NE(bin, nullptr);
    const std::string mp3 = dir + "/out.mp3";
    bool ok = false;
    run("'" + std::string(bin) + "/tallory' convert '" + wma + "' --to mp3 -o '" + mp3 + "'", &ok);
    ASSERT_TRUE(ok);
    const std::string raw = run("/usr/bin/python3 -c \"import mutagen.id3 as id3; t = id3.ID3('" + mp3 +
                                "', translate=False); print(t.version); print(t['TPE1'].text[0]); print(t['TCON'].text[0])\"");
    EXPECT_TRUE(raw == "(2, 3, 0)\nAlpha/Beta\n(13)Rock\n" || raw == "(2, 3, 0)\nBeta/Alpha\n(13)Rock\n") << raw;
}

}  // namespace
