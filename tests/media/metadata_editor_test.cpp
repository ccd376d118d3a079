// The ASF metadata editor: attributes of every type round trip through our
// own writes and are cross-checked with mutagen in both directions; a flush
// keeps the audio untouched and a failed one leaves the original whole;
// hostile headers fail with a reason.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <sstream>

#include "media_test_support.h"
#include "platform/media/metadata_editor.h"

namespace {

using namespace mediatest;
using namespace tallory::platform::media;

const std::string kTags = std::string(std::getenv("TALLORY_SOURCE_DIR") ? std::getenv("TALLORY_SOURCE_DIR") : ".") +
                          "/tests/media/asf_tags.py";

std::string hex(const std::vector<uint8_t>& v) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

const char* kindOf(AttributeType t) {
    switch (t) {
        case AttributeType::String: return "string";
        case AttributeType::Binary: return "binary";
        case AttributeType::Bool: return "bool";
        case AttributeType::Dword: return "dword";
        case AttributeType::Qword: return "qword";
        case AttributeType::Word: return "word";
        case AttributeType::Guid: return "guid";
    }
    return "?";
}

// An attribute in the line form of asf_tags.py.
std::string line(const Attribute& a) {
    std::string value;
    switch (a.type) {
        case AttributeType::String: value = utf16To8(stringOf(a.value)); break;
        case AttributeType::Binary:
        case AttributeType::Guid: value = hex(a.value); break;
        default: value = std::to_string(numberOf(a.value)); break;
    }
    return utf16To8(a.name) + "\t" + kindOf(a.type) + "\t" + std::to_string(a.stream) + "\t" +
           std::to_string(a.language) + "\t" + value;
}

// Every attribute our editor reads, streams 0 to 2, without the computed ones.
std::vector<std::string> ourLines(const std::string& path) {
    MetadataEditor e;
    EXPECT_TRUE(e.Open(path)) << path;
    std::vector<std::string> lines;
    for (uint16_t stream = 0; stream < 3; ++stream) {
        for (uint16_t i = 0; i < e.GetAttributeCount(stream); ++i) {
            const Attribute* a = e.GetAttributeByIndex(stream, i);
            if (stream == 0 && (a->name == u"Duration" || a->name == u"FileSize")) continue;
            lines.push_back(line(*a));
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> mutagenLines(const std::string& path) {
    bool ok = false;
    std::string out = run("/usr/bin/python3 '" + kTags + "' dump '" + path + "'", &ok);
    EXPECT_TRUE(ok) << "mutagen could not read " << path;
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A short WMA file without any attribute.
std::string makeWma(const std::string& dir, const std::string& name = "clip.wma") {
    std::string wav = makeTone(dir, "tone.wav", 2.0, 44100, 2);
    std::string wma = dir + "/" + name;
    bool ok = false;
    run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -map_metadata -1 -fflags +bitexact -c:a wmav2 -b:a 64k '" +
            wma + "'",
        &ok);
    EXPECT_TRUE(ok);
    return wma;
}

std::string audioDigest(const std::string& path) {
    return run("ffmpeg -nostdin -loglevel error -i '" + path + "' -map 0:a -c copy -f md5 -");
}

std::vector<uint8_t> bigPicture() {
    std::vector<uint8_t> v(100000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return v;
}

TEST(MetadataEditor, EveryTypeRoundTripsAndMutagenReadsWhatWeWrote) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    std::string before = audioDigest(wma);
    ASSERT_FALSE(before.empty());
    {
        MetadataEditor e;
        ASSERT_TRUE(e.Open(wma));
        const GUID g = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
        std::vector<uint8_t> guid(reinterpret_cast<const uint8_t*>(&g), reinterpret_cast<const uint8_t*>(&g) + 16);
        ASSERT_TRUE(e.SetAttribute(0, u"Title", AttributeType::String, stringValue(u"Ünïcode tïtle ♫")));
        ASSERT_TRUE(e.SetAttribute(0, u"Author", AttributeType::String, stringValue(u"Artist")));
        ASSERT_TRUE(e.SetAttribute(0, u"Description", AttributeType::String, stringValue(u"A comment")));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/AlbumTitle", AttributeType::String, stringValue(u"Album")));
        ASSERT_TRUE(e.SetAttribute(0, u"ID3/TXXX", AttributeType::Binary, {0, 'a', 0, 'b'}));
        ASSERT_TRUE(e.SetAttribute(0, u"ID3/APIC", AttributeType::Binary, bigPicture()));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/IsVBR", AttributeType::Bool, numberValue(1, 4)));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/Track", AttributeType::Dword, numberValue(0xFEDCBA98, 4)));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/Qword", AttributeType::Qword, numberValue(0x0123456789ABCDEFull, 8)));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/Word", AttributeType::Word, numberValue(0xBEEF, 2)));
        ASSERT_TRUE(e.SetAttribute(0, u"WM/MediaClassPrimaryID", AttributeType::Guid, guid));
        ASSERT_TRUE(e.SetAttribute(1, u"WM/StreamName", AttributeType::String, stringValue(u"Main")));
        ASSERT_TRUE(e.SetAttribute(1, u"WM/StreamFlag", AttributeType::Bool, numberValue(0, 4)));
        ASSERT_TRUE(e.Flush());
        EXPECT_FALSE(e.isOpen());
    }
    std::vector<std::string> ours = ourLines(wma);
    EXPECT_EQ(ours.size(), 13u);
    EXPECT_EQ(ours, mutagenLines(wma));
    EXPECT_NE(std::find(ours.begin(), ours.end(), "WM/Track\tdword\t0\t0\t4275878552"), ours.end());
    EXPECT_NE(std::find(ours.begin(), ours.end(), "ID3/APIC\tbinary\t0\t0\t" + hex(bigPicture())), ours.end());

