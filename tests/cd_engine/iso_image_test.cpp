// The ISO9660 writer against independent readers: isoinfo, xorriso, pycdlib
// (the strictest) and dumpet, with every file compared with its source.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cd/engine/engine_error.h"
#include "cd/engine/iso_image.h"
#include "cd/engine/iso_tree.h"
#include "external_tools.h"
#include "recording_progress.h"
#include "tallory/iso_image.h"

using namespace tallory::cd::engine;
namespace fs = std::filesystem;

namespace {

class MemorySink : public IsoSectorSink {
public:
    void writeSectors(const uint8_t* data, uint32_t count) override {
        bytes.insert(bytes.end(), data, data + static_cast<size_t>(count) * kIsoSectorSize);
        ++sends;
        maxSend = std::max(maxSend, count);
    }
    const uint8_t* sector(uint32_t n) const { return bytes.data() + static_cast<size_t>(n) * kIsoSectorSize; }
    std::vector<uint8_t> bytes;
    int sends = 0;
    uint32_t maxSend = 0;
};

class IsoImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_iso_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::create_directories(dir_ + "/src");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& relative, size_t bytes, unsigned seed = 1) {
        std::string p = dir_ + "/src/" + relative;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream out(p, std::ios::binary);
        std::mt19937 rng(seed);
        for (size_t i = 0; i < bytes; ++i) out.put(static_cast<char>(rng()));
        return p;
    }

    std::string writeImage(IsoTree& tree, IsoImageOptions options, const std::string& name = "out.iso") {
        IsoImage image(tree, options);
        image.layOut();
        MemorySink sink;
        image.write(sink);
        std::string p = dir_ + "/" + name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(sink.bytes.data()),
                                                 static_cast<std::streamsize>(sink.bytes.size()));
        return p;
    }

    static IsoImageOptions imageFileOptions(bool joliet) {
        IsoImageOptions o;
        o.volumeLabel = "TALLORY_TEST";
        o.joliet = joliet;
        o.runOut = false;
        o.minimumSectors = 0;
        o.capacity = kImageFileCapacity;
        return o;
    }

    std::string dir_;
};

