#include "platform/tvq/tvq_decoder.h"

#include "platform/ffmpeg/ffmpeg_api.h"

#include <cstdio>
#include <cstring>

namespace tallory::platform::tvq {

namespace {

// The modes TwinVQ defines: sampling rate (kHz), bit rate per channel (kbit/s),
// and the widths of the frame's fields (NTT's tables, as libavcodec has them).
struct Mode {
    int khz;
    int kbpsPerChannel;
    int frameSize;
    TvqBlockConf block[3];
    int lspBits0, lspBits1, lspBits2, lspSplit;
    int ppcPeriodBits, ppcShapeBits, ppcGainBits;
};

constexpr Mode kModes[] = {
    {8, 8, 512, {{8, 1, 5}, {2, 2, 5}, {1, 3, 6}}, 1, 5, 3, 3, 8, 28, 6},
    {11, 8, 512, {{8, 1, 5}, {2, 2, 5}, {1, 3, 6}}, 1, 6, 4, 3, 9, 36, 7},
    {11, 10, 512, {{8, 1, 5}, {2, 2, 5}, {1, 3, 6}}, 1, 6, 4, 3, 9, 36, 7},
    {16, 16, 1024, {{8, 1, 5}, {2, 2, 5}, {1, 3, 6}}, 1, 6, 4, 3, 9, 56, 7},
    {22, 20, 1024, {{8, 1, 6}, {2, 2, 6}, {1, 4, 6}}, 1, 6, 4, 3, 9, 56, 7},
    {22, 24, 1024, {{8, 1, 6}, {2, 2, 6}, {1, 4, 6}}, 1, 6, 4, 3, 9, 56, 7},
    {22, 32, 512, {{4, 1, 6}, {2, 2, 6}, {1, 4, 6}}, 1, 6, 4, 4, 9, 56, 7},
    {44, 40, 2048, {{16, 1, 6}, {4, 2, 6}, {1, 4, 6}}, 1, 6, 4, 4, 9, 84, 7},
    {44, 48, 2048, {{16, 1, 6}, {4, 2, 6}, {1, 4, 6}}, 1, 6, 4, 4, 9, 84, 7},
};

constexpr int kWindowTypes = 9;
constexpr int kBtypeOfWtype[kWindowTypes] = {kTvqBlockLong,   kTvqBlockLong,   kTvqBlockShort,
                                             kTvqBlockLong,   kTvqBlockMedium, kTvqBlockLong,
                                             kTvqBlockLong,   kTvqBlockMedium, kTvqBlockMedium};
// A frame of all-zero fields in a medium window decodes to near silence
// (below half a 16-bit step): what the held-back frames are pushed out with.
constexpr int kFlushWindowType = 8;
// The decoder keeps this many frames before its first output.
constexpr int kDecoderDelayFrames = 2;
// libavcodec's float samples are in [-1, 1]; the source works in 16-bit units.
constexpr float kSampleScale = 32768.0f;

int sampleRateOf(int khz) {
    switch (khz) {
        case 11: return 11025;
        case 22: return 22050;
        case 44: return 44100;
        default: return khz * 1000;
    }
}

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Splits `bitSize` bits into pairs of indexes of at most 14 bits: the first
// `change` pairs get the rounded-up widths, the rest the rounded-down ones.
TvqVectorWidths splitVectorBits(int bitSize) {
    TvqVectorWidths w;
    if (bitSize <= 0) return w;
    const int nDiv = (bitSize + 13) / 14;
    const int up = (bitSize + nDiv - 1) / nDiv;
    const int down = bitSize / nDiv;
    const int change = nDiv - (up * nDiv - bitSize);
    for (int i = 0; i < nDiv; ++i) {
        const int width = i < change ? up : down;
        w.first.push_back(static_cast<uint8_t>((width + 1) / 2));
        w.second.push_back(static_cast<uint8_t>(width / 2));
    }
    return w;
}

}  // namespace

struct TvqStream {
    Mode mode{};
    int channels = 0;
    int sampleRate = 0;
    int frameBits = 0;
    std::unique_ptr<AVCodecContext, CodecContextFree> codec;
    std::unique_ptr<AVFrame, FrameFree> frame;
    std::unique_ptr<AVPacket, PacketFree> packet;
    uint64_t framesSent = 0;
    uint64_t framesOut = 0;
    int flushFramesSent = 0;

    // Main spectrum bits of a block type: what the other fields leave.
    int mainBits(int btype) const {
        const int ch = channels;
        const int lsp = ch * (mode.lspBits0 + mode.lspBits1 + mode.lspSplit * mode.lspBits2);
        const TvqBlockConf& b = mode.block[btype];
        const int bark = ch * (b.barkCoefs * b.barkBits + 1);  // +1: the history switch
        int others = 0;
        if (btype == kTvqBlockLong) {
            const int ppc = ch * (mode.ppcGainBits + mode.ppcShapeBits + mode.ppcPeriodBits);
            others = bark + lsp + ppc + 4 + ch * 8;
        } else {
            others = lsp + ch * 8 + 4 + b.subBlocks * (bark + ch * 5);
        }
        return frameBits - others;
    }

