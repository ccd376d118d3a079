#include "cd/recording/red_book_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>

#include "core/report.h"

namespace tallory::cd::recording {

namespace acm = platform::acm;

namespace {

// Output of one conversion call when the stream cannot say more precisely.
constexpr uint32_t kOutputChunk = 1u << 16;

const WAVEFORMATEX kRedBook{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};

}  // namespace

bool isRedBookFormat(const WAVEFORMATEX& f) noexcept {
    return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels == 2 && f.nSamplesPerSec == 44100 && f.wBitsPerSample == 16;
}

RedBookWriter::~RedBookWriter() = default;

HRESULT RedBookWriter::QueryInterface(const IID& riid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConvTarget) return E_NOINTERFACE;
    *object = static_cast<IConvTarget*>(this);
    AddRef();
    return S_OK;
}

bool RedBookWriter::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_RedBookWriter;
    return true;
}

bool RedBookWriter::SetFormat(const WAVEFORMATEX* format) {
    if (format == nullptr) return false;
    format_ = *format;
    return true;
}

void RedBookWriter::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    core::vreport(progress_, "e", format, args);
    va_end(args);
}

bool RedBookWriter::Open() {
    if (tracks_ == nullptr || tracks_->empty()) {
        error("%s", kMsgTrackCountZero);
        return false;
    }
    stream_.reset();
    carry_.clear();
    const std::string& path = tracks_->back().path;
    file_.reset(std::fopen(path.c_str(), "wb"));
    if (!file_) {
        error("Cannot create the file \"%s\": %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (isRedBookFormat(format_)) return true;
    const acm::Result r =
        acm::Stream::open(acm::makeBlob(format_), acm::makeBlob(kRedBook), stream_);
    if (r != acm::kOk || !stream_) {
        file_.reset();
        error(kMsgAcmOpen, int(r));
        return false;
    }
    return true;
}

bool RedBookWriter::writeAll(const uint8_t* data, size_t size) {
    if (size == 0) return true;
    if (!file_ || std::fwrite(data, 1, size, file_.get()) != size) {
        error("%s", kMsgWriteFailed);
        return false;
    }
    return true;
}

bool RedBookWriter::convert(const uint8_t* data, uint32_t size, bool last) {
    uint32_t need = kOutputChunk;
    if (size > 0) {
        const acm::Result r = stream_->size(size, acm::SizeKind::source, need);
        if (r != acm::kOk) {
            error(kMsgAcmSize, int(r));
            return false;
        }
        need = std::max(need, kOutputChunk);
    }
    try {
        if (output_.size() < need) output_.resize(need);
    } catch (const std::bad_alloc&) {
        error("Out of memory");
        return false;
    }
    uint32_t consumed = 0, produced = 0;
    if (stream_->convert(data, size, output_.data(), uint32_t(output_.size()), !last, consumed, produced) != acm::kOk) {
        error("%s", kMsgAcmConvert);
        return false;
    }
    if (!writeAll(output_.data(), produced)) return false;
    // What did not fit stays in the stream and comes out of calls without input.
    while (produced == output_.size()) {
        uint32_t unused = 0;
        if (stream_->convert(nullptr, 0, output_.data(), uint32_t(output_.size()), !last, unused, produced) !=
            acm::kOk) {
            error("%s", kMsgAcmConvert);
            return false;
        }
        if (!writeAll(output_.data(), produced)) return false;
    }
    if (consumed < size) carry_.assign(data + consumed, data + size);
    else carry_.clear();
    return true;
}

bool RedBookWriter::Write(uint32_t byteCount, const void* data) {
    if (byteCount == 0) return true;
    if (data == nullptr) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (!stream_) return writeAll(bytes, byteCount);
    if (carry_.empty()) return convert(bytes, byteCount, false);
    // A block that ended inside a frame: its rest leads the next one.
    std::vector<uint8_t> joined = std::move(carry_);
    joined.insert(joined.end(), bytes, bytes + byteCount);
    return convert(joined.data(), uint32_t(joined.size()), false);
}

bool RedBookWriter::Close() {
    bool ok = true;
    if (stream_ && file_) {
        // The resampler holds the track's last samples until it is flushed.
        std::vector<uint8_t> rest = std::move(carry_);
        ok = convert(rest.data(), uint32_t(rest.size()), true);
        carry_.clear();
    }
    stream_.reset();
    if (file_) {
        const bool flushed = std::fflush(file_.get()) == 0 && std::ferror(file_.get()) == 0;
        const bool closed = std::fclose(file_.release()) == 0;
        if (ok && !(flushed && closed)) {
            error("%s", kMsgWriteFailed);
            ok = false;
        }
    }
    return ok;
}

}  // namespace tallory::cd::recording