std::vector<std::string> isoinfoNames(const std::string& image, bool joliet) {
    std::string out = runCommand("isoinfo " + std::string(joliet ? "-J " : "") + "-f -i '" + image + "' 2>&1");
    std::vector<std::string> names;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        if (end > start) names.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(IsoNames, ShortNamesAreMadeUniqueInTheirFolder) {
    IsoTree tree;
    IsoTreeOptions o;
    IsoTime t;
    // Ten files named alike from different folders.
    for (int i = 0; i < 10; ++i) tree.addEntry(tree.root(), "my song.mp3", false, "", 1, t, o);
    auto& files = tree.root().files;
    EXPECT_EQ(files[0]->shortName, "MYSONG~1.MP3");
    EXPECT_EQ(files[1]->shortName, "MYSONG~2.MP3");
    EXPECT_EQ(files[8]->shortName, "MYSONG~9.MP3");
    EXPECT_EQ(files[9]->shortName, "MYSON~10.MP3");
    // Joliet keeps the long name, made unique too.
    EXPECT_EQ(files[0]->jolietName, u"my song.mp3");
    EXPECT_EQ(files[1]->jolietName, u"my song~2.mp3");

    EXPECT_EQ(tree.addEntry(tree.root(), "README", false, "", 1, t, o).shortName, "README");
    EXPECT_EQ(tree.addEntry(tree.root(), "readme", false, "", 1, t, o).shortName, "README~1");  // clash, any case
    EXPECT_EQ(tree.addEntry(tree.root(), "a.txt", false, "", 1, t, o).shortName, "A.TXT");
    IsoTreeOptions keep{true};
    EXPECT_EQ(tree.addEntry(tree.root(), "b.txt", false, "", 1, t, keep).shortName, "b.txt");
    EXPECT_EQ(tree.addEntry(tree.root(), ".bashrc", false, "", 1, t, o).shortName, "BASHRC~1");
    EXPECT_EQ(tree.addEntry(tree.root(), "Caf\xC3\xA9 + t\xC3\xA9.flac", false, "", 1, t, o).shortName, "CAF__T~1.FLA");
    EXPECT_EQ(tree.addEntry(tree.root(), "...", false, "", 1, t, o).shortName, "_~1");
    EXPECT_EQ(tree.addEntry(tree.root(), "my.dir", true, "", 0, t, o).shortName, "MYDIR~1");  // no dot in folders
    EXPECT_EQ(tree.addEntry(tree.root(), "a:b?c*d.txt", false, "", 1, t, o).jolietName, u"a_b_c_d.txt");

    EXPECT_TRUE(isValidShortName("README", false));
    EXPECT_TRUE(isValidShortName("12345678.ABC", false));
    EXPECT_FALSE(isValidShortName("123456789.ABC", false));
    EXPECT_FALSE(isValidShortName("A.ABCD", false));
    EXPECT_FALSE(isValidShortName("A B.TXT", false));
    EXPECT_FALSE(isValidShortName("A.B.TXT", false));
    EXPECT_FALSE(isValidShortName(".TXT", false));
    EXPECT_FALSE(isValidShortName("A.B", true));

    // Joliet names stop at 64 characters, keeping the extension.
    std::u16string longName = jolietNameOf(std::string(100, 'x') + ".flac");
    EXPECT_EQ(longName.size(), kMaxJolietName);
    EXPECT_EQ(longName.substr(59), u".flac");
}

TEST(IsoNames, OrderPutsTheDotFirst) {
    EXPECT_TRUE(isoNameLess<std::string>("A.TXT", "AB.TXT"));
    EXPECT_FALSE(isoNameLess<std::string>("AB.TXT", "A.TXT"));
    EXPECT_TRUE(isoNameLess<std::string>("A", "A.B"));
    EXPECT_TRUE(isoNameLess<std::string>("ABC", "ABD"));
    EXPECT_TRUE(isoNameLess<std::string>("B", "a"));  // as they are: no case folding
    EXPECT_FALSE(isoNameLess<std::string>("SAME", "SAME"));
}

TEST_F(IsoImageTest, ReadersSeeEveryFileAsWritten) {
    file("readme", 6);
    file("a.txt", 0);
    file("one sector.bin", 2048, 2);
    file("just over.bin", 2049, 3);
    file("Caf\xC3\xA9 \xE2\x99\xAB.flac", 70001, 4);
    file("music/album one/01 first song.flac", 300000, 5);
    file("music/album one/02 second song.flac", 123457, 6);
    file("music/album two/01 first song.flac", 5, 7);
    file("deep/a/b/c/d/e/f/g/h/bottom.txt", 10, 8);
    // Enough long names that the folder's records cross sector boundaries.
    for (int i = 0; i < 60; ++i) file("many/a rather long file name number " + std::to_string(i) + ".dat", 100 + i, 10 + i);

    IsoTree tree;
    tree.addContents(tree.root(), dir_ + "/src", IsoTreeOptions{});
    std::string image = writeImage(tree, imageFileOptions(true));

    int rc = 0;
    std::string check = runCommand("/usr/bin/python3 '" + std::string(TALLORY_SOURCE_DIR) +
                                   "/tests/cd_engine/iso_check.py' '" + image + "' '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(rc, 0) << check;
    EXPECT_EQ(check, "files 69\n");

    // xorriso extracts the Joliet tree: byte-identical to the sources.
    std::string out = dir_ + "/extracted";
    runCommand("xorriso -osirrox on -indev '" + image + "' -extract / '" + out + "' 2>&1", &rc);
    ASSERT_EQ(rc, 0);
    runCommand("diff -r '" + out + "' '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(rc, 0);

    std::vector<std::string> primary = isoinfoNames(image, false);
    EXPECT_TRUE(contains(primary, "/README.;1"));
    EXPECT_TRUE(contains(primary, "/A.TXT;1"));
    EXPECT_TRUE(contains(primary, "/MUSIC/ALBUMO~1/01FIRS~1.FLA;1"));
    EXPECT_TRUE(contains(primary, "/MUSIC/ALBUMO~1/02SECO~1.FLA;1"));
    EXPECT_TRUE(contains(primary, "/DEEP/A/B/C/D/E/F/G/H/BOTTOM.TXT;1"));
    std::vector<std::string> joliet = isoinfoNames(image, true);
    EXPECT_TRUE(contains(joliet, "/one sector.bin;1"));  // the non-ASCII name is checked by pycdlib and xorriso
    EXPECT_TRUE(contains(joliet, "/music/album two/01 first song.flac;1"));
}

TEST_F(IsoImageTest, LayoutOfASmallDisc) {
    std::string p = file("small.txt", 100);
    IsoTree tree;
    tree.addPath(tree.root(), p, "small.txt", IsoTreeOptions{});
    IsoImageOptions o;  // as the data recording sets it: run-out on, 300 sectors at least
    o.volumeLabel = "DISC";
    IsoImage image(tree, o);
    const IsoLayout& l = image.layOut();
    EXPECT_EQ(l.trackLength, 300u + 150u);
    MemorySink sink;
    image.write(sink);
    ASSERT_EQ(sink.bytes.size(), 450u * 2048);
    EXPECT_LE(sink.maxSend, 31u);  // 65000-byte transfers
    // No boot image: sector 17 repeats the primary descriptor.
    EXPECT_EQ(std::memcmp(sink.sector(16), sink.sector(17), 2048), 0);
    EXPECT_EQ(sink.sector(18)[0], 255);
    // Without Joliet the escape sequence field is zero.
    for (int i = 88; i < 120; ++i) EXPECT_EQ(sink.sector(16)[i], 0) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sink.sector(16) + 40), 32), "DISC" + std::string(28, ' '));
    // Volume space size, both-endian.
    uint32_t space = sink.sector(16)[80] | (sink.sector(16)[81] << 8) | (sink.sector(16)[82] << 16);
    EXPECT_EQ(space, 300u);
    // The run-out and padding are zeros.
    for (size_t i = static_cast<size_t>(l.end) * 2048; i < sink.bytes.size(); ++i) ASSERT_EQ(sink.bytes[i], 0);
}

