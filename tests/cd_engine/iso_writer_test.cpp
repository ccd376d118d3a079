// The writer's two ways of moving file data (the sink's own copy and the
// writer's reads) and the size limits checked before anything is written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cd/engine/engine_error.h"
#include "cd/engine/iso_image.h"
#include "cd/engine/iso_tree.h"
#include "cd/recording/iso_file_sink.h"
#include "external_tools.h"
#include "recording_progress.h"
#include "tallory/iso_image.h"

using namespace tallory::cd::engine;
using tallory::cd::recording::IsoFileSink;
namespace fs = std::filesystem;

namespace {

class MemorySink : public IsoSectorSink {
public:
    void writeSectors(const uint8_t* data, uint32_t count) override {
        bytes.insert(bytes.end(), data, data + static_cast<size_t>(count) * kIsoSectorSize);
    }
    std::vector<uint8_t> bytes;
};

// Copies at most one sector per call, and nothing on every third call, as a
// sink whose copies stop short would.
class ShortCopySink : public MemorySink {
public:
    uint64_t copyFromFile(int fd, uint64_t offset, uint64_t bytes) override {
        if (++calls % 3 == 0) return 0;
        uint64_t n = std::min<uint64_t>(bytes, kIsoSectorSize);
        size_t at = this->bytes.size();
        this->bytes.resize(at + n);
        if (::pread(fd, this->bytes.data() + at, n, static_cast<off_t>(offset)) != static_cast<ssize_t>(n)) return 0;
        copied += n;
        return n;
    }
    int calls = 0;
    uint64_t copied = 0;
};

class IsoWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tallory_isow_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::create_directories(dir_ + "/src");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& relative, size_t bytes, unsigned seed) {
        std::string p = dir_ + "/src/" + relative;
        fs::create_directories(fs::path(p).parent_path());
        std::vector<char> data(bytes);
        std::mt19937 rng(seed);
        for (char& c : data) c = static_cast<char>(rng());
        std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(bytes));
        return p;
    }

    static IsoImageOptions fileOptions() {
        IsoImageOptions o;
        o.joliet = true;
        o.runOut = false;
        o.minimumSectors = 0;
        o.capacity = kImageFileCapacity;
        o.transferSize = kImageFileTransferSize;
        o.readPieceSectors = 7;  // pieces that do not line up with sectors of the copies
        o.now = 1700000000;
        return o;
    }

    std::string dir_;
};

TEST_F(IsoWriterTest, CopiedAndReadFileDataGiveTheSameImage) {
    // Around a sector, and one file larger than one copy piece (8 MiB).
    for (size_t size : {0u, 1u, 2047u, 2048u, 2049u, 65537u}) file("f" + std::to_string(size) + ".bin", size, static_cast<unsigned>(size));
    file("big/large.bin", (9u << 20) + 3, 99);
    IsoTree tree;
    tree.addContents(tree.root(), dir_ + "/src", IsoTreeOptions{});

    MemorySink read;
    IsoImage(tree, fileOptions()).write(read);
    ShortCopySink mixed;
    IsoImage(tree, fileOptions()).write(mixed);
    EXPECT_GT(mixed.copied, 0u);
    EXPECT_EQ(mixed.bytes, read.bytes);

    std::string path = dir_ + "/copied.iso";
    {
        IsoFileSink sink(path);
        IsoImage(tree, fileOptions()).write(sink);
        sink.commit();
    }
    EXPECT_EQ(readFileBytes(path), read.bytes);
    // xorriso extracts the copied image's files byte for byte.
    int rc = 0;
    std::string out = runCommand("xorriso -osirrox on -indev '" + path + "' -extract / '" + dir_ + "/x' 2>&1", &rc);
    ASSERT_EQ(rc, 0) << out;
    out = runCommand("diff -r '" + dir_ + "/x' '" + dir_ + "/src' 2>&1", &rc);
    EXPECT_EQ(rc, 0) << out;
}