    // The audio is untouched and the File Properties size follows the new header.
    EXPECT_EQ(audioDigest(wma), before);
    MetadataEditor e;
    ASSERT_TRUE(e.Open(wma));
    const Attribute* size = e.GetAttributeByName(0, u"FileSize");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(numberOf(size->value), readBytes(wma).size());
    const Attribute* duration = e.GetAttributeByName(0, u"Duration");
    ASSERT_NE(duration, nullptr);
    EXPECT_EQ(duration->type, AttributeType::Qword);
    EXPECT_NEAR(numberOf(duration->value) / 1e7, std::stod(probe(wma, "format=duration")), 0.05);
    EXPECT_EQ(run("ffprobe -v error -show_entries format_tags=title -of default=nw=1:nk=1 '" + wma + "'"),
              "Ünïcode tïtle ♫\n");
}

TEST(MetadataEditor, WeReadWhatMutagenWrote) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    std::vector<std::string> written = {
        "Title\tstring\t0\t0\tSong",
        "Copyright\tstring\t0\t0\t(c) 2026",
        "WM/Genre\tstring\t0\t0\tJazz",
        "WM/Genre\tstring\t0\t0\tBlues",
        "WM/Picture\tbinary\t0\t0\t" + hex(bigPicture()),
        "WM/Rated\tbool\t0\t0\t1",
        "WM/TrackNumber\tdword\t0\t0\t12",
        "WM/Size\tqword\t0\t0\t18446744073709551615",
        "WM/Short\tword\t0\t0\t65535",
        "WM/Id\tguid\t0\t0\t00112233445566778899aabbccddeeff",
        "WM/Lang\tstring\t0\t1\tlocalised",
        "WM/StreamTitle\tstring\t2\t0\tsecond",
    };
    std::string input = dir + "/attributes.txt";
    {
        std::ofstream f(input);
        for (const std::string& l : written) f << l << "\n";
    }
    std::string cmd = "/usr/bin/python3 '" + kTags + "' write '" + wma + "' < '" + input + "'";
    bool ok = false;
    run(cmd, &ok);
    ASSERT_TRUE(ok) << cmd;
    std::vector<std::string> expected = written;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ourLines(wma), expected);

    // A change of ours keeps what we did not touch, in mutagen's reading as well.
    MetadataEditor e;
    ASSERT_TRUE(e.Open(wma));
    ASSERT_TRUE(e.SetAttribute(0, u"Title", AttributeType::String, stringValue(u"Other song")));
    ASSERT_TRUE(e.Flush());
    std::replace(expected.begin(), expected.end(), std::string("Title\tstring\t0\t0\tSong"),
                 std::string("Title\tstring\t0\t0\tOther song"));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(mutagenLines(wma), expected);
}

TEST(MetadataEditor, SetReplacesDeleteRemovesAndFileValuesAreReadOnly) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    MetadataEditor e;
    ASSERT_TRUE(e.Open(wma));
    ASSERT_EQ(e.GetAttributeCount(0), 2);  // Duration and FileSize
    EXPECT_EQ(e.GetAttributeByIndex(0, 0)->name, u"Duration");
    EXPECT_EQ(e.GetAttributeByIndex(0, 1)->name, u"FileSize");
    EXPECT_FALSE(e.SetAttribute(0, u"Duration", AttributeType::Qword, numberValue(5, 8)));
    EXPECT_FALSE(e.DeleteAttribute(0, 1));
    EXPECT_FALSE(e.SetAttribute(0, u"WM/Track", AttributeType::Dword, numberValue(1, 2))) << "a DWORD has 4 bytes";
    EXPECT_FALSE(e.SetAttribute(0, u"WM/Text", AttributeType::String, {'a', 0, 'b'})) << "strings end in NUL";
    EXPECT_FALSE(e.SetAttribute(200, u"WM/Text", AttributeType::String, stringValue(u"x")));
    ASSERT_TRUE(e.SetAttribute(0, u"WM/Year", AttributeType::String, stringValue(u"1999")));
    ASSERT_TRUE(e.SetAttribute(0, u"WM/Mood", AttributeType::String, stringValue(u"calm")));
    ASSERT_TRUE(e.SetAttribute(0, u"WM/Year", AttributeType::Dword, numberValue(2001, 4)));
    ASSERT_EQ(e.GetAttributeCount(0), 4);
    EXPECT_EQ(numberOf(e.GetAttributeByName(0, u"WM/Year")->value), 2001u);
    ASSERT_TRUE(e.DeleteAttribute(0, 3));  // WM/Mood
    EXPECT_FALSE(e.DeleteAttribute(0, 3));
    ASSERT_TRUE(e.Flush());
    EXPECT_EQ(mutagenLines(wma), std::vector<std::string>{"WM/Year\tdword\t0\t0\t2001"});
    EXPECT_FALSE(e.Flush()) << "a flushed editor is closed";
}