TEST_F(IsoImageTest, JolietSetHasItsOwnTablesAndRoot) {
    file("x.txt", 10);
    file("sub/y.txt", 10);
    file("what?.txt", 12, 9);
    file("what_.txt", 13, 10);
    IsoTree tree;
    tree.addContents(tree.root(), dir_ + "/src", IsoTreeOptions{});
    // Joliet's forbidden characters are replaced, and the clash that makes resolved.
    std::vector<std::string> names = isoinfoNames(writeImage(tree, imageFileOptions(true)), true);
    EXPECT_TRUE(contains(names, "/what_.txt;1"));
    EXPECT_TRUE(contains(names, "/what_~2.txt;1"));
    IsoImage image(tree, imageFileOptions(true));
    const IsoLayout& l = image.layOut();
    MemorySink sink;
    image.write(sink);
    EXPECT_NE(l.pathTableL[0], l.pathTableL[1]);
    EXPECT_NE(l.pathTableM[0], l.pathTableM[1]);
    EXPECT_NE(tree.root().sector[0], tree.root().sector[1]);
    const uint8_t* svd = sink.sector(l.supplementary);
    EXPECT_EQ(svd[0], 2);
    EXPECT_EQ(svd[88], 0x25);
    EXPECT_EQ(svd[89], 0x2F);
    EXPECT_EQ(svd[90], 0x40);
    for (int i = 88; i < 120; ++i) EXPECT_EQ(sink.sector(16)[i], 0) << i;
    // "TALLORY_TEST" (12 characters) then UCS-2 blanks.
    EXPECT_EQ(svd[40], 0);
    EXPECT_EQ(svd[41], 'T');
    EXPECT_EQ(svd[40 + 24], 0x00);
    EXPECT_EQ(svd[40 + 25], 0x20);
    EXPECT_EQ(svd[70], 0x00);
    EXPECT_EQ(svd[71], 0x20);
    // The M table is the L table with big-endian numbers.
    const uint8_t* lt = sink.sector(l.pathTableL[1]);
    const uint8_t* mt = sink.sector(l.pathTableM[1]);
    EXPECT_EQ(lt[2], mt[5]);
    EXPECT_EQ(lt[6], mt[7]);
}

