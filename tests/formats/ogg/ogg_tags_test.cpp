// Vorbis comments of .ogg files: carried into conversion outputs and rewritten
// in existing files, checked by mutagen, vorbiscomment and ogginfo; the audio
// packets compared byte for byte (mutagen splits the pages) before and after.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "../audio_test_util.h"
#include "formats/ogg/ogg_metadata_file.h"
#include "metadata/metadata_tag.h"
#include "metadata/vorbis_comments.h"
#include "platform/files/output_file.h"
#include "tallory/tallory.h"

using namespace testutil;
using tallory::Ref;

namespace {

// The packets after the three headers, hashed, and the page count, by mutagen.
std::string audioPackets(const std::string& path) {
    return run("/usr/bin/python3 -c \"import sys, hashlib; from mutagen.ogg import OggPage\n"
               "f=open(sys.argv[1],'rb'); pages=[]\n"
               "while True:\n"
               "  try: pages.append(OggPage(f))\n"
               "  except EOFError: break\n"
               "packets=OggPage.to_packets(pages)\n"
               "print(len(packets), hashlib.sha1(b''.join(packets[3:])).hexdigest())\" '" + path + "'");
}

std::string ogginfoProblems(const std::string& path) {
    const std::string info = run("ogginfo '" + path + "' 2>&1");
    std::string found;
    for (const char* word : {"WARNING", "ERROR", "hole", "gap"}) {
        if (info.find(word) != std::string::npos) found += info;
    }
    return found;
}

Ref<IMetadataTag> tagOf(const std::vector<std::string>& comments) {
    Ref<IMetadataTag> tag;
    EXPECT_EQ(MetadataCreateTag(tag.out()), S_OK);
    tallory::metadata::readVorbisComments(comments, tallory::metadata::asMetadataTag(tag.get())->library());
    return tag;
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

}  // namespace

TEST(OggTags, ConversionCarriesTheSourcesTagsAndCover) {
    const std::string dir = scratchDir();
    run("sox -n -r 44100 -c 2 -b 16 '" + dir + "/in.wav' synth 2.5 sine 330 sine 550 gain -3");
    run("printf 'PNGDATA' > '" + dir + "/cover.png'");
    run("flac -s -f --tag=TITLE=Überall --tag=ARTIST=Singer --tag=TRACKNUMBER=2 --tag=TRACKTOTAL=5 --tag=MOOD=calm "
        "--picture='3|image/png|front|1x1x24|" + dir + "/cover.png' -o '" + dir + "/in.flac' '" + dir + "/in.wav' 2>/dev/null");
    Ref<IConvSource> s(create<IConvSource>(CLSID_FlacSource, IID_IConvSource));
    Ref<IConvTarget> t(create<IConvTarget>(CLSID_OggTarget, IID_IConvTarget));
    s->SetPath((dir + "/in.flac").c_str());
    t->SetPath((dir + "/out.ogg").c_str());
    RecordingProgress progress;
    ASSERT_EQ(AudioConvert(s.get(), t.get(), &progress, 0, 0, -1, -1), S_OK);

    EXPECT_EQ(run("/usr/bin/python3 -c \"import sys, base64; from mutagen.oggvorbis import OggVorbis; "
                  "from mutagen.flac import Picture; t=OggVorbis(sys.argv[1]).tags; "
                  "p=Picture(base64.b64decode(t['METADATA_BLOCK_PICTURE'][0])); "
                  "print(t['title'][0], t['artist'][0], t['tracknumber'][0], t['tracktotal'][0], t['mood'][0], "
                  "t['encodersettings'][0], p.type, p.mime, p.desc, p.data, t.vendor.startswith('Xiph'))\" '" +
                  dir + "/out.ogg'"),
              "Überall Singer 2 5 calm Tallory, VBR Quality 40% 3 image/png front b'PNGDATA' True\n");
    const std::string listed = run("vorbiscomment -l '" + dir + "/out.ogg'");
    EXPECT_NE(listed.find("TITLE=Überall\n"), std::string::npos) << listed;
    EXPECT_EQ(ogginfoProblems(dir + "/out.ogg"), "");
    EXPECT_EQ(probe(dir + "/out.ogg", "duration_ts"), "110250");

    // The source side reads them back into the tag model.
    Ref<IConvSource> back(create<IConvSource>(CLSID_OggSource, IID_IConvSource));
    back->SetPath((dir + "/out.ogg").c_str());
    Ref<IMetadataFile> file;
    ASSERT_TRUE(back->GetTag(file.out()));
    Ref<IMetadataTag> tag;
    ASSERT_EQ(file->ReadTag(tag.out()), S_OK);
    ID3_Tag& library = tallory::metadata::asMetadataTag(tag.get())->library();
    const std::vector<std::string> comments = tallory::metadata::writeVorbisComments(library, false);
    EXPECT_EQ(comments.front(), "TITLE=Überall");
    ASSERT_EQ(tallory::metadata::picturesOf(library).size(), 1u);
}

TEST(OggTags, RewritesKeepTheAudioPacketsAndNumberThePagesAgain) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/song.ogg";
    run("sox -n -r 44100 -c 2 -b 16 '" + dir + "/in.wav' synth 6 sine 440 sine 660 gain -6");
    run("oggenc -Q -q 3 -t Before -a Artist -c KEEP=kept -o '" + path + "' '" + dir + "/in.wav'");
    const std::string packets = audioPackets(path);
    const Bytes original = readFile(path);
    const Bytes decoded = runBytes("oggdec -Q -R -o - '" + path + "'");
    ASSERT_GT(decoded.size(), 1000000u);
    tallory::formats::ogg::OggMetadataFile file(path);
    file.AddRef();

