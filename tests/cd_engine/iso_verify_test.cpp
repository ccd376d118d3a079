// The image reader and verifier: MD5 against md5sum, listings against isoinfo
// on images of genisoimage and xorriso, every fault that a verify must catch,
// and hostile images that must be refused without a crash.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cd/engine/iso_image.h"
#include "cd/engine/iso_md5.h"
#include "cd/engine/iso_tree.h"
#include "cd/engine/iso_verify.h"
#include "cd/recording/iso_file_sink.h"
#include "external_tools.h"
#include "recording_progress.h"
#include "tallory/iso_image.h"

using namespace tallory::cd::engine;
using tallory::cd::recording::IsoFileReader;
namespace fs = std::filesystem;

namespace {

class MemorySink : public IsoSectorSink {
public:
    void writeSectors(const uint8_t* data, uint32_t count) override {
        bytes.insert(bytes.end(), data, data + static_cast<size_t>(count) * kIsoSectorSize);
    }
    std::vector<uint8_t> bytes;
};

IsoBlockReader memoryReader(const std::vector<uint8_t>& image, std::set<uint32_t> bad = {}) {
    return [&image, bad](uint32_t lba, uint32_t count, uint8_t* out) {
        if (static_cast<uint64_t>(lba + count) * kIsoSectorSize > image.size()) return false;
        for (uint32_t i = 0; i < count; ++i) {
            if (bad.count(lba + i) != 0) return false;
        }
        std::memcpy(out, image.data() + static_cast<size_t>(lba) * kIsoSectorSize, static_cast<size_t>(count) * kIsoSectorSize);
        return true;
    };
}

void putBoth32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = p[7 - i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

class IsoVerifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_isov_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        src_ = dir_ + "/src";
        fs::create_directories(src_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& relative, size_t bytes, unsigned seed = 1) {
        std::string p = src_ + "/" + relative;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream out(p, std::ios::binary);
        std::mt19937 rng(seed);
        for (size_t i = 0; i < bytes; ++i) out.put(static_cast<char>(rng()));
        return p;
    }

    // A small tree of awkward names: long, clashing, non-ASCII, deep, empty files.
    void sampleFiles(bool deep = true) {
        file("readme", 6, 1);
        file("empty.txt", 0, 2);
        file("just over one sector.bin", 2049, 3);
        file("Caf\xC3\xA9 \xE2\x99\xAB.flac", 70001, 4);
        file("music/album one/01 first song.flac", 300000, 5);
        file("music/album one/01 First Song.flac", 1234, 6);
        if (deep) file("deep/a/b/c/d/e/f/g/h/i/bottom.txt", 10, 7);
    }

    std::vector<uint8_t> image(IsoTree& tree, bool joliet) {
        tree.addContents(tree.root(), src_, IsoTreeOptions{});
        IsoImageOptions o;
        o.volumeLabel = "VERIFY";
        o.joliet = joliet;
        o.runOut = false;
        o.minimumSectors = 0;
        o.capacity = kImageFileCapacity;
        IsoImage img(tree, o);
        img.layOut();
        MemorySink sink;
        img.write(sink);
        return sink.bytes;
    }

    std::string dir_, src_;
};

// isoinfo prints Joliet names in ISO 8859-1, with '_' for what that cannot show.
std::string asIsoinfoShows(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if ((c >> 5) == 6 && i + 1 < utf8.size()) {
            unsigned cp = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            out += cp < 0x100 ? static_cast<char>(cp) : '_';
            i += 2;
        } else {
            out += '_';
            i += (c >> 4) == 14 ? 3 : 4;
        }
    }
    return out;
}

size_t count(const IsoVerifyResult& r, IsoDifferenceKind kind, const std::string& tree) {
    return static_cast<size_t>(std::count_if(r.differences.begin(), r.differences.end(), [&](const IsoDifference& d) {
        return d.kind == kind && d.tree == tree;
    }));
}

std::string allDifferences(const IsoVerifyResult& r) {
    std::string out = r.error;
    for (const IsoDifference& d : r.differences) out += describe(d) + "\n";
    return out;
}

