#include "formats/wav/wav_source.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/mp3/mpeg_audio_frame.h"

namespace tallory::formats::wav {

namespace acm = platform::acm;
namespace riff = platform::riff;

namespace {

constexpr const char* kMsgCannotOpen = "Cannot open source file";
constexpr const char* kMsgInvalid = "The file format is invalid or corrupted";
constexpr const char* kMsgZeroLength = "The length of the audio data is zero";
constexpr const char* kMsgSuggest = "ACM failed to suggest a PCM format for the wave file (error #%d)";
constexpr const char* kMsgOpenStream = "ACM failed to open the conversion stream (error #%d)";
constexpr const char* kMsgStreamSize = "ACM failed to estimate stream size (error #%d)";
constexpr const char* kMsgConvert = "ACM failed to convert a stream (error #%d)";
constexpr const char* kMsgOutOfMemory = "Out of memory";

// PCM is delivered in blocks of at most this many bytes.
constexpr uint32_t kBlockSize = 65536;
// A format record is 18 bytes plus a 16-bit count of extra bytes; a larger
// "fmt " chunk is damage, and is refused before anything is allocated for it.
constexpr uint32_t kMaxFmtSize = sizeof(WAVEFORMATEX) + 0xFFFF;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint16_t kTagMpegLayer3 = 0x55;
// KSDATAFORMAT_SUBTYPE_PCM, the sub-format of integer PCM in WAVE_FORMAT_EXTENSIBLE.
constexpr uint8_t kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                     0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint32_t mulDiv(uint32_t a, uint32_t b, uint32_t c) {
    if (c == 0) return 0;
    uint64_t v = (uint64_t{a} * b + c / 2) / c;
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

// Integer PCM in an extensible record reads as plain PCM of the same container size.
bool isExtensiblePcm(const acm::FormatBlob& f) {
    WAVEFORMATEX w = acm::header(f);
    return w.wFormatTag == kTagExtensible && w.cbSize >= 22 && f.size() >= sizeof w + 22 &&
           std::memcmp(f.data() + sizeof w + 6, kSubtypePcm, sizeof kSubtypePcm) == 0;
}

// A chunk identifier as text, with bytes that are not printable as '?'.
std::string chunkName(uint32_t id) {
    std::string s(4, '?');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(id >> (8 * i));
        if (c >= 0x20 && c < 0x7F) s[static_cast<size_t>(i)] = c;
    }
    return s;
}

}  // namespace

WavSource::WavSource() = default;

WavSource::~WavSource() { Close(); }

bool WavSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_WavSource;
    return true;
}

bool WavSource::Open() {
    if (!SourceBase::Open()) return false;
    fileFormat_.clear();
    dataOffset_ = dataRemaining_ = sampleCount_ = 0;
    if (!file_.open(path_, riff::OpenMode::read)) {
        // A failed open must not leave the source marked as opened.
        Close();
        error("%s", kMsgCannotOpen);
        return false;
    }
    if (!openFile()) {
        Close();
        return false;
    }
    return true;
}

