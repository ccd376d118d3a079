#include "formats/ogg/ogg_source.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "formats/ogg/ogg_metadata_file.h"
#include "formats/ogg/vorbis_channels.h"
#include "tallory/guids.h"

namespace tallory::formats::ogg {

namespace {

// ov_read fills at most this many bytes per call.
constexpr int kReadBufferBytes = 16384;
// A damaged file may yield error after error without any audio between them;
// past this many in a row decoding gives up instead of spinning.
constexpr int kMaxConsecutiveStreamErrors = 256;

size_t readCallback(void* buffer, size_t size, size_t count, void* file) {
    return std::fread(buffer, size, count, static_cast<std::FILE*>(file));
}

int seekCallback(void* file, ogg_int64_t offset, int whence) {
    return fseeko(static_cast<std::FILE*>(file), static_cast<off_t>(offset), whence);
}

int closeCallback(void* file) { return std::fclose(static_cast<std::FILE*>(file)); }

long tellCallback(void* file) { return static_cast<long>(ftello(static_cast<std::FILE*>(file))); }

constexpr ov_callbacks kFileCallbacks = {readCallback, seekCallback, closeCallback, tellCallback};

// Reorders whole interleaved 16-bit frames from Vorbis to WAV channel order.
void toWavOrder(char* pcm, size_t bytes, int channels) {
    const int* order = vorbisFromWav(channels);
    if (order == nullptr) return;
    const size_t frameBytes = static_cast<size_t>(channels) * 2;
    char frame[kMaxMappedChannels * 2];
    for (size_t at = 0; at + frameBytes <= bytes; at += frameBytes) {
        std::memcpy(frame, pcm + at, frameBytes);
        for (int v = 0; v < channels; ++v) std::memcpy(pcm + at + order[v] * 2, frame + v * 2, 2);
    }
}

}  // namespace

OggSource::OggSource() = default;

OggSource::~OggSource() { Close(); }

IUnknown* OggSource::create() { return static_cast<IConvSource*>(new (std::nothrow) OggSource); }

bool OggSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_OggSource;
    return true;
}

bool OggSource::Open() {
    if (!SourceBase::Open()) return false;
    std::FILE* file = std::fopen(path_.c_str(), "rb");
    if (file == nullptr) {
        Close();
        error("%s", kMsgOggCannotOpenSource);
        return false;
    }
    if (ov_open_callbacks(file, &file_, nullptr, 0, kFileCallbacks) != 0) {
        // On failure the decoder leaves the file to its owner.
        std::fclose(file);
        Close();
        error("%s", kMsgOggNotOgg);
        return false;
    }
    decoderOpen_ = true;
    const vorbis_info* info = ov_info(&file_, -1);
    const uint64_t blockAlign = info != nullptr ? static_cast<uint64_t>(info->channels) * 2 : 0;
    // The PCM format has 16-bit fields for channels and block alignment and a
    // 32-bit byte rate; a stream whose numbers do not fit cannot be described.
    if (info == nullptr || info->channels < 1 || info->rate < 1 || blockAlign > 0xFFFF ||
        blockAlign * static_cast<uint64_t>(info->rate) > 0xFFFFFFFFull) {
        Close();
        error("%s", kMsgOggNoInfo);
        return false;
    }
    format_ = WAVEFORMATEX{};
    format_.wFormatTag = WAVE_FORMAT_PCM;
    format_.nChannels = static_cast<uint16_t>(info->channels);
    format_.nSamplesPerSec = static_cast<uint32_t>(info->rate);
    format_.nBlockAlign = static_cast<uint16_t>(blockAlign);
    format_.wBitsPerSample = 16;
    format_.nAvgBytesPerSec = static_cast<uint32_t>(blockAlign * static_cast<uint64_t>(info->rate));
    format_.cbSize = 0;
    ogg_int64_t frames = ov_pcm_total(&file_, -1);
    double bytes = frames > 0 ? static_cast<double>(frames) * static_cast<double>(blockAlign) : 0.0;
    totalLength_ = bytes > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    return true;
}

bool OggSource::Run(IConvSink* sink) {
    if (!SourceBase::Run(sink)) return false;
    if (sink == nullptr || !decoderOpen_) return false;
    if (startTimeMs_ != -1 && ov_time_seek(&file_, startTimeMs_ * 0.001) != 0) {
        error("%s", kMsgOggCannotSeek);
        // A seek may fail half-way; the message promises the beginning.
        ov_pcm_seek(&file_, 0);
    }

    char buffer[kReadBufferBytes];
    int consecutiveErrors = 0;
    int refusedLink = -1;
    for (;;) {
        int link = 0;
        long n = ov_read(&file_, buffer, sizeof buffer, 0, 2, 1, &link);
        if (n == 0) return true;
        if (n < 0) {
            error("%s", kMsgOggStreamError);
            if (++consecutiveErrors >= kMaxConsecutiveStreamErrors) return false;
            continue;
        }
        consecutiveErrors = 0;
        // A chained file may change channels or rate from one link to the next;
        // such audio cannot travel in the format announced at Open and is left out.
        const vorbis_info* info = ov_info(&file_, link);
        if (info == nullptr || info->channels != format_.nChannels ||
            info->rate != static_cast<long>(format_.nSamplesPerSec)) {
            if (link != refusedLink) error("%s", kMsgOggStreamError);
            refusedLink = link;
            continue;
        }
        toWavOrder(buffer, static_cast<size_t>(n), format_.nChannels);
        if (!sink->Write(buffer, static_cast<uint32_t>(n))) return false;
    }
}

bool OggSource::Close() {
    SourceBase::Close();
    if (decoderOpen_) {
        ov_clear(&file_);  // closes the file through the close callback
        decoderOpen_ = false;
    }
    return true;
}

bool OggSource::GetTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    if (path_.empty()) return false;
    auto* file = new (std::nothrow) OggMetadataFile(path_);
    if (file == nullptr) return false;
    file->AddRef();
    *tag = file;
    return true;
}

}  // namespace tallory::formats::ogg