TEST_F(IsoImageTest, RecordTimesAreUtcWithTheirOffset) {
    std::string p = file("dated.txt", 3);
    struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};  // 2023-11-14 22:13:20 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    IsoTree tree;
    IsoEntry& e = tree.addPath(tree.root(), p, "dated.txt", IsoTreeOptions{});
    EXPECT_EQ(e.time.year, 2023);
    IsoImageOptions o = imageFileOptions(false);
    o.now = 1700000000;
    IsoImage image(tree, o);
    image.layOut();
    MemorySink sink;
    image.write(sink);
    const uint8_t* dir = sink.sector(tree.root().sector[0]);
    const uint8_t* rec = dir + 34 + 34;  // after "." and ".."
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(rec + 33), rec[32]), "DATED.TXT;1");
    EXPECT_EQ(rec[18], 123);
    EXPECT_EQ(rec[19], 11);
    EXPECT_EQ(rec[20], 14);
    EXPECT_EQ(rec[21], 22);
    EXPECT_EQ(rec[22], 13);
    EXPECT_EQ(rec[23], 20);
    EXPECT_EQ(rec[24], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sink.sector(16) + 813), 17), std::string("2023111422132000") + '\0');
    // isoinfo agrees on the date.
    std::string image_path = writeImage(tree, o, "dated.iso");
    EXPECT_NE(runCommand("isoinfo -l -i '" + image_path + "'").find("Nov 14 2023"), std::string::npos);
}

