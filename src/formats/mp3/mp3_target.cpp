#include "formats/mp3/mp3_target.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/report.h"
#include "core/ui_bridge.h"
#include "tallory/metadata.h"

namespace tallory::formats::mp3 {

namespace acm = platform::acm;

namespace {

// The FIFO grows in steps of this many bytes.
constexpr size_t kFifoStep = 65535;

const char* libraryName(int32_t encoder) { return encoder == kEncoderBladeEnc ? "BladeEnc" : "L.A.M.E"; }
const char* libraryFile(int32_t encoder) { return encoder == kEncoderBladeEnc ? "bladeenc.so" : "lame_enc.so"; }
const char* helpPage(int32_t encoder) { return encoder == kEncoderBladeEnc ? "Q1001.php" : "Q1007.php"; }
const char* stereoOrMono(int channels) { return channels == 2 ? "stereo" : "mono"; }

}  // namespace

Mp3Target::Mp3Target() : TargetBase(CLSID_Mp3Target), settings_(loadDefaultSettings()) {}

Mp3Target::~Mp3Target() { Close(); }

bool Mp3Target::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_Mp3Target;
    return true;
}

bool Mp3Target::Open() {
    if (!TargetBase::Open()) return false;
    working_ = settings_;
    bool ok = working_.encoder == kEncoderCodec ? openCodec() : openLibraryEncoder();
    if (!ok) {
        abandonOutput();
        Close();
    }
    return ok;
}

bool Mp3Target::openLibraryEncoder() {
    const bool lame = working_.encoder == kEncoderLame;
    uint32_t rate;
    int mode;
    if (working_.sampleRate != 0) {
        rate = static_cast<uint32_t>(working_.sampleRate);
        mode = working_.channelMode;
    } else if (lame) {
        rate = format_.nSamplesPerSec;
        mode = format_.nChannels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO;
    } else {
        rate = format_.nSamplesPerSec <= 32000 ? 32000 : format_.nSamplesPerSec < 44101 ? 44100 : 48000;
        mode = format_.nChannels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_DUALCHANNEL;
    }
    // The encoder reads one channel in mono mode and two otherwise; any other
    // input layout is mixed to that, or it would be read as the wrong layout.
    const uint16_t channels = mode == BE_MP3_MODE_MONO ? 1 : 2;
    if (rate != format_.nSamplesPerSec || format_.wBitsPerSample != 16 || channels != format_.nChannels) {
        WAVEFORMATEX pcm{WAVE_FORMAT_PCM, channels, rate, channels * 2u * rate, static_cast<uint16_t>(channels * 2), 16, 0};
        acm::Result r = acm::Stream::open(acm::makeBlob(format_), acm::makeBlob(pcm), stream_);
        if (r != acm::kOk) {
            error("ACM failed to open the conversion stream (error %d)", static_cast<int>(r));
            return false;
        }
    }
    std::string why;
    if (!library_.load(libraryFile(working_.encoder), why)) {
        if (why.find(" is missing") != std::string::npos) {
            error("%s MP3 encoder cannot be used: %s", libraryName(working_.encoder), why.c_str());
        } else {
            error("%s MP3 encoder was not installed, see %s%s", libraryName(working_.encoder), kHelpPageBase,
                  helpPage(working_.encoder));
        }
        return false;
    }
    BE_VERSION v{};
    library_.version(&v);
    if (progress_ != nullptr) {
        char text[256];
        std::snprintf(text, sizeof text, "%s DLL v%d.%d found (released on %02d/%02d/%d)", libraryName(working_.encoder),
                      v.byDLLMajorVersion, v.byDLLMinorVersion, v.byMonth, v.byDay, v.wYear);
        core::report(progress_, "i", "%s", text);
    }

    BE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    if (lame) {
        auto& l = config.format.LHV1;
        config.dwConfig = BE_CONFIG_LAME;
        l.dwStructVersion = 1;
        l.dwStructSize = sizeof(BE_CONFIG);
        l.dwSampleRate = rate;
        l.dwReSampleRate = 0;
        l.nMode = mode;
        l.dwBitrate = static_cast<uint32_t>(working_.bitrate);
        l.dwMaxBitrate = static_cast<uint32_t>(working_.maxBitrate);
        l.nPreset = -1;
        l.dwMpegVersion = working_.mpeg2 != 0 ? MPEG2 : MPEG1;
        l.bPrivate = working_.privateFlag;
        l.bCRC = working_.crc;
        l.bCopyright = working_.copyright;
        l.bOriginal = working_.original;
        // The info frame in constant-bitrate files too, as the lame command writes it: it
        // carries the encoder delay and padding, so decoders give back the exact length.
        l.bWriteVBRHeader = 1;
        l.bEnableVBR = working_.vbr;
        l.nVBRQuality = working_.vbrQuality;
    } else {
        config.dwConfig = BE_CONFIG_MP3;
        config.format.mp3.dwSampleRate = rate;
        config.format.mp3.byMode = static_cast<uint8_t>(mode);
        config.format.mp3.wBitrate = static_cast<uint16_t>(working_.bitrate);
        config.format.mp3.bPrivate = working_.privateFlag;
        config.format.mp3.bCRC = working_.crc;
        config.format.mp3.bCopyright = working_.copyright;
        config.format.mp3.bOriginal = working_.original;
    }
    uint32_t bufferSize = 0;
    BE_ERR err = library_.initStream(&config, &chunkSamples_, &bufferSize, &encoder_);
    if (err != BE_ERR_SUCCESSFUL) {
        error("Unable to initialize the audio codec (error #%d)", static_cast<int>(err));
        return false;
    }
    encoderOpen_ = true;
    fifoRead_ = fifoWrite_ = 0;
    try {
        output_.assign(bufferSize, 0);
        chunk_.assign(chunkSamples_, 0);
    } catch (const std::bad_alloc&) {
        error("Out of memory");
        return false;
    }
    file_ = createOutput("Cannot open output file");
    return file_ != nullptr;
}