TEST(IsoMd5, AgreesWithMd5sum) {
    std::string path = "/tmp/tallory_md5_" + std::to_string(::getpid());
    std::mt19937 rng(42);
    // Lengths around the 56- and 64-byte padding boundaries, and a large one fed in odd pieces.
    for (size_t size : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 1000u, 1048579u}) {
        std::vector<uint8_t> data(size);
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<long>(size));
        Md5 md5;
        for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 % 977 + 1) {
            md5.update(data.data() + at, std::min(piece, size - at));
        }
        std::string expected = runCommand("md5sum '" + path + "'").substr(0, 32);
        EXPECT_EQ(Md5::hex(md5.finish()), expected) << size;
    }
    ::unlink(path.c_str());
    Md5 again;
    again.update(reinterpret_cast<const uint8_t*>("abc"), 3);
    EXPECT_EQ(Md5::hex(again.finish()), "900150983cd24fb0d6963f7d28e17f72");  // RFC 1321 A.5
    EXPECT_EQ(Md5::hex(again.finish()), "d41d8cd98f00b204e9800998ecf8427e");  // reset after finish
}

// What our reader lists equals what isoinfo lists, on images of other writers.
TEST_F(IsoVerifyTest, ListsImagesOfOtherWritersAsIsoinfoDoes) {
    sampleFiles(false);  // the peers leave out folders deeper than ISO 9660's 8 levels
    for (int i = 0; i < 80; ++i) file("many/a rather long file name number " + std::to_string(i) + ".dat", 50 + i, 20 + i);
    for (const std::string& tool : {std::string("genisoimage -J -quiet"), std::string("xorriso -as mkisofs -J -quiet")}) {
        std::string path = dir_ + "/peer.iso";
        int rc = 0;
        std::string out = runCommand(tool + " -o '" + path + "' '" + src_ + "' 2>&1", &rc);
        ASSERT_EQ(rc, 0) << out;
        IsoFileReader reader;
        std::string why;
        ASSERT_TRUE(reader.open(path, &why)) << why;
        IsoVolumeListing listing = listIsoImage(reader.blockReader());
        ASSERT_TRUE(listing.ok) << tool << ": " << listing.error;
        ASSERT_TRUE(listing.hasJoliet);
        for (bool joliet : {false, true}) {
            std::set<std::string> ours;
            for (const IsoImageFile& f : (joliet ? listing.joliet : listing.primary).files) ours.insert(asIsoinfoShows(f.path));
            for (const std::string& d : (joliet ? listing.joliet : listing.primary).directories) ours.insert(asIsoinfoShows(d));
            std::set<std::string> theirs;
            std::string names = runCommand("isoinfo " + std::string(joliet ? "-J " : "") + "-f -i '" + path + "'");
            for (size_t start = 0, end; start < names.size(); start = end + 1) {
                end = names.find('\n', start);
                if (end == std::string::npos) end = names.size();
                std::string name = names.substr(start, end - start);
                if (name.empty()) continue;
                size_t semi = name.rfind(";1");
                if (semi != std::string::npos && semi + 2 == name.size()) name.erase(semi);
                if (name.size() > 1 && name.back() == '.') name.pop_back();
                theirs.insert(name);
            }
            EXPECT_EQ(ours, theirs) << tool << (joliet ? " Joliet" : " primary");
        }
        // The Joliet tree's contents match their sources.
        std::vector<IsoExpectedFile> expected;
        for (const auto& e : fs::recursive_directory_iterator(src_)) {
            if (e.is_regular_file()) expected.push_back({"", "/" + fs::relative(e.path(), src_).string(), e.path().string()});
        }
        IsoReadOptions options;
        options.endSector = reader.sectors();
        IsoVerifyResult result = verifyIsoImage(reader.blockReader(), expected, options);
        EXPECT_TRUE(result.identical()) << tool << ": " << allDifferences(result);
        EXPECT_EQ(result.filesCompared, expected.size());
        fs::remove(path);
    }
}

TEST_F(IsoVerifyTest, OurImagesVerifyInBothTrees) {
    sampleFiles();
    for (bool joliet : {false, true}) {
        IsoTree tree;
        std::vector<uint8_t> bytes = image(tree, joliet);
        std::vector<IsoExpectedFile> expected = expectedFilesOf(tree, joliet);
        ASSERT_EQ(expected.size(), 7u);
        uint64_t lastDone = 0, lastTotal = 0;
        IsoVerifyProgress progress = [&](uint64_t done, uint64_t total, const std::string&) {
            EXPECT_GE(done, lastDone);
            lastDone = done;
            lastTotal = total;
        };
        IsoVerifyResult result = verifyIsoImage(memoryReader(bytes), expected, {}, progress);
        EXPECT_TRUE(result.identical()) << allDifferences(result);
        EXPECT_EQ(result.filesCompared, 7u);
        EXPECT_EQ(lastDone, lastTotal);
        EXPECT_EQ(lastTotal, 2u * (6 + 2049 + 70001 + 300000 + 1234 + 10));
        IsoVolumeListing listing = listIsoImage(memoryReader(bytes));
        EXPECT_EQ(listing.volumeLabel, "VERIFY");
        EXPECT_EQ(listing.hasJoliet, joliet);
    }
}

