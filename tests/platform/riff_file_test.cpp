// The RIFF chunk layer on real files: sizes and pad bytes written at ascend,
// searches that stay inside their parent, and lying sizes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/files/file_system.h"
#include "platform/riff/riff_file.h"

namespace {

using namespace tallory::platform::riff;
using Bytes = std::vector<uint8_t>;

std::string scratch(const char* name) {
    std::string dir = std::string(std::getenv("HOME")) + "/riff";
    tallory::platform::createDirectories(dir);
    return dir + "/" + name;
}

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t le32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

TEST(RiffFile, WritesSizesAndPadBytes) {
    std::string path = scratch("write.riff");
    RiffFile f;
    ASSERT_TRUE(f.open(path, OpenMode::create));
    ChunkInfo riff{kRiff, 0, fourCC("TEST"), 0, false};
    ChunkInfo odd{fourCC("odd "), 0, 0, 0, false};
    ChunkInfo list{kList, 0, fourCC("INFO"), 0, false};
    ChunkInfo name{fourCC("INAM"), 0, 0, 0, false};
    ASSERT_TRUE(f.createChunk(riff, true));
    ASSERT_TRUE(f.createChunk(odd, false));
    ASSERT_TRUE(f.write("abc", 3));
    ASSERT_TRUE(f.ascend(odd));
    EXPECT_EQ(odd.size, 3u);
    ASSERT_TRUE(f.createChunk(list, true));
    ASSERT_TRUE(f.createChunk(name, false));
    ASSERT_TRUE(f.write("xy", 2));
    ASSERT_TRUE(f.ascend(name));
    ASSERT_TRUE(f.ascend(list));
    ASSERT_TRUE(f.ascend(riff));
    ASSERT_TRUE(f.close());

    Bytes b = readAll(path);
    ASSERT_EQ(b.size(), 12u + 8 + 4 + 12 + 8 + 2);
    EXPECT_EQ(le32(b, 4), b.size() - 8);
    EXPECT_EQ(le32(b, 16), 3u);
    EXPECT_EQ(b[23], 0);  // the pad byte
    EXPECT_EQ(le32(b, 28), 4u + 8 + 2);

    // Reading back: searches by identifier and form type, inside their parents only.
    ASSERT_TRUE(f.open(path, OpenMode::read));
    ChunkInfo top;
    top.formType = fourCC("TEST");
    ASSERT_TRUE(f.descend(top, nullptr, DescendKind::findRiff));
    ChunkInfo info;
    info.formType = fourCC("INFO");
    ASSERT_TRUE(f.descend(info, &top, DescendKind::findList));
    ChunkInfo inam;
    inam.id = fourCC("INAM");
    ASSERT_TRUE(f.descend(inam, &info, DescendKind::findChunk));
    char text[2];
    ASSERT_EQ(f.read(text, 2), 2u);
    EXPECT_EQ(std::string(text, 2), "xy");
    ASSERT_TRUE(f.ascend(inam));
    ChunkInfo none;
    none.id = fourCC("odd ");  // exists, but not inside INFO
    EXPECT_FALSE(f.descend(none, &info, DescendKind::findChunk));
    EXPECT_FALSE(f.write("no", 2));  // read mode
}

TEST(RiffFile, LyingSizesEndTheSearch) {
    std::string path = scratch("lying.riff");
    // A RIFF claiming 4 GB holding a chunk that claims 4 GB, then end of file.
    Bytes b = {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E',
               'b', 'i', 'g', ' ', 0xF0, 0xFF, 0xFF, 0xFF, 1, 2, 3};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
    RiffFile f;
    ASSERT_TRUE(f.open(path, OpenMode::read));
    EXPECT_EQ(f.fileSize(), 23);
    ChunkInfo wave;
    wave.formType = fourCC("WAVE");
    ASSERT_TRUE(f.descend(wave, nullptr, DescendKind::findRiff));
    ChunkInfo data;
    data.id = fourCC("data");
    EXPECT_FALSE(f.descend(data, &wave, DescendKind::findChunk));
    // Skipping the big chunk would leave the 32-bit range: the walk ends instead.
    ChunkInfo next;
    ASSERT_TRUE(f.seek(12, SEEK_SET));
    ASSERT_TRUE(f.descend(next, &wave, DescendKind::next));
    EXPECT_EQ(next.size, 0xFFFFFFF0u);
    EXPECT_FALSE(f.ascend(next));
    EXPECT_FALSE(f.seek(-1, SEEK_SET));
}

}  // namespace