bool WavSource::openFile() {
    riff::ChunkInfo wave;
    wave.formType = riff::fourCC("WAVE");
    const int64_t fileSize = file_.fileSize();
    if (!file_.descend(wave, nullptr, riff::DescendKind::findRiff)) {
        error("%s", kMsgInvalid);
        detail("no RIFF 'WAVE' header in the file's %lld bytes", static_cast<long long>(fileSize));
        return false;
    }
    const uint64_t riffEnd = uint64_t{wave.dataOffset} + wave.size;
    bool haveFmt = false, haveData = false, haveFact = false;
    uint32_t dataDeclared = 0;
    riff::ChunkInfo ck;
    while (file_.descend(ck, &wave, riff::DescendKind::next)) {
        uint64_t end = uint64_t{ck.dataOffset} + ck.size;
        if (end > riffEnd) {
            // Streaming writers and broken taggers leave damage after complete audio:
            // what the format and data chunks hold is still good.
            const bool dataWhole = haveData && dataRemaining_ == dataDeclared;
            if (haveFmt && dataWhole) {
                detail("Ignoring the rest of the file: chunk '%s' at offset %u declares %u bytes, the RIFF form "
                       "ends at %llu",
                       chunkName(ck.id).c_str(), ck.dataOffset - 8, ck.size, static_cast<unsigned long long>(riffEnd));
                break;
            }
            error("%s", kMsgInvalid);
            detail("chunk '%s' at offset %u declares %u bytes, the RIFF form ends at %llu and the file holds %lld",
                   chunkName(ck.id).c_str(), ck.dataOffset - 8, ck.size, static_cast<unsigned long long>(riffEnd),
                   static_cast<long long>(fileSize));
            return false;
        }
        if (ck.id == riff::fourCC("fmt ") && !haveFmt) {
            // Shorter than the 16-byte PCM layout: not a format record at all.
            if (ck.size < 16 || ck.size > kMaxFmtSize) {
                error("%s", kMsgInvalid);
                detail("'fmt ' chunk holds %u bytes; a format record has 16 to %u", ck.size, kMaxFmtSize);
                return false;
            }
            std::vector<uint8_t> body(std::max<uint32_t>(ck.size, sizeof(WAVEFORMATEX)), 0);
            if (file_.read(body.data(), ck.size) != ck.size) {
                error("%s", kMsgInvalid);
                detail("'fmt ' chunk declares %u bytes, the file holds %lld after its header", ck.size,
                       static_cast<long long>(fileSize - ck.dataOffset));
                return false;
            }
            WAVEFORMATEX* w = reinterpret_cast<WAVEFORMATEX*>(body.data());
            // The 16-byte PCM layout has no cbSize, and a PCM record's extra bytes mean nothing.
            if (w->wFormatTag == WAVE_FORMAT_PCM || ck.size < sizeof(WAVEFORMATEX)) w->cbSize = 0;
            fileFormat_ = acm::blobFromBytes(body.data(), body.size());
            haveFmt = true;
        } else if (ck.id == riff::fourCC("data") && !haveData) {
            dataOffset_ = ck.dataOffset;
            dataDeclared = ck.size;
            // A truncated file holds less than its header says: read what is there.
            uint64_t inFile = file_.fileSize() > ck.dataOffset ? file_.fileSize() - ck.dataOffset : 0;
            dataRemaining_ = static_cast<uint32_t>(std::min<uint64_t>(ck.size, inFile));
            haveData = true;
        } else if (ck.id == riff::fourCC("fact") && !haveFact && ck.size >= 4) {
            uint8_t count[4];
            if (file_.read(count, 4) == 4) {
                sampleCount_ = count[0] | count[1] << 8 | count[2] << 16 | static_cast<uint32_t>(count[3]) << 24;
                haveFact = true;
            }
        }
        if (!file_.ascend(ck)) break;
    }
    if (!haveFmt || dataRemaining_ == 0) {
        error("%s", kMsgZeroLength);
        if (!haveFmt) {
            detail("no 'fmt ' chunk inside the RIFF form");
        } else if (!haveData) {
            detail("no 'data' chunk inside the RIFF form");
        } else {
            detail("'data' chunk at offset %u declares %u bytes, the file holds 0 of them", dataOffset_ - 8,
                   dataDeclared);
        }
        return false;
    }
    if (!file_.seek(dataOffset_, SEEK_SET)) {
        error("%s", kMsgInvalid);
        detail("cannot seek to the 'data' chunk at offset %u", dataOffset_);
        return false;
    }
    if (isExtensiblePcm(fileFormat_)) {
        WAVEFORMATEX w = acm::header(fileFormat_);
        w.wFormatTag = WAVE_FORMAT_PCM;
        w.cbSize = 0;
        fileFormat_ = acm::makeBlob(w);
    }
    WAVEFORMATEX file = acm::header(fileFormat_);
    // Block align and rates divide below; a record with zeros there is damage.
    if (file.wFormatTag == WAVE_FORMAT_PCM && acm::validate(fileFormat_) != acm::kOk) {
        error("%s", kMsgInvalid);
        detail("PCM format record of %u channels, %u Hz, %u bits, block align %u, %u bytes/s is not consistent",
               unsigned{file.nChannels}, file.nSamplesPerSec, unsigned{file.wBitsPerSample}, unsigned{file.nBlockAlign},
               file.nAvgBytesPerSec);
        return false;
    }
    if (!haveFact && file.nBlockAlign != 0) sampleCount_ = dataRemaining_ / file.nBlockAlign;
    if (file.wFormatTag == WAVE_FORMAT_PCM) {
        std::memcpy(&format_, fileFormat_.data(), sizeof format_);
        totalLength_ = dataRemaining_;
        return true;
    }
    acm::FormatBlob pcm;
    acm::Result r = acm::suggest(fileFormat_, acm::kTagPcm, pcm);
    if (r != acm::kOk) {
        error(kMsgSuggest, static_cast<int>(r));
        detail("no decoder takes format tag 0x%04X with %u channels, %u Hz, %u bits, block align %u",
               unsigned{file.wFormatTag}, unsigned{file.nChannels}, file.nSamplesPerSec, unsigned{file.wBitsPerSample},
               unsigned{file.nBlockAlign});
        return false;
    }
    r = acm::Stream::open(fileFormat_, pcm, stream_);
    if (r != acm::kOk) {
        error(kMsgOpenStream, static_cast<int>(r));
        detail("the decoder of format tag 0x%04X refused %u channels, %u Hz, block align %u",
               unsigned{file.wFormatTag}, unsigned{file.nChannels}, file.nSamplesPerSec, unsigned{file.nBlockAlign});
        return false;
    }
    std::memcpy(&format_, pcm.data(), sizeof format_);
    // Block codecs decode to a known number of frames; writers disagree about
    // nAvgBytesPerSec of compressed formats, so only stream codecs estimate by it.
    uint64_t frames = 0;
    if (acm::decodedFrames(fileFormat_, dataRemaining_, frames)) {
        uint64_t bytes = frames * format_.nBlockAlign;
        totalLength_ = bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    } else if (file.wFormatTag == kTagMpegLayer3 && countMpegFrames(frames)) {
        uint64_t bytes = frames * format_.nBlockAlign;
        totalLength_ = bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    } else {
        totalLength_ = mulDiv(dataRemaining_, format_.nAvgBytesPerSec, file.nAvgBytesPerSec);
    }
    return true;
}

