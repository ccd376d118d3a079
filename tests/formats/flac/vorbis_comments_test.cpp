// The one Vorbis comment mapping shared by FLAC, Opus and Ogg: fields both
// ways, aliases and totals, pictures and base64, malformed input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "metadata/id3_support.h"
#include "metadata/metadata_tag.h"
#include "metadata/text_codec.h"
#include "metadata/vorbis_comments.h"
#include "tallory/metadata.h"
#include "tallory/ref.h"

using namespace tallory::metadata;

namespace {

std::u16string textOf(const ID3_Tag& tag, ID3_FrameID id) {
    ID3_Frame* f = id3::firstFrame(tag, id);
    return f == nullptr ? u"<none>" : id3::fieldText(*f, ID3FN_TEXT).value_or(u"");
}

}  // namespace

TEST(VorbisComments, FieldsAliasesAndTotalsBothWays) {
    const std::vector<std::string> in = {"title=Song", "ARTIST=One", "ARTIST=Two", "Album Artist=Band",
                                         "TRACKNUMBER=4", "TRACKTOTAL=11", "DISCNUMBER=1/2", "DATE=2003-10-01",
                                         "MyField=x=y", "=nameless", "no equals sign", "GENRE=",
                                         "REPLAYGAIN_TRACK_GAIN=-3.10 dB", "DESCRIPTION=words"};
    ID3_Tag tag;
    readVorbisComments(in, tag);
    EXPECT_EQ(textOf(tag, ID3FID_TITLE), u"Song");
    EXPECT_EQ(textOf(tag, ID3FID_LEADARTIST), u"One; Two");
    EXPECT_EQ(textOf(tag, ID3FID_BAND), u"Band");
    EXPECT_EQ(textOf(tag, ID3FID_TRACKNUM), u"4/11");
    EXPECT_EQ(textOf(tag, ID3FID_PARTINSET), u"1/2");
    EXPECT_EQ(textOf(tag, ID3FID_YEAR), u"2003");
    EXPECT_EQ(textOf(tag, ID3FID_CONTENTTYPE), u"<none>");  // empty values make no frame
    EXPECT_EQ(textOf(tag, ID3FID_COMMENT), u"words");

    const std::vector<std::string> out = writeVorbisComments(tag, false);
    const std::vector<std::string> expected = {"TITLE=Song", "ARTIST=One; Two", "ALBUMARTIST=Band", "TRACKNUMBER=4",
                                               "TRACKTOTAL=11", "DISCNUMBER=1", "DISCTOTAL=2", "DATE=2003",
                                               "MyField=x=y", "REPLAYGAIN_TRACK_GAIN=-3.10 dB", "COMMENT=words"};
    EXPECT_EQ(out, expected);
}

// An MP3 whose ID3v2.4 tag dates the recording in TDRC only: its date reaches
// the comments, where a conversion to FLAC, Ogg or Opus would otherwise lose it.
TEST(VorbisComments, RecordingTimeOfAnId3v24TagBecomesTheDate) {
    const std::string path =
        std::string(std::getenv("TALLORY_SOURCE_DIR")) + "/tests/data/id3/v24_unsync_length_indicator.mp3";
    tallory::Ref<IMetadataFile> file;
    ASSERT_EQ(MetadataCreateFromFile(path.c_str(), file.out()), S_OK);
    tallory::Ref<IMetadataTag> tag;
    ASSERT_EQ(file->ReadTag(tag.out()), S_OK);
    MetadataTag* ours = asMetadataTag(tag.get());
    ASSERT_NE(ours, nullptr);
    const std::vector<std::string> out = writeVorbisComments(ours->library(), false);
    int dates = 0;
    for (const std::string& c : out) {
        if (c.rfind("DATE=", 0) != 0) continue;
        ++dates;
        EXPECT_EQ(c.substr(0, 15), "DATE=2001-05-03") << c;
    }
    EXPECT_EQ(dates, 1);
    // A year frame of its own wins: no second DATE.
    ID3_Tag both;
    id3::forEachFrame(ours->library(), [&](ID3_Frame& f) {
        if (ID3_Frame* copy = id3::cloneFrame(f)) both.AttachFrame(copy);
        return true;
    });
    readVorbisComments(std::vector<std::string>{"DATE=1999"}, both);
    std::vector<std::string> years;
    for (const std::string& c : writeVorbisComments(both, false))
        if (c.rfind("DATE=", 0) == 0) years.push_back(c);
    EXPECT_EQ(years, std::vector<std::string>{"DATE=1999"});
}