    // Sends one packet (a skip count of 0, then the frame's bits) and takes out
    // the frame it released, if any.
    int decode(const uint8_t* bytes, size_t byteCount, float* out) {
        if (av_new_packet(packet.get(), static_cast<int>(byteCount + 1)) < 0) return -1;
        packet->data[0] = 0;
        std::memcpy(packet->data + 1, bytes, byteCount);
        int rc = avcodec_send_packet(codec.get(), packet.get());
        av_packet_unref(packet.get());
        if (rc < 0) return -1;
        ++framesSent;
        rc = avcodec_receive_frame(codec.get(), frame.get());
        if (rc == AVERROR(EAGAIN)) return 0;
        if (rc < 0) return -1;
        const int n = frame->nb_samples < mode.frameSize ? frame->nb_samples : mode.frameSize;
        for (int c = 0; c < channels; ++c) {
            const float* in = reinterpret_cast<const float*>(frame->extended_data[c]);
            float* to = out + static_cast<size_t>(c) * mode.frameSize;
            for (int i = 0; i < n; ++i) to[i] = in[i] * kSampleScale;
            for (int i = n; i < mode.frameSize; ++i) to[i] = 0.0f;
        }
        av_frame_unref(frame.get());
        ++framesOut;
        return 1;
    }
};

TvqIndex::TvqIndex() = default;
TvqIndex::~TvqIndex() = default;

void TvqIndex::putBits(uint32_t value, int width) {
    // Whole bytes when the cursor is on a byte boundary, else whole runs of
    // bits: a frame has thousands of bits.
    while (width >= 8 && bitCount % 8 == 0) {
        bits.push_back(static_cast<uint8_t>(value >> (width - 8)));
        width -= 8;
        bitCount += 8;
    }
    while (width > 0) {
        const int used = static_cast<int>(bitCount % 8);
        if (used == 0) bits.push_back(0);
        const int take = width < 8 - used ? width : 8 - used;
        const uint32_t run = (value >> (width - take)) & ((1u << take) - 1u);
        bits.back() |= static_cast<uint8_t>(run << (8 - used - take));
        width -= take;
        bitCount += static_cast<uint32_t>(take);
    }
}

void TvqIndex::clearBits() {
    bits.clear();
    bitCount = 0;
}

int TvqCheckVersion(const char* versionId) {
    if (versionId == nullptr) return -1;
    return std::strncmp(versionId, kTvqVersionId, kTvqKeywordBytes + kTvqVersionBytes) == 0 ? 0 : -1;
}

int TvqInitialize(const TvqHeaderInfo* setup, TvqIndex* index, int showErrors) {
    auto failWith = [&](const char* why, int code) {
        if (showErrors != 0) std::fprintf(stderr, "tallory: TwinVQ: %s\n", why);
        if (index != nullptr) index->stream.reset();
        return code;
    };
    if (setup == nullptr || index == nullptr) return failWith("no set-up record", 1);
    if (TvqCheckVersion(setup->ID) != 0) return failWith("unknown version", 2);
    const int channels = setup->channelMode + 1;
    if (channels < 1 || channels > kTvqMaxChannels) return failWith("unsupported channel mode", 3);
    if (setup->bitRate <= 0 || setup->samplingRate <= 0) return failWith("bit rate or sampling rate is 0", 4);
    const Mode* mode = nullptr;
    for (const Mode& m : kModes) {
        if (m.khz == setup->samplingRate && m.kbpsPerChannel * channels == setup->bitRate) mode = &m;
    }
    if (mode == nullptr) return failWith("unsupported sampling rate and bit rate", 5);
    if (!ffmpeg::available()) return failWith(ffmpeg::loadError().c_str(), 6);

    auto stream = std::make_unique<TvqStream>();
    stream->mode = *mode;
    stream->channels = channels;
    stream->sampleRate = sampleRateOf(mode->khz);
    stream->frameBits =
        static_cast<int>(static_cast<int64_t>(setup->bitRate) * 1000 * mode->frameSize / stream->sampleRate);
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_TWINVQ);
    if (decoder == nullptr) return failWith("libavcodec has no TwinVQ decoder", 7);
    stream->codec.reset(avcodec_alloc_context3(decoder));
    stream->frame.reset(av_frame_alloc());
    stream->packet.reset(av_packet_alloc());
    if (!stream->codec || !stream->frame || !stream->packet) return failWith("out of memory", 8);
    // The decoder takes the first three COMM numbers, big-endian, as its extradata.
    constexpr int kExtradataBytes = 12;
    auto* extra = static_cast<uint8_t*>(av_mallocz(kExtradataBytes + AV_INPUT_BUFFER_PADDING_SIZE));
    if (extra == nullptr) return failWith("out of memory", 8);
    const int32_t numbers[3] = {setup->channelMode, setup->bitRate, setup->samplingRate};
    for (int i = 0; i < 3; ++i) {
        const auto v = static_cast<uint32_t>(numbers[i]);
        extra[4 * i] = static_cast<uint8_t>(v >> 24);
        extra[4 * i + 1] = static_cast<uint8_t>(v >> 16);
        extra[4 * i + 2] = static_cast<uint8_t>(v >> 8);
        extra[4 * i + 3] = static_cast<uint8_t>(v);
    }
    stream->codec->extradata = extra;
    stream->codec->extradata_size = kExtradataBytes;
    stream->codec->sample_rate = stream->sampleRate;
    av_channel_layout_default(&stream->codec->ch_layout, channels);
    if (avcodec_open2(stream->codec.get(), decoder, nullptr) < 0) return failWith("the decoder refused the mode", 9);
    index->stream = std::move(stream);
    index->clearBits();
    return 0;
}

