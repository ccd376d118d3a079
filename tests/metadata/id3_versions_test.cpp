// ID3v2.2, 2.3 and 2.4 tags crafted byte by byte (or by mutagen), read, changed
// in one frame, written and read again by mutagen: every other frame must come
// back as mutagen saw it before, and the audio after the tag byte-identical.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/settings_store.h"
#include "metadata/tag_guard.h"
#include "tag_test_support.h"
#include "tallory/settings.h"

namespace {

using namespace tagtest;

// Python helpers for crafting tags: ss() sync-safe sizes, f22/f23/f24 frames, tag() a whole tag.
const char* const kCraft = R"(
import struct, zlib
def ss(n): return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
def f22(i, d): return i.encode() + struct.pack('>I', len(d))[1:] + d
def f23(i, d, flags=0): return i.encode() + struct.pack('>IH', len(d), flags) + d
def f24(i, d, flags=0): return i.encode() + ss(len(d)) + struct.pack('>H', flags) + d
def tag(major, frames, flags=0, padding=64): return b'ID3' + bytes([major, 0, flags]) + ss(len(frames) + padding) + frames + bytes(padding)
def unsync(d): return d.replace(b'\xff', b'\xff\x00')
def utf16(s): return b'\xff\xfe' + s.encode('utf-16-le')
def save(b): open(p, 'wb').write(b)
)";

// Every frame as mutagen reads it (ID3v2.2 and 2.3 translated to its 2.4 model),
// one line per frame, its encoding left out: values are compared, not encodings.
const char* const kDumpAll = R"(
t = id3.ID3(p)
print("version", ".".join(map(str, t.version)))
for key in sorted(t.keys()):
    f = t[key]
    parts = []
    for a in sorted(f._framespec + f._optionalspec, key=lambda s: s.name):
        if a.name == "encoding": continue
        v = getattr(f, a.name, None)
        if isinstance(v, bytes): v = v.hex()
        parts.append("%s=%r" % (a.name, v))
    print(key, " ".join(parts))
)";

std::map<std::string, std::string> framesOf(const std::string& dump) {
    std::map<std::string, std::string> frames;
    size_t start = 0;
    while (start < dump.size()) {
        size_t end = dump.find('\n', start);
        if (end == std::string::npos) end = dump.size();
        const std::string line = dump.substr(start, end - start);
        const size_t space = line.find(' ');
        if (space != std::string::npos) frames[line.substr(0, space)] = line.substr(space + 1);
        start = end + 1;
    }
    return frames;
}

