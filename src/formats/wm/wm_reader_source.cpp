#include "formats/wm/wm_reader_source.h"

#include <cstdio>
#include <new>
#include <string>

#include "core/library.h"
#include "formats/wm/mp3_info_header.h"
#include "core/target_base.h"
#include "tallory/metadata.h"

namespace tallory::formats::wm {

using platform::media::MediaStatus;

namespace {

constexpr int64_t kHnsPerMs = 10000;

}  // namespace

IUnknown* createWmReaderSource() { return static_cast<IConvSource*>(new (std::nothrow) WmReaderSource); }

void* WmReaderSource::queryExtra(const IID& riid) {
    if (riid == IID_IWmaSourceInfo) return static_cast<IWmaSourceInfo*>(this);
    return nullptr;
}

bool WmReaderSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_Mp3WmaSource;
    return true;
}

const char* WmReaderSource::codecNameOf(uint32_t formatTag) {
    switch (formatTag) {
        case 0x0161: return "Windows Media Audio V7 or V8";
        case 0x0130: return "ACELP.net";
        case 0x0160: return "Windows Media Audio V1";
        case 0x0162: return "Windows Media Audio 9 Professional";
        case 0x0163: return "Windows Media Audio 9 Lossless";
        case 0x000A: return "Windows Media Audio 9 Voice";
        default: return "";
    }
}

void WmReaderSource::explain(const MediaStatus& status) {
    if (!status.message().empty()) error("%s", status.message().c_str());
}

bool WmReaderSource::openReader(platform::media::MediaReader& reader) {
    MediaStatus s = reader.open(path_);
    if (s) return true;
    if (s.code() == platform::media::kNoAudio) {
        error("%s", kMsgNoAudio);
        return false;
    }
    error(kMsgOpenFailed, static_cast<unsigned long>(static_cast<uint32_t>(s.code())));
    explain(s);
    if (s.code() == platform::media::kInvalidInputFormat) {
        error("See also: %sQ1010.php", core::kHomePageUrl);
    }
    return false;
}

bool WmReaderSource::Open() {
    if (!SourceBase::Open()) return false;
    if (!openReader(reader_)) {
        Close();
        return false;
    }
    const platform::media::MediaAudioInfo& info = reader_.info();
    format_ = WAVEFORMATEX{};
    format_.wFormatTag = WAVE_FORMAT_PCM;
    format_.nChannels = static_cast<uint16_t>(info.channels);
    format_.nSamplesPerSec = static_cast<uint32_t>(info.sampleRate);
    format_.wBitsPerSample = 16;
    format_.nBlockAlign = static_cast<uint16_t>(info.channels * 2);
    format_.nAvgBytesPerSec = format_.nSamplesPerSec * format_.nBlockAlign;
    // Whole hundredths of a second times the bytes of a hundredth.
    double length = static_cast<double>(info.durationHns / 100000) * (format_.nAvgBytesPerSec * 0.01);
    if (info.codecName.rfind("mp3", 0) == 0) {
        // An MP3 whose first frame declares its frames, delay and padding: the
        // length the decoder delivers, to the sample.
        if (const auto header = readMp3InfoHeader(path_);
            header && header->sampleRate == static_cast<uint32_t>(info.sampleRate)) {
            length = static_cast<double>(header->samples()) * format_.nBlockAlign;
        }
    }
    totalLength_ = length > 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
    return true;
}

bool WmReaderSource::Run(IConvSink* sink) {
    if (!SourceBase::Run(sink)) return false;
    if (sink == nullptr) return false;
    int64_t start = startTimeMs_ == -1 ? 0 : static_cast<int64_t>(startTimeMs_) * kHnsPerMs;
    bool started = false;
    MediaStatus s = reader_.run(start, [&](const uint8_t* data, size_t bytes) {
        started = true;
        return sink->Write(data, static_cast<uint32_t>(bytes));
    });
    if (s) return true;  // also when the sink refused a block: that is no error
    error(started ? kMsgStreamFailed : kMsgStartFailed, static_cast<unsigned long>(static_cast<uint32_t>(s.code())));
    explain(s);
    return false;
}

bool WmReaderSource::GetTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    return SUCCEEDED(MetadataCreateFromFile(path_.c_str(), tag)) && *tag != nullptr;
}

bool WmReaderSource::Close() {
    SourceBase::Close();
    reader_.close();
    return true;
}

HRESULT WmReaderSource::GetCodecInfo(char* codecName, char* streamLine) {
    platform::media::MediaReader reader;
    if (!openReader(reader)) return E_FAIL;
    const platform::media::MediaAudioInfo& info = reader.info();
    std::string name = codecNameOf(info.formatTag);
    if (info.bitRate <= 0 || info.fileChannels <= 0 || info.sampleRate <= 0 || name.empty()) return S_OK;
    char line[TALLORY_MAX_PATH];
    std::snprintf(line, sizeof line, "%d kbps; %d kHz; %s", static_cast<int>(info.bitRate / 1000),
                  info.sampleRate / 1000, info.fileChannels == 1 ? "mono" : "stereo");
    core::copyTruncated(name, codecName, TALLORY_MAX_PATH);
    core::copyTruncated(line, streamLine, TALLORY_MAX_PATH);
    return S_OK;
}

}  // namespace tallory::formats::wm