// Between file systems the kernel refuses the copy (EXDEV): the writer's reads take over.
TEST_F(IsoWriterTest, SourcesOnAnotherFileSystemAreRead) {
    struct stat shm{}, here{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir_.c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    std::string other = "/dev/shm/tallory_isow_" + std::to_string(::getpid()) + ".bin";
    {
        std::vector<char> data(300001);
        std::mt19937 rng(5);
        for (char& c : data) c = static_cast<char>(rng());
        std::ofstream(other, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    IsoTree tree;
    tree.addPath(tree.root(), other, "other.bin", IsoTreeOptions{});
    tree.addPath(tree.root(), file("local.bin", 70000, 6), "local.bin", IsoTreeOptions{});
    MemorySink read;
    IsoImage(tree, fileOptions()).write(read);
    std::string path = dir_ + "/mixed.iso";
    {
        IsoFileSink sink(path);
        IsoImage(tree, fileOptions()).write(sink);
        sink.commit();
    }
    ::unlink(other.c_str());
    EXPECT_EQ(readFileBytes(path), read.bytes);
}

TEST_F(IsoWriterTest, AFileThatShrankFailsTheCopyToo) {
    std::string p = file("shrinks.bin", 100000, 1);
    IsoTree tree;
    tree.addPath(tree.root(), p, "shrinks.bin", IsoTreeOptions{});
    IsoImage image(tree, fileOptions());
    image.layOut();
    ASSERT_EQ(::truncate(p.c_str(), 50000), 0);
    std::string out = dir_ + "/shrunk.iso";
    try {
        IsoFileSink sink(out);
        image.write(sink);
        FAIL() << "written";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrReadFile);
        EXPECT_EQ(e.mainText(), "Unexpected failure reading file (end-of-file?)");
    }
    // Neither the image nor its hidden partial file is left.
    for (const auto& e : fs::directory_iterator(dir_)) EXPECT_EQ(e.path().filename(), "src") << e.path();
}

TEST_F(IsoWriterTest, SizesAreCheckedBeforeWriting) {
    // 2048 files of 4 GiB less a byte are 2^32 sectors: counted in 32 bits the
    // end would wrap round to the first file and the image seem to fit.
    IsoTree tree;
    for (int i = 0; i < 2048; ++i) tree.addEntry(tree.root(), "f" + std::to_string(i), false, "", 0xFFFFFFFFull, IsoTime{}, {});
    IsoImageOptions o = fileOptions();
    o.capacity = UINT32_MAX;
    IsoImage image(tree, o);
    try {
        image.layOut();
        FAIL() << "laid out";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrImageTooLarge);
        EXPECT_EQ(e.mainText(), "ISO9660 image is too large to fit on disc");
        EXPECT_NE(e.detailText().find("needs 4294967"), std::string::npos) << e.detailText();
    }

    // Through the export: two sparse files of 2.5 GiB pass the 4 GiB image limit.
    for (const char* name : {"a.bin", "b.bin"}) {
        std::string p = dir_ + "/src/" + name;
        { std::ofstream create(p); }
        ASSERT_EQ(::truncate(p.c_str(), 5ll << 29), 0);
    }
    std::string src = dir_ + "/src", out = dir_ + "/big.iso";
    const char* paths[] = {src.c_str()};
    TalloryIsoRequest r{};
    r.size = sizeof r;
    r.flags = TALLORY_ISO_CONTENTS_AT_ROOT;
    r.paths = paths;
    r.pathCount = 1;
    r.output = out.c_str();
    RecordingProgress progress;
    EXPECT_EQ(TalloryWriteIsoImage(&r, &progress), E_FAIL);
    ASSERT_GE(progress.messages.size(), 1u);
    EXPECT_EQ(progress.messages[0].text, "ISO9660 image is too large to fit on disc\n");
    EXPECT_EQ(progress.range, 0u);  // refused before the write began
    EXPECT_FALSE(fs::exists(out));

    // A file system without room for the image is refused before a sector is written.
    IsoFileSink sink(dir_ + "/room.iso");
    try {
        sink.reserve(1ull << 62);
        FAIL() << "reserved";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), kErrWriteFile);
        EXPECT_NE(e.detailText().find("free"), std::string::npos) << e.detailText();
    }
    sink.reserve(2048);
}

}  // namespace