bool Mp3Target::chooseCodecFormat(const acm::FormatBlob& input, acm::FormatBlob& chosen, bool& exact) {
    const long wanted = static_cast<long>(working_.bitrate) * 1000 / 8;
    long best = -1;
    exact = false;
    for (const acm::FormatDetails& d : acm::formats(acm::kTagMpegLayer3, &input)) {
        WAVEFORMATEX wf = acm::header(d.format);
        if (working_.sampleRate != 0 && static_cast<uint32_t>(working_.sampleRate) != wf.nSamplesPerSec) continue;
        if (working_.channelMode != 0 && working_.channelMode != wf.nChannels) continue;
        long rate = static_cast<long>(wf.nAvgBytesPerSec);
        if (rate == wanted) {
            chosen = d.format;
            exact = true;
            return true;
        }
        // Strictly closer only: a tie keeps the earlier format.
        if (best < 0 || std::labs(rate - wanted) < std::labs(best - wanted)) {
            best = rate;
            chosen = d.format;
        }
    }
    return best >= 0;
}

bool Mp3Target::openCodec() {
    acm::FormatBlob input = acm::makeBlob(format_);
    acm::FormatBlob chosen;
    bool exact = false;
    bool found = chooseCodecFormat(input, chosen, exact);
    if (!found && working_.sampleRate != 0 && working_.channelMode != 0) {
        if (progress_ != nullptr) {
            char text[256];
            std::snprintf(text, sizeof text,
                          "Installed MP3 codec cannot convert from %d kHz / %s to %d kHz / %s; retrying with auto-detect",
                          static_cast<int>(format_.nSamplesPerSec / 1000), stereoOrMono(format_.nChannels),
                          working_.sampleRate / 1000, stereoOrMono(working_.channelMode));
            core::report(progress_, "i", "%s", text);
        }
        working_.sampleRate = working_.channelMode = 0;
        settings_.sampleRate = settings_.channelMode = 0;
        found = chooseCodecFormat(input, chosen, exact);
    }
    if (!found) {
        error("Your MP3 codec does not support the encoding of %d kHz, %s", static_cast<int>(format_.nSamplesPerSec / 1000),
              stereoOrMono(format_.nChannels));
        error("Please install a better MP3 codec, see %sQ1006.php", kHelpPageBase);
        return false;
    }
    WAVEFORMATEX wf = acm::header(chosen);
    if (wf.nAvgBytesPerSec < 7001) core::report(progress_, "i", "To encode high-quality MP3s with bitrates over 56kbps, please see %sQ1006.php", kHelpPageBase);
    if (!exact) {
        core::report(progress_, "i", "Bitrate %d kbps will be used instead of %d kbps",
                     static_cast<int>(wf.nAvgBytesPerSec / 125), working_.bitrate);
    }
    acm::Result r = acm::Stream::open(input, chosen, stream_);
    if (r != acm::kOk) {
        error("ACM failed to open the conversion stream (error %d)", static_cast<int>(r));
        return false;
    }
    file_ = createOutput("Cannot open output file");
    return file_ != nullptr;
}

