#include "formats/wm/wma_target.h"

#include <strings.h>

#include <new>
#include <string>

#include "core/report.h"
#include "core/ui_bridge.h"
#include "tallory/metadata.h"

namespace tallory::formats::wm {

using platform::media::MediaStatus;
using platform::media::WmaFormat;

namespace {

unsigned long codeOf(const MediaStatus& s) { return static_cast<uint32_t>(s.code()); }

}  // namespace

IUnknown* createWmaTarget() { return static_cast<IConvTarget*>(new (std::nothrow) WmaTarget); }

WmaTarget::WmaTarget() : TargetBase(CLSID_WmaTarget), settings_(loadWmaSettings()) {}

WmaTarget::~WmaTarget() {
    // A target dropped while writing still leaves a finished file, as Close would.
    if (hasWriter_) (void)writer_.end(existingKind());
}

bool WmaTarget::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_WmaTarget;
    return true;
}

void WmaTarget::explain(const MediaStatus& status) {
    if (!status.message().empty()) error("%s", status.message().c_str());
}

bool WmaTarget::Open() {
    if (!TargetBase::Open()) return false;
    time_ = 0;
    bytes_ = 0;
    if (hasWriter_) {
        writer_.abandon();
        hasWriter_ = false;
    }
    const WmaFormat* format = effectiveFormat(settings_);
    MediaStatus s = format ? writer_.setProfile(effectiveCodec(settings_), *format)
                           : MediaStatus(E_FAIL, "the codec offers no format");
    if (!s) {
        error("Failed to create profile (error #%lX)", codeOf(s));
        explain(s);
        return false;
    }
    platform::media::PcmInput input{static_cast<int>(format_.nSamplesPerSec), format_.nChannels,
                                    format_.wBitsPerSample};
    if (format_.wFormatTag != WAVE_FORMAT_PCM) {
        s = MediaStatus(E_INVALIDARG, "the input is not PCM");
    } else {
        s = writer_.setInput(input);
    }
    if (!s) {
        error("Failed to set input properties (error #%lX)", codeOf(s));
        explain(s);
        core::report(progress_, "i", "Source format is %d kHz, %d bit, %s", input.sampleRate / 1000,
                     input.bitsPerSample, input.channels == 1 ? "mono" : "stereo");
        writer_.abandon();
        return false;
    }
    s = writer_.setOutputFilename(path_);
    if (!s) {
        error("Failed to set output filename (error #%lX)", codeOf(s));
        explain(s);
        writer_.abandon();
        return false;
    }
    s = writer_.beginWriting();
    if (!s) {
        error("Failed to begin writing (error #%lX)", codeOf(s));
        explain(s);
        writer_.abandon();
        return false;
    }
    hasWriter_ = true;
    return true;
}

bool WmaTarget::Write(uint32_t byteCount, const void* data) {
    if (!hasWriter_) return false;
    if (byteCount == 0) return true;
    if (data == nullptr) return false;
    MediaStatus s = writer_.write(static_cast<const uint8_t*>(data), byteCount);
    if (!s) {
        error("Failed to %s sample (error #%lX)", "write", codeOf(s));
        explain(s);
        return false;
    }
    bytes_ += byteCount;
    if (format_.nAvgBytesPerSec != 0) time_ += static_cast<int64_t>(byteCount) * 10000000 / format_.nAvgBytesPerSec;
    return true;
}

bool WmaTarget::Close() {
    if (!hasWriter_) return true;
    bool cancelled = progress_ != nullptr && progress_->IsCancelled() != 0;
    hasWriter_ = false;
    if (abandoned()) {
        writer_.abandon();
        return true;
    }
    MediaStatus s = writer_.end(existingKind());
    if (!s && !cancelled) {
        error("Failed to finish the writing process (error #%lX)", codeOf(s));
        explain(s);
        return false;
    }
    return true;
}

bool WmaTarget::OpenTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    return SUCCEEDED(MetadataCreateFromFile(path_.c_str(), tag)) && *tag != nullptr;
}

bool WmaTarget::EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) {
    if (sourceFormat == nullptr || outputBytes == nullptr || sourceFormat->nAvgBytesPerSec == 0) return false;
    const WmaFormat* format = effectiveFormat(settings_);
    if (format == nullptr || format->bitRate <= 0) return false;
    double size = static_cast<double>(sourceBytes) / sourceFormat->nAvgBytesPerSec * format->bitRate / 8;
    *outputBytes = size > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
    return true;
}

bool WmaTarget::ShowSettings(HWND parent, IConvTarget** others) {
    TalloryTargetDialogContext context{this, others, false};
    return core::ui::showDialog(TALLORY_DIALOG_WMA_SETTINGS, parent, &context);
}

bool WmaTarget::GetSettingsText(char* buffer, uint32_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    const WmaFormat* format = effectiveFormat(settings_);
    if (format == nullptr) return false;
    core::copyTruncated(format->description, buffer, capacity);
    return true;
}

bool WmaTarget::SetOption(const char* name, const char* value, char* errorText) {
    if (name == nullptr) return TargetBase::SetOption(name, value, errorText);
    if (strcasecmp(name, "wma-codec") == 0) {
        for (int i = 0; value != nullptr && i < platform::media::wmaCodecCount(); ++i) {
            if (strcasecmp(platform::media::wmaCodecName(i).c_str(), value) == 0) {
                settings_.codecIndex = i;
                return true;
            }
        }
        core::setOptionError(errorText, kMsgNoCodec);
        return false;
    }
    if (strcasecmp(name, "wma-format") == 0) {
        // Only constant bitrate exists here, so only mode 0 is searched; the last match counts.
        const auto& formats = platform::media::wmaCodecFormats(effectiveCodec(settings_));
        int found = -1;
        for (size_t i = 0; value != nullptr && i < formats.size(); ++i) {
            if (formats[i].description.find("(A/V)") != std::string::npos) continue;
            if (strcasecmp(formats[i].description.c_str(), value) == 0) found = static_cast<int>(i);
        }
        if (found < 0) {
            core::setOptionError(errorText, kMsgNoFormat);
            return false;
        }
        settings_.codecIndex = effectiveCodec(settings_);
        settings_.formatIndex = found;
        settings_.mode = 0;
        return true;
    }
    return TargetBase::SetOption(name, value, errorText);
}

}  // namespace tallory::formats::wm