TEST(MetadataEditor, AFailedFlushLeavesTheOriginalWhole) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    std::vector<uint8_t> original = readBytes(wma);
    MetadataEditor e;
    ASSERT_TRUE(e.Open(wma));
    ASSERT_TRUE(e.SetAttribute(0, u"WM/AlbumTitle", AttributeType::String, stringValue(u"Album")));

    // A file size limit below the new file's size makes the copy fail midway, like a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = original.size() / 2;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    MediaStatus s = e.Flush();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(s);
    EXPECT_NE(s.message().find("cannot write"), std::string::npos) << s.message();
    EXPECT_EQ(readBytes(wma), original);
    EXPECT_EQ(run("ls -A '" + dir + "' | grep -c '^\\.'"), "0\n") << "the temporary file is removed";

    // The editor keeps its changes, so a later flush succeeds.
    ASSERT_TRUE(e.Flush());
    EXPECT_EQ(mutagenLines(wma), std::vector<std::string>{"WM/AlbumTitle\tstring\t0\t0\tAlbum"});

    // A file that changed under the editor is not overwritten.
    ASSERT_TRUE(e.Open(wma));
    std::vector<uint8_t> other(3000, 0x11);
    writeBytes(wma, other);
    EXPECT_FALSE(e.Flush());
    EXPECT_EQ(readBytes(wma), other);
}

TEST(MetadataEditor, AFlushThroughASymbolicLinkRewritesTheFileItNames) {
    std::string dir = scratch();
    std::string wma = makeWma(dir);
    std::string link = dir + "/link.wma";
    ASSERT_EQ(symlink("clip.wma", link.c_str()), 0);
    MetadataEditor e;
    ASSERT_TRUE(e.Open(link));
    ASSERT_TRUE(e.SetAttribute(0, u"WM/Composer", AttributeType::String, stringValue(u"Someone")));
    ASSERT_TRUE(e.Flush());
    char target[64] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << "the link is still a link";
    EXPECT_STREQ(target, "clip.wma");
    EXPECT_EQ(mutagenLines(wma), std::vector<std::string>{"WM/Composer\tstring\t0\t0\tSomeone"});
}

TEST(MetadataEditor, HostileHeadersFailWithAReason) {
    std::string data = std::string(std::getenv("TALLORY_SOURCE_DIR")) + "/tests/data/asf_header";
    DIR* d = opendir(data.c_str());
    ASSERT_NE(d, nullptr);
    int hostile = 0, valid = 0;
    while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (!name.ends_with(".asf")) continue;
        MetadataEditor e;
        MediaStatus s = e.Open(data + "/" + name);
        if (name.starts_with("valid_")) {
            ++valid;
            EXPECT_TRUE(s) << name << ": " << s.message();
        } else {
            ++hostile;
            EXPECT_FALSE(s) << name;
            EXPECT_FALSE(s.message().empty()) << name;
            EXPECT_FALSE(e.isOpen());
        }
    }
    closedir(d);
    EXPECT_GE(hostile, 15);
    EXPECT_EQ(valid, 2);

    // The tagged seed as we read it is what mutagen reads.
    std::string seed = data + "/valid_tagged_header.asf";
    EXPECT_EQ(ourLines(seed), mutagenLines(seed));
}

TEST(AsfHeader, RenderingAParsedHeaderGivesTheSameAttributes) {
    std::string seed = std::string(std::getenv("TALLORY_SOURCE_DIR")) + "/tests/data/asf_header/valid_tagged_header.asf";
    std::vector<uint8_t> bytes = readBytes(seed);
    AsfHeader h, again;
    ASSERT_TRUE(parseAsfHeader(bytes, &h));
    std::vector<uint8_t> rendered;
    ASSERT_TRUE(renderAsfHeader(h, 1000, &rendered));
    ASSERT_TRUE(parseAsfHeader(rendered, &again));
    ASSERT_EQ(again.attributes.size(), h.attributes.size());
    for (size_t i = 0; i < h.attributes.size(); ++i) EXPECT_EQ(line(again.attributes[i]), line(h.attributes[i]));
    EXPECT_EQ(again.fileProperties.fileSize, rendered.size() + 1000);
    EXPECT_EQ(again.fileProperties.playDuration, h.fileProperties.playDuration);
}

}  // namespace