bool WavSource::countMpegFrames(uint64_t& pcmFrames) {
    // MPEG audio has no fixed block: the frames themselves say how much they decode to.
    mp3::MpegFrameCounter counter;
    std::vector<uint8_t> buffer(kBlockSize);
    uint32_t left = dataRemaining_;
    while (left > 0) {
        const size_t got = file_.read(buffer.data(), std::min(left, kBlockSize));
        if (got == 0) break;
        counter.feed(buffer.data(), got);
        left -= static_cast<uint32_t>(got);
    }
    counter.finish();
    if (!file_.seek(dataOffset_, SEEK_SET)) return false;
    if (counter.frames() == 0) return false;
    const mp3::MpegFrameHeader& h = counter.firstHeader();
    uint64_t samples = counter.samples();
    // The decoder is set up for the record's rate; a stream of another rate is resampled to it.
    if (h.sampleRate != 0 && static_cast<uint32_t>(h.sampleRate) != format_.nSamplesPerSec) {
        samples = samples * format_.nSamplesPerSec / static_cast<uint32_t>(h.sampleRate);
    }
    pcmFrames = samples;
    return true;
}

bool WavSource::skipStart(uint32_t bytesPerSec, uint32_t align) {
    if (startTimeMs_ == -1 || startTimeMs_ <= 0) return true;
    uint32_t skip = mulDiv(bytesPerSec, static_cast<uint32_t>(startTimeMs_), 1000);
    skip -= skip % align;
    // Skipped bytes count against the data, so the end stays the end of the "data" chunk.
    skip = std::min(skip, dataRemaining_);
    if (!file_.seek(skip, SEEK_CUR)) {
        error("%s", kMsgInvalid);
        return false;
    }
    dataRemaining_ -= skip;
    return true;
}