bool Mp3Target::convertBlock(const uint8_t* data, uint32_t length, bool last, const uint8_t*& out, uint32_t& outLength) {
    if (!stream_) {
        out = data;
        outLength = length;
        return true;
    }
    // Whatever the stream left unconsumed last time goes first: nothing is dropped.
    carry_.insert(carry_.end(), data, data + length);
    uint32_t need = 0;
    acm::Result r = stream_->size(static_cast<uint32_t>(carry_.size()), acm::SizeKind::source, need);
    if (r != acm::kOk) {
        error("ACM failed to estimate stream size (error #%d)", static_cast<int>(r));
        return false;
    }
    converted_.clear();
    size_t offset = 0;
    // A last call may have to be repeated until the stream has given everything back.
    for (int round = 0; round < 64; ++round) {
        size_t base = converted_.size();
        try {
            converted_.resize(base + need + 4096);
        } catch (const std::bad_alloc&) {
            error("Out of memory");
            return false;
        }
        uint32_t consumed = 0, produced = 0;
        r = stream_->convert(carry_.data() + offset, static_cast<uint32_t>(carry_.size() - offset), converted_.data() + base,
                             static_cast<uint32_t>(converted_.size() - base), !last, consumed, produced);
        if (r != acm::kOk) {
            error("ACM failed to convert a stream (error #%d)", static_cast<int>(r));
            return false;
        }
        converted_.resize(base + produced);
        offset += consumed;
        if (!last || (produced == 0 && offset >= carry_.size())) break;
    }
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(std::min(offset, carry_.size())));
    out = converted_.data();
    outLength = static_cast<uint32_t>(converted_.size());
    return true;
}

bool Mp3Target::writeOutput(const uint8_t* data, size_t length) {
    if (length == 0) return true;
    if (file_ == nullptr || std::fwrite(data, 1, length, file_) != length) {
        error("Failed to write output file (error #%d)", file_ != nullptr ? std::ferror(file_) : 0);
        return false;
    }
    return true;
}

bool Mp3Target::encodeFifo(bool last) {
    const size_t chunkBytes = static_cast<size_t>(chunkSamples_) * 2;
    while (fifoWrite_ - fifoRead_ >= chunkBytes || (last && fifoWrite_ > fifoRead_)) {
        size_t take = std::min(chunkBytes, fifoWrite_ - fifoRead_);
        uint32_t produced = 0;
        // The FIFO holds 16-bit samples; a chunk starts on a sample boundary.
        const size_t samples = take / 2;
        std::memcpy(chunk_.data(), fifo_.data() + fifoRead_, samples * 2);
        fifoRead_ += take;
        BE_ERR err = library_.encodeChunk(encoder_, static_cast<uint32_t>(samples), chunk_.data(), output_.data(), &produced);
        if (err != BE_ERR_SUCCESSFUL) {
            error("BladeEnc failed to encode a chunk (error #%d)", static_cast<int>(err));
            return false;
        }
        if (!writeOutput(output_.data(), produced)) return false;
    }
    return true;
}

bool Mp3Target::Write(uint32_t byteCount, const void* data) {
    if (file_ == nullptr) return false;  // not open, or Open failed
    const uint8_t* pcm = nullptr;
    uint32_t length = 0;
    if (!convertBlock(static_cast<const uint8_t*>(data), byteCount, false, pcm, length)) return false;
    if (!encoderOpen_) return writeOutput(pcm, length);

    size_t unread = fifoWrite_ - fifoRead_;
    if (fifo_.size() - fifoWrite_ < length) {
        if (fifo_.size() >= unread + length) {
            if (unread > 0) std::memmove(fifo_.data(), fifo_.data() + fifoRead_, unread);
        } else {
            std::vector<uint8_t> bigger((((unread + length) / kFifoStep) + 1) * kFifoStep);
            if (unread > 0) std::memcpy(bigger.data(), fifo_.data() + fifoRead_, unread);
            fifo_.swap(bigger);
        }
        fifoRead_ = 0;
        fifoWrite_ = unread;
    }
    if (length > 0) std::memcpy(fifo_.data() + fifoWrite_, pcm, length);
    fifoWrite_ += length;
    return encodeFifo(false);
}