    // Same page count: every byte after the header pages is the original's.
    Ref<IMetadataTag> tag;
    ASSERT_EQ(file.ReadTag(tag.out()), S_OK);
    EXPECT_EQ(tallory::metadata::writeVorbisComments(tallory::metadata::asMetadataTag(tag.get())->library(), false),
              (std::vector<std::string>{"KEEP=kept", "TITLE=Before", "ARTIST=Artist"}));  // oggenc writes -c first
    ASSERT_EQ(file.WriteTag(tagOf({"TITLE=After", "ARTIST=Artist", "KEEP=kept", "GENRE=Ambient"}).get()), S_OK);
    const Bytes small = readFile(path);
    EXPECT_EQ(audioPackets(path), packets);
    const size_t tailBytes = original.size() - 8000;
    ASSERT_GT(small.size(), tailBytes);
    EXPECT_TRUE(std::equal(original.end() - static_cast<long>(tailBytes), original.end(),
                           small.end() - static_cast<long>(tailBytes)));
    const std::string listed = run("vorbiscomment -l '" + path + "'");
    EXPECT_EQ(listed, "TITLE=After\nARTIST=Artist\nKEEP=kept\nGENRE=Ambient\n");
    EXPECT_EQ(ogginfoProblems(path), "");

    // A 200 kB cover needs more pages: the audio pages are numbered again.
    Ref<IMetadataTag> big = tagOf({"TITLE=Covered"});
    tallory::metadata::VorbisPicture cover;
    cover.mimeType = "image/jpeg";
    for (int i = 0; i < 200000; ++i) cover.data.push_back(static_cast<uint8_t>(i * 7 + 3));
    tallory::metadata::addPicture(cover, tallory::metadata::asMetadataTag(big.get())->library());
    ASSERT_EQ(file.WriteTag(big.get()), S_OK);
    EXPECT_EQ(audioPackets(path), packets);
    EXPECT_EQ(ogginfoProblems(path), "");
    EXPECT_EQ(run("/usr/bin/python3 -c \"import sys, base64; from mutagen.oggvorbis import OggVorbis; "
                  "from mutagen.flac import Picture; t=OggVorbis(sys.argv[1]).tags; "
                  "p=Picture(base64.b64decode(t['METADATA_BLOCK_PICTURE'][0])); "
                  "print(t['title'][0], p.data == bytes((i*7+3)%256 for i in range(200000)))\" '" + path + "'"),
              "Covered True\n");
    // oggdec decodes what it decoded before.
    EXPECT_EQ(runBytes("oggdec -Q -R -o - '" + path + "'"), decoded);

    // Smaller again: spread over the pages it has, or fewer.
    ASSERT_EQ(file.WriteTag(tagOf({"TITLE=Plain"}).get()), S_OK);
    EXPECT_EQ(audioPackets(path), packets);
    EXPECT_EQ(ogginfoProblems(path), "");
    EXPECT_EQ(run("vorbiscomment -l '" + path + "'"), "TITLE=Plain\n");

    // The same tag again leaves the file alone.
    const Bytes plain = readFile(path);
    ASSERT_EQ(file.WriteTag(tagOf({"TITLE=Plain"}).get()), S_OK);
    EXPECT_EQ(readFile(path), plain);
}

TEST(OggTags, FailuresLeaveTheFileAsItWas) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/song.ogg";
    run("sox -n -r 22050 -c 1 -b 16 '" + dir + "/in.wav' synth 2 sine 440");
    run("oggenc -Q -t Old -o '" + path + "' '" + dir + "/in.wav' && rm '" + dir + "/in.wav'");
    const Bytes original = readFile(path);
    ASSERT_GT(original.size(), 4000u);
    tallory::formats::ogg::OggMetadataFile file(path);
    file.AddRef();
    // A failed rename: nothing new under any name, the old file intact.
    tallory::platform::testing::failNextStep(tallory::platform::FileStepKind::rename, EIO);
    EXPECT_EQ(file.WriteTag(tagOf({"TITLE=New"}).get()), E_FAIL);
    tallory::platform::testing::failNextStep(tallory::platform::FileStepKind::none, 0);
    EXPECT_EQ(readFile(path), original);
    EXPECT_EQ(entries(dir), "song.ogg ");

    // Cut in its headers, bit-flipped in its comment page, or no Vorbis at all:
    // refused on reading and on writing, and not touched.
    struct Damaged {
        const char* name;
        Bytes bytes;
    };
    Bytes flipped = original;
    flipped[90] ^= 0x5A;  // inside the second page: its CRC fails
    std::vector<Damaged> cases = {{"cut.ogg", Bytes(original.begin(), original.begin() + 120)},
                                  {"flipped.ogg", flipped},
                                  {"junk.ogg", Bytes(4000, 0x4F)}};
    run("sox -n -r 48000 -c 1 -b 16 '" + dir + "/x.wav' synth 0.5 sine 440 && opusenc --quiet '" + dir + "/x.wav' '" + dir +
        "/opus.ogg' && rm '" + dir + "/x.wav'");
    cases.push_back({"opus.ogg", readFile(dir + "/opus.ogg")});
    for (const Damaged& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir + "/" + c.name, c.bytes);
        tallory::formats::ogg::OggMetadataFile damaged(dir + "/" + c.name);
        damaged.AddRef();
        Ref<IMetadataTag> tag;
        EXPECT_EQ(damaged.ReadTag(tag.out()), E_FAIL);
        EXPECT_EQ(damaged.WriteTag(tagOf({"TITLE=New"}).get()), E_FAIL);
        EXPECT_EQ(readFile(dir + "/" + c.name), c.bytes);
    }
}