TEST(VorbisComments, PicturesAsBlocksAndAsBase64Comments) {
    VorbisPicture p;
    p.type = 3;
    p.mimeType = "image/jpeg";
    p.description = "cover ü";
    p.width = 600;
    p.height = 500;
    p.depth = 24;
    p.data = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F'};
    const std::vector<uint8_t> block = renderPictureBlock(p);
    ASSERT_EQ(block.size(), 32 + 10 + 8 + 10u);
    auto back = parsePictureBlock(block);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mimeType, p.mimeType);
    EXPECT_EQ(back->description, p.description);
    EXPECT_EQ(back->width, 600u);
    EXPECT_EQ(back->data, p.data);
    // Every cut of the record is refused, never read past its end.
    for (size_t n = 0; n < block.size(); ++n) {
        EXPECT_FALSE(parsePictureBlock(std::span<const uint8_t>(block.data(), n))) << n;
    }

    ID3_Tag tag;
    addPicture(p, tag);
    const std::vector<std::string> comments = writeVorbisComments(tag, true);
    ASSERT_EQ(comments.size(), 1u);
    ASSERT_EQ(comments[0].rfind("METADATA_BLOCK_PICTURE=", 0), 0u);
    EXPECT_TRUE(writeVorbisComments(tag, false).empty());
    ID3_Tag again;
    readVorbisComments(comments, again);
    const auto pictures = picturesOf(again);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].data, p.data);
    EXPECT_EQ(pictures[0].description, p.description);

    // Broken base64 or a broken record in it adds nothing.
    ID3_Tag broken;
    readVorbisComments(std::vector<std::string>{"METADATA_BLOCK_PICTURE=@@@@", "METADATA_BLOCK_PICTURE=AAAA"}, broken);
    EXPECT_TRUE(picturesOf(broken).empty());
}

TEST(VorbisComments, Base64AndCommentPacketsAgainstKnownBytes) {
    const std::string text = "any carnal pleas";
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    EXPECT_EQ(base64Encode(std::span<const uint8_t>(bytes.data(), 14)), "YW55IGNhcm5hbCBwbGU=");
    EXPECT_EQ(base64Encode(std::span<const uint8_t>(bytes.data(), 13)), "YW55IGNhcm5hbCBwbA==");
    EXPECT_EQ(base64Encode(bytes), "YW55IGNhcm5hbCBwbGVhcw==");
    auto decoded = base64Decode("YW55IGNhcm5hbCBwbGVhcw==");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, bytes);
    for (const char* bad : {"YW5", "YW5=IGNh", "Y===", "YW55!GNh"}) EXPECT_FALSE(base64Decode(bad)) << bad;

    CommentPacket packet{"vendor", {"A=1", "B=22"}};
    const std::vector<uint8_t> raw = renderCommentPacket(packet);
    const std::vector<uint8_t> expected = {6, 0, 0, 0, 'v', 'e', 'n', 'd', 'o', 'r', 2, 0, 0, 0, 3, 0, 0, 0,
                                           'A', '=', '1', 4, 0, 0, 0, 'B', '=', '2', '2'};
    EXPECT_EQ(raw, expected);
    auto back = parseCommentPacket(raw);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->comments, packet.comments);
    std::vector<uint8_t> lying = raw;
    lying[10] = 0xFF;  // a count of comments the bytes cannot hold
    EXPECT_FALSE(parseCommentPacket(lying));
    EXPECT_FALSE(parseCommentPacket(std::span<const uint8_t>(raw.data(), raw.size() - 1)));
}

// A date is shortened to its year only when it starts with four digits: a byte
// cut through anything else split UTF-8 sequences and changed the text on every
// rewrite (found by the fuzz target).
TEST(VorbisComments, DatesThatAreNotYearsStayWholeAndRewriteUnchanged) {
    const std::vector<std::string> in = {"DATE=200\xff-02-03", "ORIGINALDATE=\xe4\xba\x8c\xe3\x80\x87\xe3\x80\x87\xe4\xb8\x89",
                                         "GENRE=(1"};
    ID3_Tag tag;
    readVorbisComments(in, tag);
    EXPECT_EQ(textOf(tag, ID3FID_YEAR), u"200\u00ff-02-03");  // a stray byte reads as its Latin-1 character
    EXPECT_EQ(textOf(tag, ID3FID_ORIGYEAR), u"\u4e8c\u3007\u3007\u4e09");
    const std::vector<std::string> once = writeVorbisComments(tag, true);
    ID3_Tag again;
    readVorbisComments(once, again);
    EXPECT_EQ(writeVorbisComments(again, true), once);
    const std::vector<std::string> expected = {"DATE=200\xc3\xbf-02-03",
                                               "ORIGINALDATE=\xe4\xba\x8c\xe3\x80\x87\xe3\x80\x87\xe4\xb8\x89", "GENRE=(1"};
    EXPECT_EQ(once, expected);

    ID3_Tag years;
    readVorbisComments(std::vector<std::string>{"DATE=1999-12-31", "ORIGINALDATE=198"}, years);
    EXPECT_EQ(textOf(years, ID3FID_YEAR), u"1999");
    EXPECT_EQ(textOf(years, ID3FID_ORIGYEAR), u"198");
}
