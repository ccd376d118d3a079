// FLAC tag rewrites: other metadata blocks, an ID3v2 tag before the signature
// and the audio frames keep their bytes (checked with metaflac and flac -t);
// padding keeps the audio in place; failures and damaged files leave the file
// as it was.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "../audio_test_util.h"
#include "formats/flac/flac_metadata_file.h"
#include "metadata/metadata_tag.h"
#include "metadata/vorbis_comments.h"
#include "platform/files/output_file.h"
#include "tallory/tallory.h"

using namespace testutil;
using tallory::Ref;

namespace {

Ref<IMetadataTag> tagOf(const std::vector<std::string>& comments) {
    Ref<IMetadataTag> tag;
    EXPECT_EQ(MetadataCreateTag(tag.out()), S_OK);
    tallory::metadata::readVorbisComments(comments, tallory::metadata::asMetadataTag(tag.get())->library());
    return tag;
}

std::string blockTypes(const std::string& path) {
    return run("metaflac --list '" + path + "' | sed -n 's/^  type: [0-9]* (\\(.*\\))/\\1/p' | tr '\\n' ' '");
}

bool sameTail(const Bytes& a, const Bytes& b, size_t n) {
    return a.size() >= n && b.size() >= n && std::equal(a.end() - static_cast<long>(n), a.end(), b.end() - static_cast<long>(n));
}

std::string entries(const std::string& dir) {
    std::string out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") out += name + " ";
        }
        closedir(d);
    }
    return out;
}

int flacTest(const std::string& path) {
    int status = -1;
    run("flac -s -t '" + path + "' 2>&1", &status);
    return status;
}

}  // namespace

TEST(FlacTags, RewriteKeepsOtherBlocksAndTheAudio) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/song.flac";
    run("sox -n -r 44100 -c 2 -b 16 '" + dir + "/in.wav' synth 4 sine 440 sine 660 gain -6");
    run("printf 'FILE \"in.wav\" WAVE\\n  TRACK 01 AUDIO\\n    INDEX 01 00:00:00\\n  TRACK 02 AUDIO\\n    INDEX 01 00:02:00\\n' > '" +
        dir + "/in.cue'");
    run("flac -s -f --tag=TITLE=Old --padding=4096 -S 1s --cuesheet='" + dir + "/in.cue' -o '" + path + "' '" + dir +
        "/in.wav'");
    ASSERT_EQ(blockTypes(path), "STREAMINFO SEEKTABLE CUESHEET VORBIS_COMMENT PADDING ");
    const Bytes original = readFile(path);
    const std::string md5 = run("metaflac --show-md5sum '" + path + "'");
    tallory::formats::flac::FlacMetadataFile file(path);
    file.AddRef();

    // A small change fits the padding: same size, the audio where it was.
    ASSERT_EQ(file.WriteTag(tagOf({"TITLE=New title", "ARTIST=Someone"}).get()), S_OK);
    const Bytes small = readFile(path);
    EXPECT_EQ(small.size(), original.size());
    EXPECT_TRUE(sameTail(small, original, original.size() - 4300));
    EXPECT_EQ(blockTypes(path), "STREAMINFO SEEKTABLE CUESHEET VORBIS_COMMENT PADDING ");
    EXPECT_EQ(run("metaflac --export-tags-to=- '" + path + "'"), "TITLE=New title\nARTIST=Someone\n");
    EXPECT_EQ(run("metaflac --export-cuesheet-to=- '" + path + "' | grep -c INDEX"), "2\n");
    EXPECT_EQ(run("metaflac --show-md5sum '" + path + "'"), md5);
    EXPECT_EQ(flacTest(path), 0);

    // A cover larger than the padding moves the audio; its bytes stay the same.
    Ref<IMetadataTag> covered = tagOf({"TITLE=Covered"});
    tallory::metadata::VorbisPicture cover;
    cover.mimeType = "image/jpeg";
    cover.description = "vorn";
    for (int i = 0; i < 100000; ++i) cover.data.push_back(static_cast<uint8_t>(i * 11));
    tallory::metadata::addPicture(cover, tallory::metadata::asMetadataTag(covered.get())->library());
    ASSERT_EQ(file.WriteTag(covered.get()), S_OK);
    const Bytes big = readFile(path);
    EXPECT_GT(big.size(), original.size() + 100000);
    EXPECT_TRUE(sameTail(big, original, original.size() - 4300));
    EXPECT_EQ(blockTypes(path), "STREAMINFO SEEKTABLE CUESHEET VORBIS_COMMENT PICTURE Cover (front) PADDING ");
    EXPECT_EQ(run("/usr/bin/python3 -c \"import sys; from mutagen.flac import FLAC; f=FLAC(sys.argv[1]); "
                  "p=f.pictures[0]; print(f['title'][0], p.type, p.mime, p.desc, "
                  "p.data == bytes((i*11)%256 for i in range(100000)))\" '" + path + "'"),
              "Covered 3 image/jpeg vorn True\n");
    EXPECT_EQ(flacTest(path), 0);

    // Without the cover the room it took is given back, and the same tag twice leaves the file alone.
    ASSERT_EQ(file.WriteTag(tagOf({"TITLE=Plain"}).get()), S_OK);
    const Bytes plain = readFile(path);
    EXPECT_LT(plain.size(), original.size() + 10000);
    EXPECT_TRUE(sameTail(plain, original, original.size() - 4300));
    ASSERT_EQ(file.WriteTag(tagOf({"TITLE=Plain"}).get()), S_OK);
    EXPECT_EQ(readFile(path), plain);
    EXPECT_EQ(flacTest(path), 0);
}