// Every kind of fault that a verify exists to catch.
TEST_F(IsoVerifyTest, ReportsMissingExtraAndDifferingFiles) {
    sampleFiles();
    IsoTree tree;
    std::vector<uint8_t> bytes = image(tree, true);
    std::vector<IsoExpectedFile> expected = expectedFilesOf(tree, true);
    auto find = [&](const std::string& tail) {
        for (const IsoExpectedFile& e : expected) {
            if (e.sourcePath.size() >= tail.size() && e.sourcePath.compare(e.sourcePath.size() - tail.size(), tail.size(), tail) == 0) return e;
        }
        ADD_FAILURE() << tail;
        return IsoExpectedFile{};
    };

    // A byte of one file changed in the image: that file differs in both trees, by MD5.
    {
        IsoExpectedFile song = find("01 first song.flac");
        IsoVolumeListing listing = listIsoImage(memoryReader(bytes));
        auto it = std::find_if(listing.primary.files.begin(), listing.primary.files.end(),
                               [&](const IsoImageFile& f) { return f.path == song.primaryPath; });
        ASSERT_NE(it, listing.primary.files.end());
        std::vector<uint8_t> damaged = bytes;
        damaged[static_cast<size_t>(it->extents[0].sector) * kIsoSectorSize + 150000] ^= 1;
        IsoVerifyResult r = verifyIsoImage(memoryReader(damaged), expected);
        ASSERT_TRUE(r.readable) << r.error;
        EXPECT_EQ(r.differences.size(), 2u) << allDifferences(r);
        EXPECT_EQ(count(r, IsoDifferenceKind::Differs, "primary"), 1u);
        EXPECT_EQ(count(r, IsoDifferenceKind::Differs, "Joliet"), 1u);
        EXPECT_EQ(r.differences[0].imagePath, song.primaryPath);
        EXPECT_NE(r.differences[0].detail.find("MD5 "), std::string::npos);
        // An unreadable sector in the same file: reported, not taken as a match.
        IsoVerifyResult unreadable = verifyIsoImage(memoryReader(bytes, {it->extents[0].sector + 3}), expected);
        EXPECT_EQ(count(unreadable, IsoDifferenceKind::Unreadable, "primary"), 1u) << allDifferences(unreadable);
        EXPECT_FALSE(unreadable.identical());
    }

    // The sources changed since: one edited in place, one shortened, one removed.
    std::string edited = find("readme").sourcePath;
    std::string shortened = find("just over one sector.bin").sourcePath;
    std::string removed = find("bottom.txt").sourcePath;
    { std::fstream f(edited, std::ios::in | std::ios::out | std::ios::binary); f.seekp(2); f.put('!'); }
    ASSERT_EQ(::truncate(shortened.c_str(), 2048), 0);
    fs::remove(removed);
    IsoVerifyResult changed = verifyIsoImage(memoryReader(bytes), expected);
    EXPECT_EQ(count(changed, IsoDifferenceKind::Differs, "primary"), 2u) << allDifferences(changed);
    EXPECT_EQ(count(changed, IsoDifferenceKind::Unreadable, "primary"), 1u) << allDifferences(changed);
    EXPECT_EQ(count(changed, IsoDifferenceKind::Differs, "Joliet"), 2u);
    bool sizeNamed = std::any_of(changed.differences.begin(), changed.differences.end(), [](const IsoDifference& d) {
        return d.detail == "2049 bytes, the source 2048";
    });
    EXPECT_TRUE(sizeNamed) << allDifferences(changed);
    EXPECT_EQ(changed.filesCompared, 5u);  // 7 less the shortened and the removed

    // A source more than the image holds is missing; one fewer leaves an extra.
    std::vector<IsoExpectedFile> more = expected;
    more.push_back({"/NEW.TXT", "/new.txt", edited});
    IsoVerifyResult missing = verifyIsoImage(memoryReader(bytes), more);
    EXPECT_EQ(count(missing, IsoDifferenceKind::Missing, "primary"), 1u);
    EXPECT_EQ(count(missing, IsoDifferenceKind::Missing, "Joliet"), 1u);
    std::vector<IsoExpectedFile> fewer(expected.begin() + 1, expected.end());
    IsoVerifyResult extra = verifyIsoImage(memoryReader(bytes), fewer);
    EXPECT_EQ(count(extra, IsoDifferenceKind::Extra, "primary"), 1u) << allDifferences(extra);
    EXPECT_EQ(count(extra, IsoDifferenceKind::Extra, "Joliet"), 1u);
    std::string described = describe(extra.differences.back());
    EXPECT_EQ(described, "not among the sources, in the Joliet tree: " + expected[0].jolietPath) << described;

    // Joliet expected, but the image has none.
    IsoTree plain;
    std::vector<uint8_t> noJoliet = image(plain, false);
    IsoVerifyResult absent = verifyIsoImage(memoryReader(noJoliet), expectedFilesOf(plain, true));
    EXPECT_EQ(count(absent, IsoDifferenceKind::Missing, "Joliet"), 1u);
    EXPECT_EQ(absent.differences.size(), 1u) << allDifferences(absent);

    // A stop ends the verify and is no success.
    std::atomic<bool> stop{true};
    IsoVerifyResult stopped = verifyIsoImage(memoryReader(bytes), expected, {}, {}, &stop);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_FALSE(stopped.identical());
}

