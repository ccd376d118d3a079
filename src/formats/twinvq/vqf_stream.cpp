#include "formats/twinvq/vqf_stream.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "formats/twinvq/vqf_chunks.h"

namespace tallory::formats::twinvq {

using namespace platform::tvq;

namespace {

constexpr size_t kIdentifierBytes = kTvqKeywordBytes + kTvqVersionBytes;

}  // namespace

bool readVqfHeader(BitFile& file, TvqHeaderInfo& setup, std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why != nullptr) *why = reason;
        return false;
    };
    std::string identifier;
    if (file.readChars(kIdentifierBytes, &identifier) != kIdentifierBytes) return fail("");
    if (TvqCheckVersion(identifier.c_str()) == -1) return fail("");

    uint32_t headerSize = 0;
    if (file.readBits(32, &headerSize) < 32) return fail("");
    // The header must fit in the file before the 4-byte data marker.
    const uint64_t left = file.bytesLeft();
    if (headerSize > kMaxHeaderBytes || static_cast<uint64_t>(headerSize) + 4 > left) {
        return fail("header declares " + std::to_string(headerSize) + " bytes; the file has " +
                    std::to_string(left) + " left");
    }
    std::string headerText;
    if (file.readChars(headerSize, &headerText) != headerSize) return fail("short header");
    std::vector<uint8_t> headerBytes(headerText.begin(), headerText.end());

    std::optional<CCommChunk> comm;
    try {
        CHeaderManager header(CChunkChunk("TWIN", std::move(headerBytes)));
        std::string marker;
        if (file.readChars(4, &marker) != 4 || marker != "DATA") return fail("no DATA marker after the header");
        try {
            comm.emplace(header.getComm());
        } catch (const CHeaderManager::err_FailGetChunk&) {
            std::fprintf(stderr, "no COMM chunk\n");
            return fail("no COMM chunk");
        }
    } catch (const CHeaderManager::err_WrongChunkFormat& e) {
        return fail(e.what());
    } catch (const CCommChunk::err_TooShort& e) {
        return fail(e.what());
    }

    std::memset(&setup, 0, sizeof setup);
    std::memcpy(setup.ID, kTvqVersionId, kIdentifierBytes);
    setup.channelMode = comm->channelMode;
    setup.bitRate = comm->bitRate;
    setup.samplingRate = comm->samplingRate;
    setup.securityLevel = comm->securityLevel;
    if (setup.bitRate <= 0 || setup.samplingRate <= 0) return fail("COMM gives a bit rate or sampling rate of 0");
    return true;
}

bool VqfFrameReader::init(const TvqIndex& index) {
    TvqGetConfInfo(&index, &conf_);
    TvqGetVectorInfo(&index, &vectors_);
    TvqUpdateVectorInfo(&index, kTvqBlockLong, &vectors_);
    channels_ = TvqGetNumChannels(&index);
    const int bits = TvqGetNumFixedBitsPerFrame(&index);
    frameBits_ = bits > 0 ? static_cast<uint32_t>(bits) : 0;
    for (int b = 0; b < 3; ++b) layoutBits_[b] = layoutBits(b);
    return channels_ > 0 && frameBits_ > 0;
}

bool VqfFrameReader::frameValidAt(BitFile& file) const {
    const uint64_t start = file.bitPosition();
    if (file.fileSize() * 8 < start + frameBits_) return false;
    uint32_t wtype = 0;
    if (file.readBits(conf_.windowTypeBits, &wtype) != conf_.windowTypeBits) return false;
    file.seekToBit(start + frameBits_);
    int btype = 0;
    return TvqWtypeToBtype(static_cast<int>(wtype), &btype) == 0 && layoutBits_[btype] == frameBits_;
}

uint32_t VqfFrameReader::layoutBits(int btype) const {
    uint32_t total = static_cast<uint32_t>(conf_.windowTypeBits);
    auto field = [&](int width) { total += static_cast<uint32_t>(width); };
    const TvqBlockConf& block = conf_.block[btype];
    const TvqVectorWidths& main = vectors_.block[btype];

    // 1. the index pairs of the main spectrum
    for (size_t i = 0; i < main.first.size(); ++i) {
        field(main.first[i]);
        field(main.second[i]);
    }
    // 2. the bark-scale envelope, then its history switches
    for (int c = 0; c < channels_; ++c)
        for (int s = 0; s < block.subBlocks; ++s)
            for (int k = 0; k < block.barkCoefs; ++k) field(block.barkBits);
    for (int c = 0; c < channels_; ++c)
        for (int s = 0; s < block.subBlocks; ++s) field(1);
    // 3. gains: one per channel, and per sub-block where the block type has them
    for (int c = 0; c < channels_; ++c) {
        field(conf_.gainBits);
        if (conf_.subGains[btype])
            for (int s = 0; s < block.subBlocks; ++s) field(conf_.subGainBits);
    }
    // 4. the line spectral pairs
    for (int c = 0; c < channels_; ++c) {
        field(conf_.lspBits0);
        field(conf_.lspBits1);
        for (int s = 0; s < conf_.lspSplit; ++s) field(conf_.lspBits2);
    }
    // 5. the periodic peak part of long blocks
    if (conf_.periodicPeak[btype]) {
        const TvqVectorWidths& ppc = vectors_.block[kTvqBlockPeriodicPeak];
        for (size_t i = 0; i < ppc.first.size(); ++i) {
            field(ppc.first[i]);
            field(ppc.second[i]);
        }
        for (int c = 0; c < channels_; ++c) {
            field(conf_.ppcPeriodBits);
            field(conf_.ppcGainBits);
        }
    }
    return total;
}

bool VqfFrameReader::readFrame(BitFile& file, TvqIndex& index) const {
    // The frame's bits go to the index record in one piece; the field layout of
    // each block type was summed at init, so a frame is valid when its window
    // type is and the whole frame is in the file.
    index.clearBits();
    uint32_t got = 0;
    uint32_t left = frameBits_;
    while (left > 0) {
        const int width = left < 32 ? static_cast<int>(left) : 32;
        uint32_t v = 0;
        const int n = file.readBits(width, &v);
        index.putBits(v, width);
        got += static_cast<uint32_t>(n);
        left -= static_cast<uint32_t>(width);
        if (n < width) break;
    }
    if (got != frameBits_) return false;
    const int wtype = index.bits[0] >> (8 - conf_.windowTypeBits);
    int btype = 0;
    if (TvqWtypeToBtype(wtype, &btype) != 0) return false;
    index.wtype = wtype;
    index.btype = btype;
    return layoutBits_[btype] == frameBits_;
}

}  // namespace tallory::formats::twinvq