TEST(FlacTags, AnId3v2TagBeforeTheSignatureIsKept) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/id3.flac";
    run("sox -n -r 22050 -c 1 -b 16 '" + dir + "/in.wav' synth 1 sine 440");
    run("flac -s -f --tag=TITLE=Inside -o '" + dir + "/plain.flac' '" + dir + "/in.wav'");
    // ID3v2.3 with one TIT2 frame ("Outside"), as some taggers prepend it.
    Bytes id3 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 18, 'T', 'I', 'T', '2', 0, 0, 0, 8, 0, 0, 0,
                 'O', 'u', 't', 's', 'i', 'd', 'e'};
    Bytes bytes = id3;
    const Bytes plain = readFile(dir + "/plain.flac");
    bytes.insert(bytes.end(), plain.begin(), plain.end());
    writeFile(path, bytes);
    tallory::formats::flac::FlacMetadataFile file(path);
    file.AddRef();
    Ref<IMetadataTag> tag;
    ASSERT_EQ(file.ReadTag(tag.out()), S_OK);
    EXPECT_EQ(tallory::metadata::writeVorbisComments(tallory::metadata::asMetadataTag(tag.get())->library(), false),
              std::vector<std::string>{"TITLE=Inside"});
    ASSERT_EQ(file.WriteTag(tagOf({"TITLE=Changed"}).get()), S_OK);
    const Bytes after = readFile(path);
    ASSERT_GT(after.size(), id3.size());
    EXPECT_TRUE(std::equal(id3.begin(), id3.end(), after.begin()));
    EXPECT_EQ(probe(path, "duration_ts"), "22050");
    EXPECT_EQ(flacTest(path), 0);
    // Past the ID3v2 tag, metaflac sees what we wrote.
    writeFile(dir + "/stripped.flac", Bytes(after.begin() + static_cast<long>(id3.size()), after.end()));
    EXPECT_EQ(run("metaflac --export-tags-to=- '" + dir + "/stripped.flac'"), "TITLE=Changed\n");
}

TEST(FlacTags, FailuresAndDamagedFilesLeaveTheFileAsItWas) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/song.flac";
    run("sox -n -r 8000 -c 1 -b 16 '" + dir + "/in.wav' synth 1 sine 440");
    run("flac -s -f --tag=TITLE=Old -o '" + path + "' '" + dir + "/in.wav' && rm '" + dir + "/in.wav'");
    const Bytes original = readFile(path);
    ASSERT_GT(original.size(), 8400u);
    {
        tallory::formats::flac::FlacMetadataFile file(path);
        file.AddRef();
        // A write that fails on the disk, or a failed rename: nothing new under any name.
        for (auto step : {tallory::platform::FileStepKind::write, tallory::platform::FileStepKind::rename}) {
            tallory::platform::testing::failNextStep(step, ENOSPC);
            EXPECT_EQ(file.WriteTag(tagOf({"TITLE=New"}).get()), E_FAIL);
            tallory::platform::testing::failNextStep(tallory::platform::FileStepKind::none, 0);
            EXPECT_EQ(readFile(path), original);
            EXPECT_EQ(entries(dir), "song.flac ");
        }
    }
    // Cut in the metadata, a block length past the end, a second STREAMINFO, no signature.
    Bytes longBlock = original;
    longBlock[4 + 4 + 34 + 1] = 0x7F;  // the block after STREAMINFO declares about 8 MB
    Bytes twoInfos = original;
    twoInfos[4 + 4 + 34] = static_cast<uint8_t>(twoInfos[4 + 4 + 34] & 0x80);  // its type becomes STREAMINFO
    struct Damaged {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Damaged> cases = {{"cut.flac", Bytes(original.begin(), original.begin() + 60)},
                                        {"long.flac", longBlock},
                                        {"twoinfos.flac", twoInfos},
                                        {"junk.flac", Bytes(3000, 0x66)},
                                        {"id3only.flac", Bytes{'I', 'D', '3', 3, 0, 0, 0, 0, 0x7F, 0x7F}}};
    for (const Damaged& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir + "/" + c.name, c.bytes);
        tallory::formats::flac::FlacMetadataFile damaged(dir + "/" + c.name);
        damaged.AddRef();
        Ref<IMetadataTag> tag;
        EXPECT_EQ(damaged.ReadTag(tag.out()), E_FAIL);
        EXPECT_EQ(damaged.WriteTag(tagOf({"TITLE=New"}).get()), E_FAIL);
        EXPECT_EQ(readFile(dir + "/" + c.name), c.bytes);
    }
}