// Malformed images: each refused with the reason, never read out of bounds.
TEST_F(IsoVerifyTest, RefusesMalformedImages) {
    file("a.txt", 100);
    file("sub/b.txt", 3000);
    // Enough entries after those that the root's records fill more than a sector.
    for (int i = 0; i < 60; ++i) file("zz long name " + std::to_string(i) + ".txt", 1, static_cast<unsigned>(i));
    IsoTree tree;
    std::vector<uint8_t> good = image(tree, true);
    const IsoEntry& root = tree.root();
    const IsoEntry& sub = *root.dirs.at(0);
    size_t rootAt = static_cast<size_t>(root.sector[0]) * kIsoSectorSize;
    size_t subAt = static_cast<size_t>(sub.sector[0]) * kIsoSectorSize;
    ASSERT_TRUE(listIsoImage(memoryReader(good)).ok);

    auto expectRefused = [&](const std::vector<uint8_t>& bad, const std::string& words, IsoReadOptions options = {}) {
        IsoVolumeListing l = listIsoImage(memoryReader(bad), options);
        EXPECT_FALSE(l.ok) << words;
        EXPECT_NE(l.error.find(words), std::string::npos) << l.error;
        IsoVerifyResult r = verifyIsoImage(memoryReader(bad), expectedFilesOf(tree, true), options);
        EXPECT_FALSE(r.readable);
        EXPECT_FALSE(r.identical());
    };
    std::vector<uint8_t> bad;

    expectRefused(std::vector<uint8_t>(40 * kIsoSectorSize, 0), "no ISO9660 volume descriptor");
    bad = std::vector<uint8_t>(good.begin(), good.begin() + 16 * kIsoSectorSize);
    expectRefused(bad, "reading 1 sectors failed (sector 16)");
    // No terminator: the copy of the primary repeated over every following sector.
    bad = good;
    for (size_t s = 17; s < 17 + kMaxVolumeDescriptors; ++s) {
        if ((s + 1) * kIsoSectorSize > bad.size()) bad.resize((s + 1) * kIsoSectorSize);
        std::memcpy(&bad[s * kIsoSectorSize], &good[16 * kIsoSectorSize], kIsoSectorSize);
    }
    expectRefused(bad, "more than 64 volume descriptors");
    // Halves of a both-endian field that disagree.
    bad = good;
    bad[16 * kIsoSectorSize + 80] ^= 1;
    expectRefused(bad, "the volume space size reads");
    // The root directory claims 1 GB.
    bad = good;
    for (size_t d : {16u, 17u}) putBoth32(&bad[d * kIsoSectorSize + 156 + 10], 0x40000000);
    expectRefused(bad, "declares 1073741824 bytes");
    // A file whose extent runs past the volume's end.
    bad = good;
    {
        uint8_t* rec = &bad[rootAt + 68];  // the first entry after "." and ".."
        ASSERT_EQ(std::string(reinterpret_cast<char*>(rec + 33), rec[32]), "A.TXT;1");
        putBoth32(rec + 2, 0x00FFFFF0);
    }
    expectRefused(bad, "past the volume's end");
    // A record longer than the rest of its sector.
    ASSERT_GT(root.sectors[0], 1u);
    bad = good;
    {
        size_t end = rootAt;
        while (bad[end] != 0) end += bad[end];
        size_t left = kIsoSectorSize - (end - rootAt);
        ASSERT_LT(left, 200u);
        bad[end] = static_cast<uint8_t>(left + 1);
    }
    expectRefused(bad, "does not fit its sector or folder");
    // A folder whose records run past its data length.
    bad = good;
    {
        uint8_t* rec = &bad[rootAt + 68];
        while (std::string(reinterpret_cast<char*>(rec + 33), rec[32]) != "SUB") rec += rec[0];
        putBoth32(rec + 10, 100);
    }
    expectRefused(bad, "does not fit its sector or folder");
    // An identifier longer than its record.
    bad = good;
    bad[rootAt + 68 + 32] = 200;
    expectRefused(bad, "holds an identifier of 200");
    // A folder that leads back to the root.
    bad = good;
    {
        uint8_t* rec = &bad[rootAt + 68];
        while (std::string(reinterpret_cast<char*>(rec + 33), rec[32]) != "SUB") rec += rec[0];
        putBoth32(rec + 2, root.sector[0]);
    }
    expectRefused(bad, "leads back to a folder already read");
    // A folder that does not start with "." and "..".
    bad = good;
    bad[subAt + 33] = 'X';
    expectRefused(bad, "does not start with its");
    // The reader knows the track ends before the volume says.
    IsoReadOptions shortTrack;
    shortTrack.endSector = static_cast<uint32_t>(good.size() / kIsoSectorSize) - 1;
    expectRefused(good, "past the volume's end", shortTrack);
    // A volume space that ends inside the descriptors.
    bad = good;
    for (size_t d : {16u, 17u}) putBoth32(&bad[d * kIsoSectorSize + 80], 10);
    expectRefused(bad, "ends before the descriptors");
    EXPECT_EQ(le32(&good[16 * kIsoSectorSize + 80]), good.size() / kIsoSectorSize);
}