class Id3Versions : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratchDir();
        audio_ = readBytes(makeTone(dir_));
        ASSERT_GT(audio_.size(), 1000u);
        tallory::core::settings::openStore();
        ASSERT_TRUE(PutProfileInt("Settings", "MP3_Store_ID3v1", 0));
    }
    void TearDown() override { run("rm -rf '" + dir_ + "'"); }

    // A file of the tag the Python program saves, followed by the tone's audio.
    std::string craft(const std::string& name, const std::string& program) {
        const std::string path = dir_ + "/" + name;
        int status = 0;
        const std::string out = mutagen(std::string(kCraft) + program, path, &status);
        EXPECT_EQ(status, 0) << out;
        std::vector<uint8_t> bytes = readBytes(path);
        tagBytes_ = bytes.size();
        bytes.insert(bytes.end(), audio_.begin(), audio_.end());
        writeBytes(path, bytes);
        return path;
    }
    IMetadataTag* read(const std::string& path) {
        IMetadataFile* file = nullptr;
        EXPECT_EQ(MetadataCreateFromFile(path.c_str(), &file), S_OK);
        IMetadataTag* tag = nullptr;
        EXPECT_EQ(file->ReadTag(&tag), S_OK);
        file->Release();
        return tag;
    }
    HRESULT write(const std::string& path, IMetadataTag* tag) {
        IMetadataFile* file = nullptr;
        EXPECT_EQ(MetadataCreateFromFile(path.c_str(), &file), S_OK);
        const HRESULT hr = file->WriteTag(tag);
        file->Release();
        return hr;
    }
    std::string text(IMetadataTag* tag, int id) {
        void* out = nullptr;
        if (tag->GetFrame(id, IID_ITextFrame, &out) != S_OK) return "(none)";
        auto* frame = static_cast<ITextFrame*>(out);
        const std::string value = get(frame, &ITextFrame::GetText);
        frame->Release();
        return value;
    }
    std::string shown(IMetadataTag* tag, int id) {
        void* out = nullptr;
        if (tag->GetFrame(id, IID_IMetadataFrame, &out) != S_OK) return "(none)";
        auto* frame = static_cast<IMetadataFrame*>(out);
        const std::string value = display(frame);
        frame->Release();
        return value;
    }
    // Reads the file, sets one text frame, writes it; mutagen then sees every
    // other frame as before and the new one; the audio follows the tag unchanged.
    std::map<std::string, std::string> setOneFrame(const std::string& path, int id, const std::string& key,
                                                   const std::string& value, const std::string& version) {
        const auto before = framesOf(mutagen(kDumpAll, path));
        IMetadataTag* tag = read(path);
        tag->RemoveFrames(id);
        addText(tag, id, value);
        EXPECT_EQ(write(path, tag), S_OK);
        tag->Release();
        auto after = framesOf(mutagen(kDumpAll, path));
        EXPECT_EQ(after["version"], version);
        for (const auto& [k, v] : before) {
            if (k == key || k == "version") continue;
            EXPECT_EQ(after[k], v) << k;
        }
        for (const auto& [k, v] : after) EXPECT_TRUE(before.count(k) || k == key) << "new frame " << k << " " << v;
        EXPECT_NE(after[key].find(value), std::string::npos) << after[key];
        const auto bytes = readBytes(path);
        EXPECT_TRUE(bytes.size() >= audio_.size() && std::equal(audio_.begin(), audio_.end(), bytes.end() - audio_.size()));
        return after;
    }

    std::string dir_;
    std::vector<uint8_t> audio_;
    size_t tagBytes_ = 0;
};

TEST_F(Id3Versions, V22IsReadWholeAndWrittenAsV23) {
    const std::string path = craft("v22.mp3", R"(
png = b'\x89PNG\r\n\x1a\n' + bytes(range(256)) * 9 + b'x' * 3
save(tag(2, f22('TT2', b'\x00Title two') + f22('TAL', b'\x01' + utf16('Albüm ♫')) + f22('TRK', b'\x003/10')
         + f22('TYE', b'\x002001') + f22('COM', b'\x00eng\x00A comment') + f22('TXX', b'\x00KEY\x00value')
         + f22('PIC', b'\x00PNG\x03\x00' + png) + f22('TCP', b'\x001') + f22('WAR', b'http://a.example/')))
)");
    IMetadataTag* tag = read(path);
    ASSERT_EQ(tag->GetFrameCount(), 9);
    EXPECT_EQ(text(tag, METADATA_FRAME_TIT2), "Title two");
    EXPECT_EQ(text(tag, METADATA_FRAME_TALB), "Albüm ♫");
    EXPECT_EQ(text(tag, METADATA_FRAME_TRCK), "3/10");
    EXPECT_EQ(text(tag, METADATA_FRAME_TYER), "2001");
    EXPECT_EQ(shown(tag, METADATA_FRAME_COMM), "A comment");
    EXPECT_EQ(shown(tag, METADATA_FRAME_TXXX), "value (KEY)");
    EXPECT_EQ(shown(tag, METADATA_FRAME_WOAR), "http://a.example/");
    // The three-letter image format reads as a MIME type, as a v2.3 picture does.
    EXPECT_EQ(shown(tag, METADATA_FRAME_APIC), "image/png (no desc., 2315 bytes)");
    tag->Release();

    // A conversion to MP3 copies the whole tag too.
    const char* bin = std::getenv("TALLORY_TEST_BIN");
    ASSERT_NE(bin, nullptr);
    const std::string converted = dir_ + "/converted.mp3";
    int status = 0;
    const std::string out =
        run("'" + std::string(bin) + "/tallory' convert '" + path + "' --to mp3 -o '" + converted + "' 2>&1", &status);
    ASSERT_EQ(status, 0) << out;
    const auto copied = framesOf(mutagen(kDumpAll, converted));
    const auto source = framesOf(mutagen(kDumpAll, path));
    for (const auto& [k, v] : source) {
        if (k == "version" || k == "TSSE") continue;
        EXPECT_EQ(copied.count(k) ? copied.at(k) : "(missing)", v) << k;
    }

    const auto after = setOneFrame(path, METADATA_FRAME_TPE1, "TPE1", "Artist", "2.3.0");
    EXPECT_NE(after.at("APIC:").find("mime='image/png'"), std::string::npos) << after.at("APIC:");
    EXPECT_NE(after.at("TALB").find("Albüm ♫"), std::string::npos);
    EXPECT_EQ(after.count("TCMP"), 1u);  // iTunes' compilation frame, renamed as iTunes does
}