TEST_F(IsoImageTest, ElToritoBootImages) {
    std::string floppy = file("boot/floppy.img", 1474560);
    IsoTree tree;
    tree.addPath(tree.root(), file("data.txt", 5), "data.txt", IsoTreeOptions{});
    IsoImageOptions o = imageFileOptions(false);
    o.bootImage = floppy;
    o.bootEmulation = 2;
    std::string image = writeImage(tree, o, "floppy.iso");
    int rc = 0;
    std::string dump = runCommand("dumpet -i '" + image + "' 2>&1", &rc);
    EXPECT_EQ(rc, 0) << dump;
    EXPECT_NE(dump.find("1.44MB"), std::string::npos) << dump;
    EXPECT_NE(dump.find("Load Sectors: 1 "), std::string::npos) << dump;
    // The boot image sits where the catalog says, byte for byte.
    std::vector<uint8_t> bytes = readFileBytes(image);
    std::vector<uint8_t> boot = readFileBytes(floppy);
    uint32_t catalog = bytes[17 * 2048 + 71] | (bytes[17 * 2048 + 72] << 8);
    uint32_t at = bytes[catalog * 2048 + 40] | (bytes[catalog * 2048 + 41] << 8);
    EXPECT_TRUE(std::equal(boot.begin(), boot.end(), bytes.begin() + static_cast<long>(at) * 2048));

    // One byte more does not fit the emulation.
    std::string odd = file("boot/odd.img", 1474561);
    o.bootImage = odd;
    IsoImage bad(tree, o);
    try {
        bad.layOut();
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrBootImageLength);
        EXPECT_EQ(e.mainText(), "Boot image file length is not compatible with emulation type");
    }
    o.bootEmulation = 5;
    IsoImage badType(tree, o);
    EXPECT_THROW(badType.layOut(), EngineError);

    // Hard disk emulation takes the system type from the partition table.
    std::string disk = dir_ + "/src/boot/disk.img";
    {
        std::vector<uint8_t> mbr(4096, 0);
        mbr[446 + 4] = 0x0C;  // FAT32 LBA
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        std::ofstream(disk, std::ios::binary).write(reinterpret_cast<const char*>(mbr.data()), 4096);
    }
    o.bootImage = disk;
    o.bootEmulation = 4;
    image = writeImage(tree, o, "disk.iso");
    dump = runCommand("dumpet -i '" + image + "' 2>&1", &rc);
    EXPECT_EQ(rc, 0) << dump;
    EXPECT_NE(dump.find("hard disk"), std::string::npos) << dump;
    EXPECT_NE(dump.find("System type: 12"), std::string::npos) << dump;
    // Without a partition table it is refused.
    o.bootImage = file("boot/blank.img", 4096);
    IsoImage noTable(tree, o);
    EXPECT_THROW(noTable.layOut(), EngineError);

    // No emulation: the given load size and segment.
    o.bootImage = file("boot/loader.bin", 2048 * 3);
    o.bootEmulation = 0;
    o.bootSectorCount = 12;
    o.bootLoadSegment = 0x1000;
    image = writeImage(tree, o, "noemul.iso");
    dump = runCommand("dumpet -i '" + image + "' 2>&1", &rc);
    EXPECT_NE(dump.find("no emulation"), std::string::npos) << dump;
    EXPECT_NE(dump.find("Load Sectors: 12"), std::string::npos) << dump;
    EXPECT_NE(dump.find("0x1000"), std::string::npos) << dump;
}

TEST_F(IsoImageTest, RefusesWhatCannotBeWrittenBeforeWriting) {
    IsoTree tree;
    // A path that does not exist.
    try {
        tree.addPath(tree.root(), dir_ + "/nothing", "nothing", IsoTreeOptions{});
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrBadPath);
        EXPECT_EQ(e.mainText(), "Pathname \"" + dir_ + "/nothing\" is invalid or does not exist");
    }
    // A file of 4 GiB (sparse) would wrap the 32-bit size.
    std::string big = dir_ + "/big.bin";
    { std::ofstream(big, std::ios::binary); }
    ASSERT_EQ(::truncate(big.c_str(), 0x100000000ll), 0);
    try {
        tree.addPath(tree.root(), big, "big.bin", IsoTreeOptions{});
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("4 GiB"), std::string::npos) << e.what();
    }
    ASSERT_EQ(::truncate(big.c_str(), 0xFFFFFFFFll), 0);  // the largest that fits is taken
    EXPECT_EQ(tree.addPath(tree.root(), big, "big.bin", IsoTreeOptions{}).size, 0xFFFFFFFFull);

    // Too large for the disc: -128 before the sink sees a sector.
    IsoImageOptions o;
    IsoImage image(tree, o);
    MemorySink sink;
    try {
        image.write(sink);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrImageTooLarge);
    }
    EXPECT_TRUE(sink.bytes.empty());

    // A folder of more than 16000 entries cannot be sorted.
    IsoTree crowded;
    for (int i = 0; i <= 16000; ++i) crowded.addEntry(crowded.root(), "f" + std::to_string(i), false, "", 0, IsoTime{}, {});
    IsoImage crowdedImage(crowded, imageFileOptions(false));
    try {
        crowdedImage.layOut();
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrTooManyToSort);
    }
    // Path tables above 64 KiB.
    IsoTree wide;
    for (int i = 0; i < 10; ++i) {
        IsoEntry& d = wide.addEntry(wide.root(), "d" + std::to_string(i), true, "", 0, IsoTime{}, {});
        for (int k = 0; k < 500; ++k) wide.addEntry(d, "folder" + std::to_string(k), true, "", 0, IsoTime{}, {});
    }
    IsoImage wideImage(wide, imageFileOptions(false));
    try {
        wideImage.layOut();
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrTooManyDirs);
    }
    // A transfer size below one sector.
    IsoTree one;
    IsoImageOptions tiny = imageFileOptions(false);
    tiny.transferSize = 2047;
    IsoImage tinyImage(one, tiny);
    EXPECT_THROW(tinyImage.write(sink), EngineError);
}