void TvqTerminate(TvqIndex* index) {
    if (index != nullptr) index->stream.reset();
}

void TvqGetConfInfo(const TvqIndex* index, TvqConfInfo* conf) {
    if (index == nullptr || conf == nullptr || !index->stream) return;
    const Mode& m = index->stream->mode;
    *conf = TvqConfInfo{};
    for (int b = 0; b < 3; ++b) conf->block[b] = m.block[b];
    conf->lspBits0 = m.lspBits0;
    conf->lspBits1 = m.lspBits1;
    conf->lspBits2 = m.lspBits2;
    conf->lspSplit = m.lspSplit;
    conf->ppcPeriodBits = m.ppcPeriodBits;
    conf->ppcGainBits = m.ppcGainBits;
}

void TvqGetVectorInfo(const TvqIndex* index, TvqVectorInfo* info) {
    if (index == nullptr || info == nullptr || !index->stream) return;
    *info = TvqVectorInfo{};
    info->block[kTvqBlockShort] = splitVectorBits(index->stream->mainBits(kTvqBlockShort));
    info->block[kTvqBlockMedium] = splitVectorBits(index->stream->mainBits(kTvqBlockMedium));
    info->block[kTvqBlockPeriodicPeak] =
        splitVectorBits(index->stream->channels * index->stream->mode.ppcShapeBits);
}

void TvqUpdateVectorInfo(const TvqIndex* index, int btype, TvqVectorInfo* info) {
    if (index == nullptr || info == nullptr || !index->stream || btype < 0 || btype >= 3) return;
    info->block[btype] = splitVectorBits(index->stream->mainBits(btype));
}

int TvqGetFrameSize(const TvqIndex* index) {
    return index != nullptr && index->stream ? index->stream->mode.frameSize : 0;
}

int TvqGetNumChannels(const TvqIndex* index) { return index != nullptr && index->stream ? index->stream->channels : 0; }

int TvqGetNumFixedBitsPerFrame(const TvqIndex* index) {
    return index != nullptr && index->stream ? index->stream->frameBits : 0;
}

int TvqWtypeToBtype(int wtype, int* btype) {
    if (wtype < 0 || wtype >= kWindowTypes) return 1;
    if (btype != nullptr) *btype = kBtypeOfWtype[wtype];
    return 0;
}

int TvqDecodeFrame(TvqIndex* index, float* out) {
    if (index == nullptr || out == nullptr || !index->stream) return -1;
    TvqStream& s = *index->stream;
    if (index->bitCount != static_cast<uint32_t>(s.frameBits) || s.flushFramesSent > 0) return -1;
    return s.decode(index->bits.data(), index->bits.size(), out);
}

int TvqDecodeFlush(TvqIndex* index, float* out) {
    if (index == nullptr || out == nullptr || !index->stream) return -1;
    TvqStream& s = *index->stream;
    const uint64_t realFrames = s.framesSent - static_cast<uint64_t>(s.flushFramesSent);
    std::vector<uint8_t> silent(static_cast<size_t>(s.frameBits + 7) / 8, 0);
    silent[0] = static_cast<uint8_t>(kFlushWindowType << 4);
    while (s.framesOut < realFrames && s.flushFramesSent < kDecoderDelayFrames) {
        ++s.flushFramesSent;
        const int rc = s.decode(silent.data(), silent.size(), out);
        if (rc != 0) return rc;
    }
    return 0;
}

}  // namespace tallory::platform::tvq
