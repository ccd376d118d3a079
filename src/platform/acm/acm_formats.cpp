// The codec table and the format records of each tag.
#include "platform/acm/acm.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/acm/codec_table.h"

namespace tallory::platform::acm {

namespace {

// MS ADPCM's seven standard predictor coefficient pairs (the format's extra bytes carry them).
constexpr int16_t kMsAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64},
                                                {240, 0}, {460, -208}, {392, -232}};

constexpr uint32_t kStandardRates[] = {8000, 11025, 22050, 44100};
constexpr uint32_t kPcmRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
constexpr uint16_t kPcmBits[] = {8, 16, 24, 32};
constexpr uint32_t kMp3Bitrates[] = {32, 64, 96, 128, 160, 192, 256, 320};
constexpr uint32_t kMp3Rates[] = {32000, 44100, 48000};

// Limits on what a file may declare, so that nothing downstream divides by zero
// or allocates without bound.
constexpr uint16_t kMaxChannels = 8;
constexpr uint32_t kMaxRate = 768000;
constexpr uint16_t kMaxBlockAlign = 16384;

void putLe16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void putLe32(std::vector<uint8_t>& v, uint32_t x) {
    putLe16(v, static_cast<uint16_t>(x));
    putLe16(v, static_cast<uint16_t>(x >> 16));
}

// The block size the ADPCM codecs of the original platform chose for a rate.
uint16_t adpcmBlockAlign(uint32_t rate, uint16_t channels) {
    uint16_t perChannel = rate <= 11025 ? 256 : rate <= 22050 ? 512 : 1024;
    return static_cast<uint16_t>(perChannel * channels);
}

std::string withThousands(uint32_t v) {
    std::string digits = std::to_string(v);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string channelText(uint16_t channels) {
    if (channels == 1) return "Mono";
    if (channels == 2) return "Stereo";
    return std::to_string(channels) + " channels";
}

}  // namespace

FormatBlob pcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
    WAVEFORMATEX w{};
    w.wFormatTag = kTagPcm;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = static_cast<uint16_t>(channels * ((bits + 7) / 8));
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    w.wBitsPerSample = bits;
    return makeBlob(w);
}

FormatBlob msAdpcmFormat(uint32_t rate, uint16_t channels, uint16_t) {
    WAVEFORMATEX w{};
    w.wFormatTag = kTagMsAdpcm;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = adpcmBlockAlign(rate, channels);
    w.wBitsPerSample = 4;
    uint16_t samplesPerBlock = static_cast<uint16_t>((w.nBlockAlign - 7 * channels) * 8 / (4 * channels) + 2);
    w.nAvgBytesPerSec = static_cast<uint32_t>(uint64_t{rate} * w.nBlockAlign / samplesPerBlock);
    w.cbSize = 32;
    std::vector<uint8_t> extra;
    putLe16(extra, samplesPerBlock);
    putLe16(extra, 7);
    for (const auto& c : kMsAdpcmCoefficients) {
        putLe16(extra, static_cast<uint16_t>(c[0]));
        putLe16(extra, static_cast<uint16_t>(c[1]));
    }
    return makeBlob(w, extra);
}

FormatBlob imaAdpcmFormat(uint32_t rate, uint16_t channels, uint16_t) {
    WAVEFORMATEX w{};
    w.wFormatTag = kTagImaAdpcm;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = adpcmBlockAlign(rate, channels);
    w.wBitsPerSample = 4;
    uint16_t samplesPerBlock = static_cast<uint16_t>((w.nBlockAlign - 4 * channels) * 8 / (4 * channels) + 1);
    w.nAvgBytesPerSec = static_cast<uint32_t>(uint64_t{rate} * w.nBlockAlign / samplesPerBlock);
    w.cbSize = 2;
    std::vector<uint8_t> extra;
    putLe16(extra, samplesPerBlock);
    return makeBlob(w, extra);
}

FormatBlob lawFormat(uint16_t tag, uint32_t rate, uint16_t channels) {
    WAVEFORMATEX w{};
    w.wFormatTag = tag;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = channels;
    w.nAvgBytesPerSec = rate * channels;
    w.wBitsPerSample = 8;
    return makeBlob(w);
}
FormatBlob aLawFormat(uint32_t rate, uint16_t channels, uint16_t) { return lawFormat(kTagALaw, rate, channels); }
FormatBlob muLawFormat(uint32_t rate, uint16_t channels, uint16_t) { return lawFormat(kTagMuLaw, rate, channels); }

FormatBlob gsmFormat(uint32_t rate, uint16_t channels, uint16_t) {
    // Microsoft's GSM 6.10 layout: two 160-sample frames packed into 65 bytes.
    WAVEFORMATEX w{};
    w.wFormatTag = kTagGsm610;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = 65;
    w.nAvgBytesPerSec = static_cast<uint32_t>(uint64_t{rate} * 65 / 320);
    w.wBitsPerSample = 0;
    w.cbSize = 2;
    std::vector<uint8_t> extra;
    putLe16(extra, 320);
    return makeBlob(w, extra);
}