TEST_F(IsoImageTest, AFileThatShrankFailsTheWrite) {
    std::string p = file("shrinks.bin", 10000);
    IsoTree tree;
    tree.addPath(tree.root(), p, "shrinks.bin", IsoTreeOptions{});
    IsoImage image(tree, imageFileOptions(false));
    image.layOut();
    ASSERT_EQ(::truncate(p.c_str(), 5000), 0);
    MemorySink sink;
    try {
        image.write(sink);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrReadFile);
    }
    fs::remove(p);
    IsoImage gone(tree, imageFileOptions(false));
    gone.layOut();
    try {
        gone.write(sink);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrOpenFile);
    }
}

TEST_F(IsoImageTest, StopEndsTheWrite) {
    file("a.bin", 500000);
    IsoTree tree;
    tree.addContents(tree.root(), dir_ + "/src", IsoTreeOptions{});
    IsoImage image(tree, imageFileOptions(false));
    image.layOut();
    std::atomic<bool> stop{false};
    int events = 0;
    MemorySink sink;
    IsoProgressEvent progress = [&](int event, uint32_t, const std::string*) {
        if (event == 30 && ++events == 2) stop = true;
    };
    try {
        image.write(sink, progress, &stop);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrUserAbort);
        EXPECT_TRUE(e.mainText().empty());
    }
    EXPECT_EQ(sink.sends, 2);
}

TEST_F(IsoImageTest, TwoThousandFilesInTwoHundredFolders) {
    for (int d = 0; d < 200; ++d) {
        for (int f = 0; f < 10; ++f) {
            file("folder " + std::to_string(d / 20) + "/sub folder " + std::to_string(d) + "/track " +
                     std::to_string(f) + ".ogg",
                 static_cast<size_t>(d * 37 + f * 101) % 5000, static_cast<unsigned>(d * 10 + f));
        }
    }
    std::string image = dir_ + "/many.iso";
    // Written and verified by our own reader; then checked by the independent ones.
    std::string cmd = std::string(getenv("TALLORY_TEST_BIN")) + "/tallory iso --joliet --verify -o '" + image + "' '" + dir_ + "/src'";
    int rc = 0;
    std::string out = runCommand(cmd + " 2>&1", &rc);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("All 2000 files of the image match their sources"), std::string::npos) << out;
    std::string check = runCommand("/usr/bin/python3 '" + std::string(TALLORY_SOURCE_DIR) +
                                   "/tests/cd_engine/iso_check.py' '" + image + "' '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(rc, 0) << check;
    EXPECT_EQ(check, "files 2000\n");
    std::vector<std::string> names = isoinfoNames(image, false);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.find(";1") != std::string::npos; }), 2000);

    // isoinfo -l (primary) and -J -l (Joliet): every file with its source's size.
    for (bool joliet : {false, true}) {
        std::string listing = runCommand("isoinfo " + std::string(joliet ? "-J " : "") + "-l -i '" + image + "'");
        std::string folder;
        size_t files = 0, sized = 0;
        for (size_t start = 0, end; start < listing.size(); start = end + 1) {
            end = listing.find('\n', start);
            if (end == std::string::npos) end = listing.size();
            std::string line = listing.substr(start, end - start);
            if (line.rfind("Directory listing of ", 0) == 0) {
                folder = line.substr(21);
                continue;
            }
            if (line.empty() || line[0] != '-') continue;
            ++files;
            unsigned long size = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%*s %*s %*s %*s %lu", &size), 1) << line;
            size_t bracket = line.find("]  ");
            ASSERT_NE(bracket, std::string::npos) << line;
            std::string name = line.substr(bracket + 3);
            while (!name.empty() && name.back() == ' ') name.pop_back();
            if (name.size() > 2 && name.compare(name.size() - 2, 2, ";1") == 0) name.erase(name.size() - 2);
            if (joliet) {
                std::string source = dir_ + "/src" + folder + name;
                if (fs::exists(source) && fs::file_size(source) == size) ++sized;
            } else if (name.find('~') != std::string::npos && name.size() <= 12) {
                ++sized;  // made 8.3 names; their sizes are compared by pycdlib above
            }
        }
        EXPECT_EQ(files, 2000u) << (joliet ? "Joliet" : "primary");
        EXPECT_EQ(sized, 2000u) << (joliet ? "Joliet" : "primary");
    }

    // xorriso extracts every file byte for byte.
    std::string extracted = dir_ + "/extracted";
    out = runCommand("xorriso -osirrox on -indev '" + image + "' -extract / '" + extracted + "' 2>&1", &rc);
    ASSERT_EQ(rc, 0) << out;
    out = runCommand("diff -r '" + extracted + "' '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(rc, 0) << out;
}