TEST_F(Id3Versions, V24FrameFlagsValuesAndFramesAreKept) {
    // mutagen's ID3v2.4 (UTF-8 texts, several values, SYLT, RVA2), plus frames
    // with the flags mutagen never writes: unsynchronisation with a data length
    // indicator (0x0003), compression with one (0x0009).
    const std::string path = craft("v24.mp3", R"(
t = id3.ID3()
t.add(id3.TPE1(encoding=3, text=["Alpha", "Beta"]))
t.add(id3.TCON(encoding=3, text=["13", "Rock"]))
t.add(id3.SYLT(encoding=3, lang="eng", format=2, type=1, desc="lyr", text=[("Héllo", 0), ("Wörld", 1500)]))
t.add(id3.TDRC(encoding=3, text=["2001-05-03T10:20"]))
t.add(id3.TXXX(encoding=3, desc="iTunSMPB", text=["0 1 2"]))
t.add(id3.TSOP(encoding=3, text=["Sorted"]))
t.add(id3.RVA2(desc="track", channel=1, gain=-3.5, peak=0.9))
import io
t.save(p, v2_version=4, padding=lambda info: 0)
raw = open(p, 'rb').read()
title = b'\x00caf\xe9 \xff\xe0 \xff'
picture = b'\x00image/png\x00\x03\x00' + bytes([0xff, 0xe0, 0xff, 0x00, 0xff, 0xff, 1, 2])
subtitle = b'\x03Zusammengefa\xc3\x9ft ' * 20
extra = (f24('TIT2', ss(len(title)) + unsync(title), 0x0003) + f24('APIC', ss(len(picture)) + unsync(picture), 0x0003)
         + f24('TIT3', ss(len(subtitle)) + zlib.compress(subtitle), 0x0009))
save(tag(4, extra + raw[10:]))
)");
    IMetadataTag* tag = read(path);
    EXPECT_EQ(text(tag, METADATA_FRAME_TIT2), "café \xC3\xBF\xC3\xA0 \xC3\xBF");
    EXPECT_EQ(shown(tag, METADATA_FRAME_APIC), "image/png (no desc., 8 bytes)");
    EXPECT_EQ(text(tag, METADATA_FRAME_TIT3).substr(0, 15), "Zusammengefaßt");
    // Several values are shown, each as its kind shows one; v2.4's bare genre numbers map.
    EXPECT_EQ(shown(tag, METADATA_FRAME_TPE1), "Alpha, Beta");
    EXPECT_EQ(shown(tag, METADATA_FRAME_TCON), "Pop, Rock");
    EXPECT_EQ(tag->GetFrameCount(), 10);
    tag->Release();

    // Written back as ID3v2.4: the values, the UTF-8 lyrics, TDRC and RVA2 as they were.
    const auto after = setOneFrame(path, METADATA_FRAME_TALB, "TALB", "Album", "2.4.0");
    EXPECT_NE(after.at("TPE1").find("'Alpha', 'Beta'"), std::string::npos) << after.at("TPE1");
    EXPECT_NE(after.at("SYLT:lyr:eng").find("Wörld"), std::string::npos) << after.at("SYLT:lyr:eng");
    EXPECT_NE(after.at("APIC:").find("ffe0ff00ffff0102"), std::string::npos) << after.at("APIC:");

    // A year set the ID3v2.3 way goes into TDRC, which is what ID3v2.4 readers show.
    IMetadataTag* again = read(path);
    addText(again, METADATA_FRAME_TYER, "1999");
    ASSERT_EQ(write(path, again), S_OK);
    again->Release();
    const auto year = framesOf(mutagen(kDumpAll, path));
    EXPECT_NE(year.at("TDRC").find("'1999'"), std::string::npos) << year.at("TDRC");
    EXPECT_EQ(year.count("TYER"), 0u);
}

