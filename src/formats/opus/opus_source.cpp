#include "formats/opus/opus_source.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "formats/ogg/vorbis_channels.h"
#include "formats/opus/opus_metadata_file.h"
#include "platform/files/file_system.h"
#include "tallory/guids.h"

namespace tallory::formats::opus {

namespace {

// op_read delivers at most 120 ms per channel per call.
constexpr int kReadSamples = 5760 * 8;
// How far from its end the last page is looked for.
constexpr long kTailBytes = 65536 + 282;

// True when the last Ogg page of the file is flagged end-of-stream; a file cut
// at a page boundary decodes cleanly otherwise and would pass for complete.
bool endsWithLastPage(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bool eos = false;
    if (fseeko(f, 0, SEEK_END) == 0) {
        const off_t size = ftello(f);
        const off_t from = size > kTailBytes ? size - kTailBytes : 0;
        std::vector<unsigned char> tail(static_cast<size_t>(size - from));
        if (fseeko(f, from, SEEK_SET) == 0 && std::fread(tail.data(), 1, tail.size(), f) == tail.size()) {
            // The last capture pattern whose page reaches exactly the end of the file.
            for (size_t at = tail.size() >= 27 ? tail.size() - 27 : 0;; --at) {
                if (tail.size() >= 27 && std::memcmp(&tail[at], "OggS", 4) == 0 && at + 27 <= tail.size()) {
                    const size_t segments = tail[at + 26];
                    if (at + 27 + segments <= tail.size()) {
                        size_t body = 0;
                        for (size_t s = 0; s < segments; ++s) body += tail[at + 27 + s];
                        if (at + 27 + segments + body == tail.size()) {
                            eos = (tail[at + 5] & 0x04) != 0;
                            break;
                        }
                    }
                }
                if (at == 0) break;
            }
        }
    }
    std::fclose(f);
    return eos;
}

}  // namespace

const char* opusFileError(int code) {
    switch (code) {
        case OP_FALSE: return "no data";
        case OP_EOF: return "end of file";
        case OP_HOLE: return "a gap in the data (a page is missing or damaged)";
        case OP_EREAD: return "read error";
        case OP_EFAULT: return "internal error";
        case OP_EIMPL: return "unsupported feature";
        case OP_EINVAL: return "invalid argument";
        case OP_ENOTFORMAT: return "not Ogg Opus data";
        case OP_EBADHEADER: return "a damaged header";
        case OP_EVERSION: return "unsupported version";
        case OP_ENOTAUDIO: return "not audio";
        case OP_EBADPACKET: return "a damaged packet";
        case OP_EBADLINK: return "a damaged link";
        case OP_ENOSEEK: return "not seekable";
        case OP_EBADTIMESTAMP: return "a bad timestamp";
        default: return "unknown error";
    }
}

OpusSource::OpusSource() = default;

OpusSource::~OpusSource() { Close(); }

IUnknown* OpusSource::create() { return static_cast<IConvSource*>(new (std::nothrow) OpusSource); }

bool OpusSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_OpusSource;
    return true;
}

std::string OpusSource::fileName() const { return platform::fileNameOf(path_); }

bool OpusSource::Open() {
    if (!SourceBase::Open()) return false;
    std::FILE* probe = std::fopen(path_.c_str(), "rb");
    if (probe == nullptr) {
        Close();
        error("%s", kMsgOpusCannotOpenSource);
        return false;
    }
    std::fclose(probe);
    int rc = 0;
    file_ = op_open_file(path_.c_str(), &rc);
    if (file_ == nullptr) {
        Close();
        error(kMsgOpusNotOpus, fileName().c_str(), opusFileError(rc));
        return false;
    }
    // Links of a chained file may differ in channels; only one layout travels.
    if (op_link_count(file_) != 1) {
        Close();
        error(kMsgOpusNotOpus, fileName().c_str(), "chained streams are not supported");
        return false;
    }
    if (!endsWithLastPage(path_)) {
        Close();
        error(kMsgOpusTruncated, fileName().c_str());
        return false;
    }
    const OpusHead* head = op_head(file_, -1);
    if (head == nullptr || head->channel_count < 1) {
        Close();
        error(kMsgOpusNotOpus, fileName().c_str(), "no identification header");
        return false;
    }
    const uint32_t blockAlign = static_cast<uint32_t>(head->channel_count) * 2;
    format_ = WAVEFORMATEX{};
    format_.wFormatTag = WAVE_FORMAT_PCM;
    format_.nChannels = static_cast<uint16_t>(head->channel_count);
    format_.nSamplesPerSec = kOpusRate;
    format_.nBlockAlign = static_cast<uint16_t>(blockAlign);
    format_.wBitsPerSample = 16;
    format_.nAvgBytesPerSec = blockAlign * kOpusRate;
    const ogg_int64_t samples = op_pcm_total(file_, -1);
    const double bytes = samples > 0 ? static_cast<double>(samples) * blockAlign : 0.0;
    totalLength_ = bytes > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    return true;
}

bool OpusSource::Run(IConvSink* sink) {
    if (!SourceBase::Run(sink)) return false;
    if (sink == nullptr || file_ == nullptr) return false;
    if (startTimeMs_ > 0) {
        const ogg_int64_t sample = static_cast<ogg_int64_t>(startTimeMs_) * kOpusRate / 1000;
        const ogg_int64_t total = op_pcm_total(file_, -1);
        if (total >= 0 && sample >= total) return true;  // a start past the end delivers nothing
        if (op_pcm_seek(file_, sample) != 0) {
            error("%s", kMsgOpusCannotSeek);
            op_pcm_seek(file_, 0);
        }
    }
    const int channels = format_.nChannels;
    const int* order = channels <= ogg::kMaxMappedChannels ? ogg::vorbisFromWav(channels) : nullptr;
    std::vector<opus_int16> pcm(static_cast<size_t>(kReadSamples) * static_cast<size_t>(channels));
    std::vector<opus_int16> wav(order != nullptr ? pcm.size() : 0);
    long long delivered = 0;
    for (;;) {
        const int n = op_read(file_, pcm.data(), static_cast<int>(pcm.size()), nullptr);
        if (n == 0) return true;
        if (n < 0) {
            error(kMsgOpusStreamError, fileName().c_str(), delivered, opusFileError(n));
            return false;
        }
        const opus_int16* out = pcm.data();
        if (order != nullptr) {
            // Vorbis order (family 1) back to WAV order.
            for (int i = 0; i < n; ++i) {
                for (int v = 0; v < channels; ++v) wav[static_cast<size_t>(i * channels + order[v])] = pcm[static_cast<size_t>(i * channels + v)];
            }
            out = wav.data();
        }
        delivered += n;
        if (!sink->Write(out, static_cast<uint32_t>(n) * static_cast<uint32_t>(channels) * 2u)) return false;
    }
}

bool OpusSource::Close() {
    SourceBase::Close();
    if (file_ != nullptr) {
        op_free(file_);
        file_ = nullptr;
    }
    return true;
}

bool OpusSource::GetTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    if (path_.empty()) return false;
    auto* file = new (std::nothrow) OpusMetadataFile(path_);
    if (file == nullptr) return false;
    file->AddRef();
    *tag = file;
    return true;
}

}  // namespace tallory::formats::opus
