#include "formats/wav/wav_target.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/ui_bridge.h"
#include "tallory/ui_bridge.h"

namespace tallory::formats::wav {

namespace acm = platform::acm;
namespace riff = platform::riff;

namespace {

constexpr const char* kMsgCannotOpen = "Cannot open output file for writing";
constexpr const char* kMsgCreateChunk = "Failed to create chunk";
constexpr const char* kMsgCreateData = "Cannot created chunk";
constexpr const char* kMsgCannotWrite = "Cannot write to output file";
constexpr const char* kMsgSuggest = "ACM failed to suggest a PCM format for the wave file (error #%d)";
constexpr const char* kMsgOpenStream = " ACM failed to open the conversion stream (error #%d)";
constexpr const char* kMsgStreamSize = "ACM failed to estimate stream size (error #%d)";
constexpr const char* kMsgConvert = "ACM failed to convert a stream (error #%d)";
constexpr const char* kMsgOutOfMemory = "Out of memory";
constexpr const char* kMsgCodecNotFound = "The wave ACM codec was not found";
constexpr const char* kMsgFormatNotFound = "The wave ACM format was not found";

}  // namespace

WavTarget::WavTarget() : TargetBase(CLSID_WavTarget), settings_(WavSettings::loadDefaults()) {}

WavTarget::~WavTarget() { Close(); }

bool WavTarget::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_WavTarget;
    return true;
}

bool WavTarget::Open() {
    if (!TargetBase::Open()) return false;
    active_ = settings_;
    carry_.clear();
    if (!file_.open(path_, riff::OpenMode::create)) {
        reportFileFailure(kMsgCannotOpen, file_.lastStatus());
        return false;
    }
    if (!openFile()) {
        abandonOutput();
        Close();
        return false;
    }
    return true;
}

// The header steps after the file exists; the caller closes on failure.
bool WavTarget::openFile() {
    riffChunk_ = {};
    riffChunk_.id = riff::kRiff;
    riffChunk_.formType = riff::fourCC("WAVE");
    riff::ChunkInfo fmt;
    fmt.id = riff::fourCC("fmt ");
    if (!file_.createChunk(riffChunk_, true) || !file_.createChunk(fmt, false)) {
        error("%s", kMsgCreateChunk);
        return false;
    }
    acm::FormatBlob input = acm::makeBlob(format_);
    acm::FormatBlob output;
    if (active_.format.empty() && active_.formatTag == format_.wFormatTag) {
        // Unchanged PCM: the 16-byte layout without cbSize. Only the 18-byte record
        // travels between objects, so extra bytes that cbSize might announce do not
        // exist and are never written or announced.
        WAVEFORMATEX body = format_;
        body.cbSize = 0;
        if (!writeBytes(&body, body.wFormatTag == WAVE_FORMAT_PCM ? 16 : sizeof(WAVEFORMATEX))) return false;
    } else {
        if (active_.format.empty()) {
            acm::Result r = acm::suggest(input, active_.formatTag, output);
            if (r != acm::kOk) {
                error(kMsgSuggest, static_cast<int>(r));
                return false;
            }
        } else {
            output = active_.format;
        }
        acm::Result r = acm::Stream::open(input, output, stream_);
        if (r != acm::kOk) {
            error(kMsgOpenStream, static_cast<int>(r));
            return false;
        }
        if (!writeBytes(output.data(), output.size())) return false;
    }
    dataChunk_ = {};
    dataChunk_.id = riff::fourCC("data");
    if (!file_.ascend(fmt) || !file_.createChunk(dataChunk_, false)) {
        error("%s", kMsgCreateData);
        return false;
    }
    return true;
}

bool WavTarget::writeBytes(const void* data, size_t size) {
    if (!file_.write(data, size)) {
        error("%s", kMsgCannotWrite);
        return false;
    }
    return true;
}

bool WavTarget::convertBuffer(const uint8_t* data, uint32_t length, bool blockAlign, std::vector<uint8_t>& out,
                              uint32_t& consumed) {
    uint32_t capacity = 0;
    acm::Result r = stream_->size(length, acm::SizeKind::source, capacity);
    if (r != acm::kOk) {
        error(kMsgStreamSize, static_cast<int>(r));
        return false;
    }
    try {
        out.resize(capacity);
    } catch (const std::bad_alloc&) {
        error("%s", kMsgOutOfMemory);
        return false;
    }
    uint32_t produced = 0;
    r = stream_->convert(data, length, out.data(), capacity, blockAlign, consumed, produced);
    if (r != acm::kOk) {
        error(kMsgConvert, static_cast<int>(r));
        return false;
    }
    out.resize(produced);
    return true;
}