TEST_F(Id3Versions, V24TagLevelUnsynchronisationCoversEveryFrame) {
    // The tag's flag (0x80) unsynchronises every frame, the encrypted one kept raw included.
    const std::string path = craft("tagunsync.mp3", R"(
title = b'\x00a\xff\xe0b'
secret = b'\x80\xff\xe0\x01'
save(tag(4, f24('TIT2', unsync(title)) + f24('TPE1', unsync(secret), 0x0004) + f24('TALB', b'\x00Album'), flags=0x80))
)");
    IMetadataTag* tag = read(path);
    EXPECT_EQ(text(tag, METADATA_FRAME_TIT2), "a\xC3\xBF\xC3\xA0" "b");
    EXPECT_EQ(tag->GetFrameCount(), 3);
    addText(tag, METADATA_FRAME_TCOM, "Composer");
    ASSERT_EQ(write(path, tag), S_OK);
    tag->Release();
    const auto bytes = readBytes(path);
    ASSERT_GT(bytes.size(), 10u);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(bytes[5] & 0x80, 0);  // the new tag is not unsynchronised as a whole ...
    const std::vector<uint8_t> id = {'T', 'P', 'E', '1'};
    const auto at = std::search(bytes.begin(), bytes.begin() + 1024, id.begin(), id.end());
    ASSERT_NE(at, bytes.begin() + 1024);
    EXPECT_EQ(at[9], 0x06);  // ... so the raw frame carries its own flag beside its encryption
    const auto after = framesOf(mutagen(kDumpAll, path));
    EXPECT_NE(after.at("TIT2").find("aÿàb"), std::string::npos) << after.at("TIT2");
    EXPECT_NE(after.at("TALB").find("Album"), std::string::npos);
}

TEST_F(Id3Versions, Utf16WithoutByteOrderMarkIsGuessedFromItsBytes) {
    // ffmpeg's little-endian text without a mark, and a big-endian one.
    const std::string path = craft("nobom.mp3", R"(
save(tag(3, f23('TIT2', b'\x01' + 'Tïtle'.encode('utf-16-le')) + f23('TPE1', b'\x01' + 'Be'.encode('utf-16-be'))
         + f23('TALB', b'\x01' + 'Ωμέγα'.encode('utf-16-le') + b'\x00\x00')))
)");
    IMetadataTag* tag = read(path);
    EXPECT_EQ(text(tag, METADATA_FRAME_TIT2), "Tïtle");
    EXPECT_EQ(text(tag, METADATA_FRAME_TPE1), "Be");
    EXPECT_EQ(text(tag, METADATA_FRAME_TALB), "Ωμέγα");
    addText(tag, METADATA_FRAME_TCOM, "Composer");
    ASSERT_EQ(write(path, tag), S_OK);
    tag->Release();
    const auto after = framesOf(mutagen(kDumpAll, path));
    EXPECT_NE(after.at("TIT2").find("'Tïtle'"), std::string::npos) << after.at("TIT2");
    EXPECT_NE(after.at("TPE1").find("'Be'"), std::string::npos) << after.at("TPE1");
    EXPECT_NE(after.at("TALB").find("'Ωμέγα'"), std::string::npos) << after.at("TALB");
}