// The export and the command line's --verify.
TEST_F(IsoVerifyTest, ExportAndCommandLine) {
    sampleFiles();
    std::string out = dir_ + "/v.iso";
    std::string src = src_;
    const char* paths[] = {src.c_str()};
    TalloryIsoRequest r{};
    r.size = sizeof r;
    r.flags = TALLORY_ISO_JOLIET | TALLORY_ISO_CONTENTS_AT_ROOT;
    r.paths = paths;
    r.pathCount = 1;
    r.output = out.c_str();
    r.volumeLabel = "V";
    RecordingProgress written;
    ASSERT_EQ(TalloryWriteIsoImage(&r, &written), S_OK) << written.lastText();
    RecordingProgress same;
    EXPECT_EQ(TalloryVerifyIsoImage(&r, &same), S_OK) << same.lastText();
    EXPECT_EQ(same.lastText(), "All 7 files of the image match their sources\n");
    EXPECT_EQ(same.position, same.range);
    EXPECT_GT(same.range, 0u);

    file("added later.txt", 5);
    RecordingProgress differs;
    EXPECT_EQ(TalloryVerifyIsoImage(&r, &differs), S_FALSE);
    ASSERT_GE(differs.messages.size(), 3u);
    EXPECT_EQ(differs.messages[0].kinds, "e");
    EXPECT_NE(differs.messages[0].text.find("missing from the primary tree: /ADDEDL~1.TXT"), std::string::npos)
        << differs.messages[0].text;
    EXPECT_NE(differs.messages[1].text.find("missing from the Joliet tree: /added later.txt"), std::string::npos);
    EXPECT_EQ(differs.lastText(), "2 differences between the image and its 8 source files\n");

    std::string notIso = dir_ + "/not.iso";
    std::ofstream(notIso) << "hello";
    r.output = notIso.c_str();
    RecordingProgress unreadable;
    EXPECT_EQ(TalloryVerifyIsoImage(&r, &unreadable), E_FAIL);
    EXPECT_NE(unreadable.lastText().find("cannot be read"), std::string::npos) << unreadable.lastText();
    std::string none = dir_ + "/none.iso";
    r.output = none.c_str();
    EXPECT_EQ(TalloryVerifyIsoImage(&r, nullptr), E_FAIL);
    EXPECT_EQ(TalloryVerifyIsoImage(nullptr, nullptr), E_INVALIDARG);

    // The command line: exit 0 when every file matches.
    std::string bin = std::string(getenv("TALLORY_TEST_BIN")) + "/tallory";
    int rc = 0;
    std::string text = runCommand(bin + " iso --joliet --verify -o '" + dir_ + "/cli.iso' '" + src_ + "' 2>&1", &rc);
    EXPECT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("All 8 files of the image match their sources"), std::string::npos) << text;
    // A file that reads longer than its size (as files under /proc do) differs: exit 1.
    text = runCommand(bin + " iso --verify -o '" + dir_ + "/proc.iso' /proc/self/status 2>&1", &rc);
    EXPECT_EQ(WEXITSTATUS(rc), 1) << text;
    EXPECT_NE(text.find("differs from its source, in the primary tree: /STATUS (source /proc/self/status): 0 bytes, the source"), std::string::npos)
        << text;
    EXPECT_NE(text.find("the image differs from its sources"), std::string::npos) << text;
}

}  // namespace