bool WavSource::Run(IConvSink* sink) {
    if (!SourceBase::Run(sink)) return false;
    if (sink == nullptr) return false;
    if (dataRemaining_ == 0) return true;
    return stream_ ? runCodec(sink) : runPcm(sink);
}

bool WavSource::runPcm(IConvSink* sink) {
    if (!skipStart(format_.nAvgBytesPerSec, format_.nBlockAlign)) return false;
    // Whole sample frames only, so that no sample is split between two blocks.
    const uint32_t block = kBlockSize - kBlockSize % format_.nBlockAlign;
    std::vector<uint8_t> buffer(block);
    while (dataRemaining_ > 0) {
        uint32_t want = std::min(block, dataRemaining_);
        dataRemaining_ -= want;
        size_t got = file_.read(buffer.data(), want);
        if (got < 1) return true;
        if (!sink->Write(buffer.data(), static_cast<uint32_t>(got))) return false;
    }
    return true;
}

bool WavSource::runCodec(IConvSink* sink) {
    // Compressed data is skipped at its own rate, in whole blocks.
    WAVEFORMATEX file = acm::header(fileFormat_);
    if (!skipStart(file.nAvgBytesPerSec, file.nBlockAlign)) return false;
    std::vector<uint8_t> out(kBlockSize);
    std::vector<uint8_t> in;
    bool full = false;  // the last block filled the buffer: the codec may hold more output
    for (;;) {
        bool last = dataRemaining_ == 0;
        uint32_t want = 0;
        if (full && !last) {
            // Hand out what the codec holds before reading more, so that it never piles up.
            uint32_t consumed = 0, produced = 0;
            acm::Result r = stream_->convert(nullptr, 0, out.data(), kBlockSize, true, consumed, produced);
            if (r != acm::kOk) {
                error(kMsgConvert, static_cast<int>(r));
                return false;
            }
            if (produced > 0 && !sink->Write(out.data(), produced)) return false;
            full = produced == kBlockSize;
            continue;
        }
        if (!last) {
            acm::Result r = stream_->size(kBlockSize, acm::SizeKind::destination, want);
            if (r != acm::kOk) {
                error(kMsgStreamSize, static_cast<int>(r));
                return false;
            }
            want = std::min(want, dataRemaining_);
            dataRemaining_ -= want;
            try {
                in.resize(want);
            } catch (const std::bad_alloc&) {
                error("%s", kMsgOutOfMemory);
                return false;
            }
            size_t got = file_.read(in.data(), want);
            if (got < 1) {
                dataRemaining_ = 0;
                last = true;
                want = 0;
            } else {
                want = static_cast<uint32_t>(got);
            }
            if (got < in.size()) dataRemaining_ = 0;
        }
        bool blockAlign = dataRemaining_ > 0;
        uint32_t consumed = 0, produced = 0;
        acm::Result r = stream_->convert(in.data(), want, out.data(), kBlockSize, blockAlign, consumed, produced);
        if (r != acm::kOk) {
            error(kMsgConvert, static_cast<int>(r));
            return false;
        }
        if (produced > 0 && !sink->Write(out.data(), produced)) return false;
        full = produced == kBlockSize;
        // After the last block the codec may still hold output: empty it.
        if (!blockAlign && produced == 0) return true;
    }
}

bool WavSource::Close() {
    SourceBase::Close();
    file_.close();
    fileFormat_.clear();
    stream_.reset();
    return true;
}

IUnknown* createWavSource() { return static_cast<IConvSource*>(new (std::nothrow) WavSource); }

}  // namespace tallory::formats::wav