TEST_F(Id3Versions, V24OnlyFramesAreConvertedForV23OrKeepTheTagAtV24) {
    // A v2.3 tag holding frames of v2.4, as careless taggers write them.
    const std::string path = craft("mixed.mp3", R"(
save(tag(3, f23('TIT2', b'\x00Title') + f23('TDRC', b'\x002001-05-03T10:20') + f23('TSOP', b'\x00Sorted')
         + f23('TPE1', b'\x00A/B')))
)");
    IMetadataTag* tag = read(path);
    addText(tag, METADATA_FRAME_TALB, "Album");
    ASSERT_EQ(write(path, tag), S_OK);
    tag->Release();
    const std::string raw = mutagen(R"(
t = id3.ID3(p, translate=False)
print("version", ".".join(map(str, t.version)))
for k in sorted(t.keys()): print(k, t[k].text if hasattr(t[k], "text") else "")
)", path);
    EXPECT_NE(raw.find("version 2.3.0\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("TYER ['2001']\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("TDAT ['0305']\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("TIME ['1020']\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("TXXX:TSOP ['Sorted']\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("TDRC"), std::string::npos) << raw;
    EXPECT_EQ(raw.find("\nTSOP "), std::string::npos) << raw;

    // A v2.4 frame without a v2.3 form (RVA2) keeps the whole tag at v2.4.
    const std::string gain = craft("gain.mp3", R"(
save(tag(3, f23('RVA2', b'album\x00\x01' + struct.pack('>h', 1280) + b'\x08\x80') + f23('TIT2', b'\x00T')))
)");
    const auto after = setOneFrame(gain, METADATA_FRAME_TALB, "TALB", "Album", "2.4.0");
    EXPECT_EQ(after.count("RVA2:album"), 1u);
}

TEST_F(Id3Versions, DamagedFramesAreNeverLost) {
    // A frame whose content cannot be read is kept raw and written back unchanged.
    const std::string kept = craft("raw.mp3", R"(
save(tag(3, f23('TIT2', b'\x00Title') + f23('TPE2', struct.pack('>I', 100) + b'not zlib at all', 0x0080)
         + f23('TPE1', b'\x07bad encoding') + f23('APIC', b'\x00image/png')))
)");
    const std::vector<uint8_t> original = readBytes(kept);
    const auto check = tallory::metadata::checkTagBytes(original);
    ASSERT_TRUE(check.trusted) << check.reason;
    EXPECT_TRUE(check.damage.empty()) << check.damage;
    EXPECT_EQ(check.rawFrames.size(), 3u);
    IMetadataTag* tag = read(kept);
    EXPECT_EQ(tag->GetFrameCount(), 4);
    EXPECT_EQ(text(tag, METADATA_FRAME_TIT2), "Title");
    addText(tag, METADATA_FRAME_TALB, "Album");
    ASSERT_EQ(write(kept, tag), S_OK);
    tag->Release();
    const std::vector<uint8_t> written = readBytes(kept);
    for (const auto& raw : check.rawFrames) {
        EXPECT_NE(std::search(written.begin(), written.begin() + 2048, raw.bytes.begin(), raw.bytes.end()),
                  written.begin() + 2048)
            << raw.id << " was not written back as it was";
    }
    IMetadataTag* back = read(kept);
    EXPECT_EQ(back->GetFrameCount(), 5);
    EXPECT_EQ(text(back, METADATA_FRAME_TALB), "Album");
    back->Release();

    // A frame that runs past the tag's end: the frames before it are read, and a
    // write, which would lose what follows, is refused with the file untouched.
    struct Case {
        const char* name;
        const char* program;
    };
    const Case cases[] = {
        {"beyond.mp3", "save(tag(3, f23('TIT2', b'\\x00Title') + b'TALB\\x7f\\x00\\x00\\x00\\x00\\x00\\x00ab'))"},
        {"badid.mp3", "save(tag(4, f24('TIT2', b'\\x00Title') + b'T\\x01B\\x02' + bytes(20)))"},
        {"v22unknown.mp3", "save(tag(2, f22('TT2', b'\\x00Title') + f22('XYZ', b'\\x00data')))"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = craft(c.name, c.program);
        const std::vector<uint8_t> before = readBytes(path);
        const auto damaged = tallory::metadata::checkTagBytes(before);
        EXPECT_TRUE(damaged.trusted);
        EXPECT_FALSE(damaged.damage.empty());
        IMetadataTag* partial = read(path);
        EXPECT_EQ(text(partial, METADATA_FRAME_TIT2), "Title");
        addText(partial, METADATA_FRAME_TALB, "Album");
        EXPECT_EQ(write(path, partial), E_FAIL);
        partial->Release();
        EXPECT_EQ(readBytes(path), before);
    }
    // Removing every frame is the user's choice: the damaged tag goes, the audio stays.
    IMetadataTag* empty = nullptr;
    ASSERT_EQ(MetadataCreateTag(&empty), S_OK);
    const std::string beyond = dir_ + "/beyond.mp3";
    EXPECT_EQ(write(beyond, empty), S_OK);
    empty->Release();
    EXPECT_EQ(readBytes(beyond), audio_);
}

// `tags set` of one frame over every tagged MP3 of the test data: every other
// frame mutagen sees is unchanged, or the write is refused and the file untouched.
TEST_F(Id3Versions, EveryTaggedTestFileKeepsItsFramesThroughTagsSet) {
    const char* source = std::getenv("TALLORY_SOURCE_DIR");
    const char* bin = std::getenv("TALLORY_TEST_BIN");
    ASSERT_NE(source, nullptr);
    ASSERT_NE(bin, nullptr);
    const std::string list = run("ls '" + std::string(source) + "/tests/data/id3/'*.mp3");
    int tried = 0;
    size_t start = 0;
    while (start < list.size()) {
        const size_t end = list.find('\n', start);
        const std::string file = list.substr(start, end - start);
        start = end == std::string::npos ? list.size() : end + 1;
        if (file.empty()) continue;
        SCOPED_TRACE(file);
        const std::string path = dir_ + "/copy.mp3";
        writeBytes(path, readBytes(file));
        int status = 0;
        const auto before = framesOf(mutagen(kDumpAll, path, &status));
        if (status != 0 || before.size() <= 1) continue;  // no ID3v2 tag mutagen reads
        ++tried;
        const std::vector<uint8_t> original = readBytes(path);
        const std::string out = run("'" + std::string(bin) + "/tallory' tags set '" + path + "' TPE4=Remixer 2>&1", &status);
        if (status != 0) {
            EXPECT_NE(out.find("not rewritten"), std::string::npos) << out;
            EXPECT_EQ(readBytes(path), original);
            continue;
        }
        auto after = framesOf(mutagen(kDumpAll, path));
        for (const auto& [k, v] : before) {
            if (k == "TPE4" || k == "version") continue;
            EXPECT_EQ(after[k], v) << k;
        }
        EXPECT_NE(after["TPE4"].find("Remixer"), std::string::npos);
    }
    EXPECT_GE(tried, 5);
}

}  // namespace