FormatBlob mp3Format(uint32_t rate, uint16_t channels, uint32_t kbps) {
    // MPEGLAYER3WAVEFORMAT: wID 1 (MPEG), padding flags 2 (off), block size of one
    // 1152-sample frame, one frame per block, codec delay 1393.
    WAVEFORMATEX w{};
    w.wFormatTag = kTagMpegLayer3;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nAvgBytesPerSec = kbps * 125;
    w.nBlockAlign = 1;
    w.cbSize = 12;
    std::vector<uint8_t> extra;
    putLe16(extra, 1);
    putLe32(extra, 2);
    putLe16(extra, static_cast<uint16_t>(144 * kbps * 1000 / rate));
    putLe16(extra, 1);
    putLe16(extra, 1393);
    return makeBlob(w, extra);
}

namespace {

// The codec table: one row per tag, in tag order. A later encoder for a tag
// fills in its row's encoder and formats.
const CodecDescriptor kCodecs[] = {
    {kTagPcm, "PCM", kCanDecode | kCanEncode, CodecKind::pcm, nullptr, nullptr, pcmFormat, false},
    {kTagMsAdpcm, "Microsoft ADPCM", kCanDecode | kCanEncode, CodecKind::block, "adpcm_ms", "adpcm_ms",
     msAdpcmFormat, false},
    {kTagALaw, "CCITT A-Law", kCanDecode | kCanEncode, CodecKind::sample, "pcm_alaw", "pcm_alaw", aLawFormat, false},
    {kTagMuLaw, "CCITT u-Law", kCanDecode | kCanEncode, CodecKind::sample, "pcm_mulaw", "pcm_mulaw", muLawFormat,
     false},
    {kTagImaAdpcm, "IMA ADPCM", kCanDecode | kCanEncode, CodecKind::block, "adpcm_ima_wav", "adpcm_ima_wav",
     imaAdpcmFormat, false},
    {kTagGsm610, "GSM 6.10", kCanDecode | kCanEncode, CodecKind::block, "gsm_ms", "libgsm_ms", gsmFormat, true},
    {kTagMpegLayer3, "MPEG Layer-3", kCanDecode, CodecKind::stream, "mp3", nullptr, nullptr, false},
};

}  // namespace

const CodecDescriptor* findCodec(uint16_t tag) {
    for (const CodecDescriptor& c : kCodecs) {
        if (c.tag == tag) return &c;
    }
    return nullptr;
}

WAVEFORMATEX header(const FormatBlob& blob) {
    WAVEFORMATEX w{};
    std::memcpy(&w, blob.data(), std::min(blob.size(), sizeof w));
    return w;
}

FormatBlob makeBlob(const WAVEFORMATEX& h, const std::vector<uint8_t>& extra) {
    FormatBlob blob(sizeof(WAVEFORMATEX) + h.cbSize, 0);
    std::memcpy(blob.data(), &h, sizeof h);
    size_t n = std::min<size_t>(extra.size(), h.cbSize);
    if (n > 0) std::memcpy(blob.data() + sizeof h, extra.data(), n);
    return blob;
}

FormatBlob blobFromBytes(const void* data, size_t size) {
    WAVEFORMATEX h{};
    if (data == nullptr) size = 0;
    if (size > 0) std::memcpy(&h, data, std::min(size, sizeof h));
    if (size < sizeof h) h.cbSize = 0;
    FormatBlob blob(sizeof h + h.cbSize, 0);
    if (size > 0) std::memcpy(blob.data(), data, std::min(size, blob.size()));
    std::memcpy(blob.data(), &h, sizeof h);
    return blob;
}

std::vector<TagDetails> formatTags() {
    std::vector<TagDetails> out;
    for (const CodecDescriptor& c : kCodecs) out.push_back({c.tag, c.name, c.flags});
    return out;
}

bool formatTagDetails(uint16_t tag, TagDetails& out) {
    const CodecDescriptor* c = findCodec(tag);
    if (c == nullptr) return false;
    out = {c->tag, c->name, c->flags};
    return true;
}

std::vector<FormatDetails> formats(uint16_t tag, const FormatBlob* from) {
    std::vector<FormatDetails> out;
    const CodecDescriptor* c = findCodec(tag);
    if (c == nullptr || (c->flags & kCanEncode) == 0) return out;
    std::vector<FormatBlob> all;
    if (tag == kTagPcm) {
        for (uint32_t rate : kPcmRates)
            for (uint16_t bits : kPcmBits)
                for (uint16_t ch = 1; ch <= 2; ++ch) all.push_back(pcmFormat(rate, ch, bits));
    } else if (tag == kTagMpegLayer3) {
        for (uint32_t rate : kMp3Rates)
            for (uint32_t kbps : kMp3Bitrates)
                for (uint16_t ch = 1; ch <= 2; ++ch) all.push_back(mp3Format(rate, ch, kbps));
    } else {
        for (uint32_t rate : kStandardRates)
            for (uint16_t ch = 1; ch <= (c->monoOnly ? 1 : 2); ++ch) all.push_back(c->makeFormat(rate, ch, 0));
    }
    for (FormatBlob& f : all) {
        if (from != nullptr) {
            // Streams convert between PCM and anything, and decode only to PCM.
            WAVEFORMATEX s = header(*from);
            if (s.wFormatTag != kTagPcm && tag != kTagPcm) continue;
            if (validate(*from) != kOk) continue;
        }
        out.push_back({f, formatText(f)});
    }
    return out;
}