namespace {

// Two items of the same name from different folders: both at the root under
// made names, found again by the verify and by isoinfo under those names.
TEST_F(IsoVerifyTest, ItemsThatClashAfterShorteningVerify) {
    std::string one = file("one/my song.mp3", 1000, 1);
    std::string two = file("two/my song.mp3", 2000, 2);
    std::string out = dir_ + "/clash.iso";
    const char* paths[] = {one.c_str(), two.c_str()};
    TalloryIsoRequest r{};
    r.size = sizeof r;
    r.flags = TALLORY_ISO_JOLIET;
    r.paths = paths;
    r.pathCount = 2;
    r.output = out.c_str();
    RecordingProgress progress;
    ASSERT_EQ(TalloryWriteIsoImage(&r, &progress), S_OK) << progress.lastText();
    EXPECT_EQ(TalloryVerifyIsoImage(&r, &progress), S_OK) << progress.lastText();
    std::string primary = runCommand("isoinfo -l -i '" + out + "'");
    // The first item keeps counter 1, the second takes 2: each with its own size.
    size_t first = primary.find("MYSONG~1.MP3;1"), second = primary.find("MYSONG~2.MP3;1");
    ASSERT_NE(first, std::string::npos) << primary;
    ASSERT_NE(second, std::string::npos) << primary;
    std::string joliet = runCommand("isoinfo -J -l -i '" + out + "'");
    EXPECT_NE(joliet.find("my song.mp3;1"), std::string::npos) << joliet;
    EXPECT_NE(joliet.find("my song~2.mp3;1"), std::string::npos) << joliet;
    // Swapped sources: same names, other contents, so the verify must fail.
    const char* swapped[] = {two.c_str(), one.c_str()};
    r.paths = swapped;
    RecordingProgress differs;
    EXPECT_EQ(TalloryVerifyIsoImage(&r, &differs), S_FALSE);
    EXPECT_EQ(differs.lastText(), "4 differences between the image and its 2 source files\n");
}

}  // namespace

namespace {

// A data track that starts past sector 0 (after audio, or on a disc read back
// from a drive): the image's addresses are the disc's, and the verify reads
// the same addresses.
TEST_F(IsoVerifyTest, TrackThatStartsLaterOnTheDisc) {
    sampleFiles(false);
    IsoTree tree;
    tree.addContents(tree.root(), src_, IsoTreeOptions{});
    IsoImageOptions o;  // as a recording: 300 sectors at least, 150 run-out sectors
    o.joliet = true;
    o.firstSector = 11400;
    IsoImage image(tree, o);
    const IsoLayout& layout = image.layOut();
    MemorySink track;
    image.write(track);
    ASSERT_EQ(track.bytes.size(), static_cast<size_t>(layout.trackLength) * kIsoSectorSize);
    std::vector<uint8_t> disc(static_cast<size_t>(o.firstSector) * kIsoSectorSize, 0xAA);  // audio before it
    disc.insert(disc.end(), track.bytes.begin(), track.bytes.end());

    IsoReadOptions read;
    read.firstSector = o.firstSector;
    read.endSector = static_cast<uint32_t>(disc.size() / kIsoSectorSize);
    read.sectorsPerRead = 27;  // a drive's transfer, not a divisor of anything
    IsoVerifyResult result = verifyIsoImage(memoryReader(disc), expectedFilesOf(tree, true), read);
    EXPECT_TRUE(result.identical()) << allDifferences(result);
    EXPECT_EQ(result.filesCompared, 6u);
    // Read from sector 0, the descriptors are not where a volume's are.
    EXPECT_FALSE(listIsoImage(memoryReader(disc)).ok);
}

}  // namespace