bool WavTarget::Write(uint32_t byteCount, const void* data) {
    if (!file_.isOpen() || (data == nullptr && byteCount > 0)) {
        error("%s", kMsgCannotWrite);
        return false;
    }
    if (!stream_) return writeBytes(data, byteCount);
    std::vector<uint8_t> input;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t length = byteCount;
    if (!carry_.empty()) {
        try {
            input.reserve(carry_.size() + byteCount);
        } catch (const std::bad_alloc&) {
            error("%s", kMsgOutOfMemory);
            return false;
        }
        input.assign(carry_.begin(), carry_.end());
        input.insert(input.end(), bytes, bytes + byteCount);
        carry_.clear();
        bytes = input.data();
        length = static_cast<uint32_t>(input.size());
    }
    std::vector<uint8_t> out;
    uint32_t consumed = 0;
    if (!convertBuffer(bytes, length, true, out, consumed)) return false;
    // A block codec takes whole blocks; the rest waits for the next write.
    if (consumed < length) carry_.assign(bytes + consumed, bytes + length);
    return writeBytes(out.data(), out.size());
}

bool WavTarget::Close() {
    bool tailWritten = true;
    if (stream_) {
        // Without the block-align flag the codec completes its last block and
        // empties what it holds, so it runs even when nothing is carried over.
        std::vector<uint8_t> out;
        uint32_t consumed = 0;
        if (file_.isOpen() && !abandoned() &&
            convertBuffer(carry_.data(), static_cast<uint32_t>(carry_.size()), false, out, consumed)) {
            tailWritten = file_.write(out.data(), out.size());
        }
        carry_.clear();
        stream_.reset();
    }
    if (file_.isOpen()) {
        if (abandoned()) {
            file_.abandon();
            dataChunk_ = {};
            riffChunk_ = {};
            return true;
        }
        bool ok = tailWritten;
        if (dataChunk_.dirty) ok = file_.ascend(dataChunk_) && ok;
        if (riffChunk_.dirty) ok = file_.ascend(riffChunk_) && ok;
        dataChunk_ = {};
        riffChunk_ = {};
        if (!ok) {
            // A header that cannot be completed is no output.
            file_.abandon();
            error("%s", kMsgCannotWrite);
            return false;
        }
        platform::FileStatus s = file_.finish(existingKind());
        if (!s) {
            if (s.error == EEXIST) {
                error("%s", core::kMsgOutputExists);
            } else {
                reportFileFailure(kMsgCannotWrite, s);
            }
            return false;
        }
    }
    return true;
}

bool WavTarget::EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) {
    if (sourceFormat == nullptr || outputBytes == nullptr || sourceFormat->nAvgBytesPerSec == 0) return false;
    uint32_t outRate = 0;
    if (!settings_.format.empty()) {
        outRate = acm::header(settings_.format).nAvgBytesPerSec;
    } else if (settings_.formatTag == sourceFormat->wFormatTag) {
        outRate = sourceFormat->nAvgBytesPerSec;
    } else {
        acm::FormatBlob suggested;
        if (acm::suggest(acm::makeBlob(*sourceFormat), settings_.formatTag, suggested) != acm::kOk) return false;
        outRate = acm::header(suggested).nAvgBytesPerSec;
    }
    double estimate = static_cast<double>(sourceBytes) / sourceFormat->nAvgBytesPerSec * outRate;
    *outputBytes = estimate >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(estimate);
    return true;
}

bool WavTarget::ShowSettings(HWND parent, IConvTarget** others) {
    TalloryTargetDialogContext context{this, others, false};
    return core::ui::showDialog(TALLORY_DIALOG_WAVE_SETTINGS, parent, &context);
}

bool WavTarget::GetSettingsText(char* buffer, uint32_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    core::copyTruncated(settings_.describe(), buffer, capacity);
    return true;
}

bool WavTarget::SetOption(const char* name, const char* value, char* errorText) {
    if (name != nullptr && ::strcasecmp(name, "wave-codec") == 0) {
        for (const acm::TagDetails& tag : acm::formatTags()) {
            if (value != nullptr && ::strcasecmp(tag.name.c_str(), value) == 0) {
                settings_.formatTag = tag.tag;
                settings_.format.clear();
                return true;
            }
        }
        core::setOptionError(errorText, kMsgCodecNotFound);
        return false;
    }
    if (name != nullptr && ::strcasecmp(name, "wave-format") == 0) {
        for (const acm::FormatDetails& f : acm::formats(settings_.formatTag)) {
            if (value != nullptr && ::strcasecmp(f.text.c_str(), value) == 0) {
                settings_.format = f.format;
                return true;
            }
        }
        core::setOptionError(errorText, kMsgFormatNotFound);
        return false;
    }
    core::setOptionError(errorText, "");
    return false;
}

IUnknown* createWavTarget() { return static_cast<IConvTarget*>(new (std::nothrow) WavTarget); }

}  // namespace tallory::formats::wav