std::string formatText(const FormatBlob& format) {
    WAVEFORMATEX w = header(format);
    std::string rate = withThousands(w.nSamplesPerSec) + " Hz";
    std::string ch = channelText(w.nChannels);
    char text[128];
    switch (w.wFormatTag) {
        case kTagGsm610:
            std::snprintf(text, sizeof text, "%s, %s", rate.c_str(), ch.c_str());
            break;
        case kTagMpegLayer3:
            std::snprintf(text, sizeof text, "%u kBit/s, %s, %s", w.nAvgBytesPerSec / 125, rate.c_str(), ch.c_str());
            break;
        default:
            std::snprintf(text, sizeof text, "%s, %u Bit, %s", rate.c_str(), unsigned{w.wBitsPerSample}, ch.c_str());
            break;
    }
    return text;
}

Result validate(const FormatBlob& format) {
    if (format.size() < sizeof(WAVEFORMATEX)) return kNotPossible;
    WAVEFORMATEX w = header(format);
    if (format.size() < sizeof w + w.cbSize) return kNotPossible;
    const CodecDescriptor* c = findCodec(w.wFormatTag);
    if (c == nullptr) return kNotPossible;
    if (w.nChannels == 0 || w.nChannels > kMaxChannels || w.nSamplesPerSec == 0 || w.nSamplesPerSec > kMaxRate ||
        w.nBlockAlign == 0 || w.nBlockAlign > kMaxBlockAlign) {
        return kNotPossible;
    }
    switch (c->kind) {
        case CodecKind::pcm:
            if (w.wBitsPerSample == 0 || w.wBitsPerSample > 32 ||
                w.nBlockAlign != w.nChannels * ((w.wBitsPerSample + 7) / 8)) {
                return kNotPossible;
            }
            break;
        case CodecKind::sample:
            if (w.nBlockAlign != w.nChannels) return kNotPossible;
            break;
        case CodecKind::block:
            if (w.nChannels > 2 || samplesPerBlock(format) == 0) return kNotPossible;
            break;
        case CodecKind::stream:
            if (w.nChannels > 2) return kNotPossible;
            break;
    }
    return kOk;
}

uint32_t samplesPerBlock(const FormatBlob& format) {
    WAVEFORMATEX w = header(format);
    if (w.nChannels == 0) return 0;
    switch (w.wFormatTag) {
        case kTagMsAdpcm:
            // Seven header bytes per channel; two of the block's samples live in them.
            if (w.nBlockAlign < 7 * w.nChannels + 1) return 0;
            return (w.nBlockAlign - 7u * w.nChannels) * 2 / w.nChannels + 2;
        case kTagImaAdpcm:
            if (w.nBlockAlign < 4 * w.nChannels + 4 * w.nChannels || (w.nBlockAlign % (4 * w.nChannels)) != 0) return 0;
            return (w.nBlockAlign - 4u * w.nChannels) * 2 / w.nChannels + 1;
        case kTagGsm610:
            return w.nBlockAlign == 65 && w.nChannels == 1 ? 320 : 0;
        default:
            return 1;
    }
}

bool decodedFrames(const FormatBlob& format, uint32_t bytes, uint64_t& frames) {
    const CodecDescriptor* c = findCodec(header(format).wFormatTag);
    if (c == nullptr || c->kind == CodecKind::stream || validate(format) != kOk) return false;
    frames = uint64_t{bytes} / header(format).nBlockAlign * samplesPerBlock(format);
    return true;
}

Result suggest(const FormatBlob& source, uint16_t tag, FormatBlob& out) {
    if (validate(source) != kOk) return kNotPossible;
    const CodecDescriptor* c = findCodec(tag);
    if (c == nullptr) return kNotPossible;
    WAVEFORMATEX s = header(source);
    if (tag == kTagPcm) {
        // Compressed sources decode to 16 bits; PCM keeps its own format.
        out = s.wFormatTag == kTagPcm ? source : pcmFormat(s.nSamplesPerSec, s.nChannels, 16);
        return kOk;
    }
    if (s.wFormatTag != kTagPcm) return s.wFormatTag == tag ? (out = source, kOk) : kNotPossible;
    if ((c->flags & kCanEncode) == 0 || c->makeFormat == nullptr) return kNotPossible;
    uint16_t channels = c->monoOnly ? 1 : std::min<uint16_t>(s.nChannels, 2);
    out = c->makeFormat(s.nSamplesPerSec, channels, 0);
    return kOk;
}

}  // namespace tallory::platform::acm
