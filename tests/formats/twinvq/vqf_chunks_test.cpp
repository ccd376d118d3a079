// The header chunk classes on hand-made chunk lists: the tables, the lookups'
// errors, and sizes that point past the end.
#include <gtest/gtest.h>

#include "formats/twinvq/vqf_chunks.h"

namespace {

using namespace tallory::formats::twinvq;

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string chunk(const std::string& id, const std::string& body) { return id + be32(static_cast<uint32_t>(body.size())) + body; }
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(VqfChunks, PlainChunkCursor) {
    CChunk c("NAME", bytes("ab" + be32(0x80000001u)));
    EXPECT_STREQ(c.typeName(), "Raw");
    EXPECT_EQ(c.readChars(2), "ab");
    EXPECT_EQ(c.readChars(5), "");  // past the end: empty, cursor stays
    int32_t v = 0;
    ASSERT_TRUE(c.readInt32(&v));
    EXPECT_EQ(static_cast<uint32_t>(v), 0x80000001u);
    EXPECT_FALSE(c.readInt32(&v));
}

TEST(VqfChunks, ChunkListEndsAndRefusesOversizedChunks) {
    CChunkChunk list("TWIN", bytes(chunk("AAAA", "xyz") + chunk("BBBB", "")));
    EXPECT_STREQ(list.typeName(), "Chunk");
    CChunk a = list.nextSubChunk();
    EXPECT_EQ(a.id(), "AAAA");
    EXPECT_EQ(a.contents().size(), 3u);
    CChunk b = list.nextSubChunk();
    EXPECT_EQ(b.id(), "BBBB");
    EXPECT_TRUE(b.contents().empty());
    EXPECT_THROW(list.nextSubChunk(), CChunkChunk::err_FailGetChunk);

    CChunkChunk bad("TWIN", bytes("CCCC" + be32(100) + "short"));
    EXPECT_THROW(bad.nextSubChunk(), CChunkChunk::err_ChunkTooLarge);
    CChunkChunk noSize("TWIN", bytes("DDDD" + std::string("\0\0", 2)));
    EXPECT_THROW(noSize.nextSubChunk(), CChunkChunk::err_ChunkTooLarge);
}

TEST(VqfChunks, HeaderManagerTablesAndLookups) {
    const std::string comm = be32(1) + be32(48) + be32(44) + be32(0);
    const std::string scnd = chunk("YEAR", "1998") + chunk("DSIZ", be32(5));
    CHeaderManager header(CChunkChunk("TWIN", bytes(chunk("COMM", comm) + chunk("NAME", "t") + chunk("SCND", scnd))));
    EXPECT_EQ(header.primaryCount(), 3u);
    EXPECT_EQ(header.secondaryCount(), 2u);
    EXPECT_EQ(header.getSecondaryChunk("YEAR").contents().size(), 4u);
    EXPECT_THROW(header.getSecondaryChunk("NAME"), CHeaderManager::err_FailGetChunk);
    EXPECT_THROW(header.getPrimaryChunk("YEAR"), CHeaderManager::err_FailGetChunk);
    CCommChunk c = header.getComm();
    EXPECT_STREQ(c.typeName(), "COMM");
    EXPECT_EQ(c.channelMode, 1);
    EXPECT_EQ(c.bitRate, 48);
    EXPECT_EQ(c.samplingRate, 44);
    EXPECT_EQ(c.securityLevel, 0);

    CHeaderManager noComm(CChunkChunk("TWIN", bytes(chunk("NAME", "t"))));
    EXPECT_THROW(noComm.getComm(), CHeaderManager::err_FailGetChunk);
    CHeaderManager shortComm(CChunkChunk("TWIN", bytes(chunk("COMM", be32(0) + be32(20)))));
    EXPECT_THROW(shortComm.getComm(), CHeaderManager::err_WrongChunkFormat);
    EXPECT_THROW(CHeaderManager(CChunkChunk("TWIN", bytes("COMM" + be32(0xFFFFFFFFu)))),
                 CHeaderManager::err_WrongChunkFormat);
    // A bad chunk inside the secondary list fails the whole header too.
    EXPECT_THROW(CHeaderManager(CChunkChunk("TWIN", bytes(chunk("SCND", "YEAR" + be32(9) + "19")))),
                 CHeaderManager::err_WrongChunkFormat);
}

}  // namespace