// The export and the command line: whole or absent, overwrite only when allowed.
TEST_F(IsoImageTest, CommandLineWritesWholeImagesOnly) {
    file("song.flac", 1000);
    std::string image = dir_ + "/cli.iso";
    std::string bin = std::string(getenv("TALLORY_TEST_BIN")) + "/tallory";
    int rc = 0;
    runCommand(bin + " iso -q -o '" + image + "' --label MYDISC '" + dir_ + "/src' 2>&1", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_NE(runCommand("isoinfo -d -i '" + image + "'").find("Volume id: MYDISC"), std::string::npos);
    // An existing image stays unless --overwrite.
    std::string out = runCommand(bin + " iso -q -o '" + image + "' '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(WEXITSTATUS(rc), 1);
    EXPECT_NE(out.find("--overwrite"), std::string::npos) << out;
    runCommand(bin + " iso -q --overwrite -o '" + image + "' '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(rc, 0);
    // A missing input: exit 1, the engine's message, and no file left behind.
    std::string none = dir_ + "/none.iso";
    out = runCommand(bin + " iso -q -o '" + none + "' '" + dir_ + "/missing' 2>&1", &rc);
    EXPECT_EQ(WEXITSTATUS(rc), 1);
    EXPECT_NE(out.find("is invalid or does not exist"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(none));
    for (const auto& e : fs::directory_iterator(dir_)) EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    // A label of 33 characters is a usage error.
    runCommand(bin + " iso -q -o '" + none + "' --label " + std::string(33, 'L') + " '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(WEXITSTATUS(rc), 2);
}

// The export: folder items keep their folder, progress sees every sector, a
// cancel leaves no file, a refused overwrite keeps the old one.
TEST_F(IsoImageTest, ExportWritesFolderItemsAsFolders) {
    file("album/one.flac", 5000, 1);
    std::string loose = file("loose.txt", 10, 2);
    std::string album = dir_ + "/src/album";
    std::string image = dir_ + "/export.iso";
    const char* paths[] = {album.c_str(), loose.c_str()};
    TalloryIsoRequest r{};
    r.size = sizeof r;
    r.flags = TALLORY_ISO_JOLIET;
    r.paths = paths;
    r.pathCount = 2;
    r.output = image.c_str();
    r.volumeLabel = "EXPORT";
    RecordingProgress progress;
    ASSERT_EQ(TalloryWriteIsoImage(&r, &progress), S_OK) << progress.lastText();
    EXPECT_EQ(progress.position, progress.range);
    EXPECT_EQ(static_cast<uint64_t>(progress.range) * 2048, fs::file_size(image));
    std::vector<std::string> names = isoinfoNames(image, true);
    EXPECT_TRUE(contains(names, "/album/one.flac;1"));
    EXPECT_TRUE(contains(names, "/loose.txt;1"));

    // Not allowed to replace: E_ABORT, the old image untouched.
    auto before = fs::last_write_time(image);
    RecordingProgress refuse;
    EXPECT_EQ(TalloryWriteIsoImage(&r, &refuse), E_ABORT);
    EXPECT_EQ(fs::last_write_time(image), before);

    // Cancelled: E_ABORT and nothing at the destination, no hidden file beside it.
    std::string other = dir_ + "/cancelled.iso";
    r.output = other.c_str();
    RecordingProgress cancel;
    cancel.cancelled = true;
    EXPECT_EQ(TalloryWriteIsoImage(&r, &cancel), E_ABORT);
    EXPECT_FALSE(fs::exists(other));
    for (const auto& e : fs::directory_iterator(dir_)) EXPECT_NE(e.path().filename().string()[0], '.') << e.path();

    // Bad requests.
    EXPECT_EQ(TalloryWriteIsoImage(nullptr, nullptr), E_INVALIDARG);
    TalloryIsoRequest small = r;
    small.size = 4;
    EXPECT_EQ(TalloryWriteIsoImage(&small, nullptr), E_INVALIDARG);
    std::string label(33, 'x');
    TalloryIsoRequest longLabel = r;
    longLabel.volumeLabel = label.c_str();
    RecordingProgress told;
    EXPECT_EQ(TalloryWriteIsoImage(&longLabel, &told), E_INVALIDARG);
    EXPECT_NE(told.lastText().find("at most 32"), std::string::npos);
}

}  // namespace

// Names at Linux's limit of 255 bytes never make a record too long for a
// directory (the primary set takes short names, Joliet at most 64 characters):
// three names that share their first 64 characters, one of them in three-byte
// UTF-8 characters, all found by pycdlib and isoinfo, and distinct.
TEST_F(IsoImageTest, NamesAtTheLinuxLimitFitTheirRecords) {
    const std::string stem(240, 'n');
    file(stem + "-first.flac", 10, 1);
    file(stem + "-other.flac", 20, 2);
    std::string wide;
    while (wide.size() + 3 <= 250) wide += "\xE2\x99\xAB";  // U+266B, three bytes each
    file(wide + ".txt", 30, 3);
    file("folder " + std::string(247, 'f') + "/inside.bin", 40, 4);

    IsoTree tree;
    tree.addContents(tree.root(), dir_ + "/src", IsoTreeOptions{});
    std::string image;
    ASSERT_NO_THROW(image = writeImage(tree, imageFileOptions(true)));

    int rc = 0;
    std::string check = runCommand("/usr/bin/python3 '" + std::string(TALLORY_SOURCE_DIR) +
                                   "/tests/cd_engine/iso_check.py' '" + image + "' '" + dir_ + "/src' 2>&1", &rc);
    // The long names are shortened in Joliet, so only the contents and counts compare.
    EXPECT_EQ(check.find("primary tree"), std::string::npos) << check;
    EXPECT_EQ(check.find("joliet tree:"), std::string::npos) << check;
    std::vector<std::string> joliet = isoinfoNames(image, true);
    std::set<std::string> distinct(joliet.begin(), joliet.end());
    EXPECT_EQ(distinct.size(), joliet.size());
    size_t longest = 0;
    for (const std::string& name : joliet) {
        const std::string leaf = name.substr(name.rfind('/') + 1);
        longest = std::max(longest, leaf.size());
    }
    EXPECT_LE(longest, 64u + 2 + 3 * 64);  // ";1" and at most 64 characters of up to three bytes
    std::vector<std::string> primary = isoinfoNames(image, false);
    EXPECT_EQ(primary.size(), joliet.size());
    for (const std::string& name : primary) EXPECT_LE(name.size() - name.rfind('/') - 1, 14u) << name;
}