bool Mp3Target::Close() {
    bool ok = true;
    if (file_ != nullptr && stream_) {
        // The stream's tail (resampler delay, a partial codec block) belongs to the audio.
        const uint8_t* tail = nullptr;
        uint32_t tailLength = 0;
        if (convertBlock(nullptr, 0, true, tail, tailLength)) {
            if (encoderOpen_) {
                size_t unread = fifoWrite_ - fifoRead_;
                std::vector<uint8_t> rest(unread + tailLength);
                if (unread > 0) std::memcpy(rest.data(), fifo_.data() + fifoRead_, unread);
                if (tailLength > 0) std::memcpy(rest.data() + unread, tail, tailLength);
                fifo_.swap(rest);
                fifoRead_ = 0;
                fifoWrite_ = fifo_.size();
            } else {
                ok = writeOutput(tail, tailLength) && ok;
            }
        } else {
            ok = false;
        }
    }
    stream_.reset();
    carry_.clear();
    if (encoderOpen_) {
        if (file_ != nullptr) ok = encodeFifo(true) && ok;
        uint32_t produced = 0;
        if (library_.deinitStream(encoder_, output_.data(), &produced) == BE_ERR_SUCCESSFUL && file_ != nullptr) {
            ok = writeOutput(output_.data(), produced) && ok;
        }
        library_.closeStream(encoder_);
        encoderOpen_ = false;
    }
    if (file_ != nullptr) {
        if (std::fflush(file_) != 0) ok = false;
        // The encoder library rewrites the first frame through a name of its own;
        // the file has none yet, so it gets one that opens the same file.
        if (ok && !abandoned() && library_.writeVbrHeader != nullptr) {
            library_.writeVbrHeader(outputFile_.accessPath().c_str());
        }
        // The stream belongs to the output file, which closes it.
        file_ = nullptr;
        if (!ok) outputFile_.discard();
        ok = finishOutput(outputFile_) && ok;
    }
    library_.unload();
    output_.clear();
    chunk_.clear();
    fifo_.clear();
    fifoRead_ = fifoWrite_ = 0;
    return ok;
}

bool Mp3Target::OpenTag(IMetadataFile** tag) {
    if (tag == nullptr) return false;
    *tag = nullptr;
    return SUCCEEDED(MetadataCreateFromFile(path_.c_str(), tag)) && *tag != nullptr;
}

bool Mp3Target::EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) {
    if (sourceFormat == nullptr || outputBytes == nullptr || sourceFormat->nAvgBytesPerSec == 0) return false;
    double bytes = static_cast<double>(sourceBytes) / sourceFormat->nAvgBytesPerSec * (settings_.bitrate * 1000.0 / 8);
    *outputBytes = bytes <= 0 ? 0 : bytes >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    return true;
}

bool Mp3Target::ShowSettings(HWND parent, IConvTarget** others) {
    TalloryTargetDialogContext context{this, others, false};
    if (!core::ui::showDialog(TALLORY_DIALOG_MP3_SETTINGS, parent, &context)) return false;
    for (IConvTarget** t = others; t != nullptr && *t != nullptr; ++t) {
        CLSID cls{};
        if ((*t)->GetClassId(&cls) && cls == CLSID_Mp3Target) static_cast<Mp3Target*>(*t)->setSettings(settings_);
    }
    return true;
}

bool Mp3Target::GetSettingsText(char* buffer, uint32_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    core::copyTruncated(describe(settings_), buffer, capacity);
    return true;
}

bool Mp3Target::SetOption(const char* name, const char* value, char* errorText) {
    std::string why;
    bool ok = applyOption(settings_, name, value, why);
    if (!ok) core::setOptionError(errorText, why);
    return ok;
}

IUnknown* createMp3Target() { return static_cast<IConvTarget*>(new (std::nothrow) Mp3Target); }

}  // namespace tallory::formats::mp3
