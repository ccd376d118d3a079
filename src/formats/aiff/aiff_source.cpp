#include "formats/aiff/aiff_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "formats/aiff/aiff_chunks.h"
#include "formats/aiff/aiff_samples.h"

namespace tallory::formats::aiff {

namespace {

constexpr const char* kMsgCannotOpen = "Cannot open source file for reading";
constexpr const char* kMsgNotAiff = "This file is not a valid AIFF/AIFC file";
constexpr const char* kMsgNotAudio = "This file doesn't contain an AIFF/AIFC standard audio recording.";
constexpr const char* kMsgNoChunk = "The %s chunk was not found";
constexpr const char* kMsgNoAudio = "The audio file does not contain audio";
constexpr const char* kMsgCompression = "The compression type %s (%s) is not supported.";

constexpr uint32_t kBlockSize = 65536;
// Limits on COMM values, so that block sizes and rates stay in range.
constexpr uint16_t kMaxChannels = 64;
constexpr uint16_t kMaxBits = 32;
constexpr double kMaxRate = 4000000.0;

std::string fourCCText(uint32_t v) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>(v >> (24 - 8 * i));
        s[static_cast<size_t>(i)] = (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

}  // namespace

AiffSource::AiffSource() = default;

AiffSource::~AiffSource() { Close(); }

bool AiffSource::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_AiffSource;
    return true;
}

bool AiffSource::Open() {
    if (!SourceBase::Open()) return false;
    file_ = std::fopen(path_.c_str(), "rb");
    if (file_ == nullptr) {
        Close();
        error("%s", kMsgCannotOpen);
        return false;
    }
    // Large blocks of audio: a bigger buffer saves thousands of system calls.
    std::setvbuf(file_, nullptr, _IOFBF, 256 * 1024);
    if (!openFile()) {
        Close();
        return false;
    }
    return true;
}

bool AiffSource::openFile() {
    AiffChunk form{kForm, 0, 0, 0};
    if (!findChunk(file_, form, nullptr)) {
        error("%s", kMsgNotAiff);
        detail("no 'FORM' chunk in the file's %lld bytes", static_cast<long long>(fileSize(file_)));
        return false;
    }
    bool aifc = form.formType == chunkId("AIFC");
    if (!aifc && form.formType != chunkId("AIFF")) {
        error("%s", kMsgNotAudio);
        detail("the FORM type is '%s', not 'AIFF' or 'AIFC'", fourCCText(form.formType).c_str());
        return false;
    }
    AiffChunk comm{chunkId("COMM"), 0, 0, 0};
    if (!findChunk(file_, comm, &form)) {
        error(kMsgNoChunk, "COMM");
        detail("no 'COMM' chunk in the FORM's %u bytes", form.size);
        return false;
    }
    uint8_t data[24] = {};
    size_t need = aifc ? 23 : 18;  // AIFC adds the compression type and the name's length byte
    if (comm.size < need || std::fread(data, 1, need, file_) != need) {
        error("%s", kMsgNotAiff);
        if (comm.size < need) {
            detail("'COMM' chunk holds %u bytes; %s needs %zu", comm.size, aifc ? "AIFC" : "AIFF", need);
        } else {
            detail("'COMM' chunk declares %u bytes, the file ends inside it", comm.size);
        }
        return false;
    }
    uint16_t channels = readBe16(data);
    uint32_t frames = readBe32(data + 2);
    uint16_t bits = readBe16(data + 6);
    double rate = decodeExtended(data + 8);
    uint32_t type = aifc ? readBe32(data + 18) : chunkId("NONE");
    std::string name;
    if (aifc) {
        uint32_t length = std::min<uint32_t>(data[22], comm.size - 23);
        name.resize(length);
        if (length > 0 && std::fread(name.data(), 1, length, file_) != length) name.clear();
    }
    compression_ = fourCCText(type);
    if (frames == 0) {
        error("%s", kMsgNoAudio);
        detail("'COMM' chunk declares 0 sample frames");
        return false;
    }
    // "ima4" is compressed; it is refused like any codec this source does not decode.
    if (type != chunkId("NONE") && type != chunkId("SONE") && type != chunkId("sowt")) {
        error(kMsgCompression, name.empty() ? "???" : name.c_str(), compression_.c_str());
        detail("only 'NONE', 'sowt' and 'SONE' sample data are read");
        return false;
    }
    littleEndian_ = type == chunkId("sowt");
    if (channels == 0 || channels > kMaxChannels || bits == 0 || bits > kMaxBits || !(rate >= 1) || rate > kMaxRate) {
        error("%s", kMsgNotAiff);
        detail("'COMM' chunk declares %u channels, %u bits, %g Hz; this source reads 1 to %u channels, 1 to %u bits, "
               "1 to %g Hz",
               unsigned{channels}, unsigned{bits}, rate, unsigned{kMaxChannels}, unsigned{kMaxBits}, kMaxRate);
        return false;
    }
    AiffChunk ssnd{chunkId("SSND"), 0, 0, 0};
    if (!findChunk(file_, ssnd, &form)) {
        error(kMsgNoChunk, "SSND");
        detail("no 'SSND' chunk in the FORM's %u bytes", form.size);
        return false;
    }
    uint8_t offsetAndBlock[8];
    if (ssnd.size < 8 || std::fread(offsetAndBlock, 1, 8, file_) != 8) {
        error("%s", kMsgNotAiff);
        detail("'SSND' chunk holds %u bytes; its offset and block size need 8", ssnd.size);
        return false;
    }
    // The offset field puts the first sample further in (it is 0 in almost every file).
    uint32_t offset = readBe32(offsetAndBlock);
    if (offset > ssnd.size - 8 || std::fseek(file_, static_cast<long>(offset), SEEK_CUR) != 0) {
        error("%s", kMsgNotAiff);
        detail("'SSND' chunk puts its first sample %u bytes in, past its %u bytes of sound data", offset, ssnd.size - 8);
        return false;
    }
    bytesPerSample_ = (bits + 7u) / 8u;
    format_ = {};
    format_.wFormatTag = WAVE_FORMAT_PCM;
    format_.nChannels = channels;
    format_.nSamplesPerSec = static_cast<uint32_t>(rate);
    // Samples of 12 or 20 bits sit left-aligned in whole bytes; PCM counts the bytes.
    format_.wBitsPerSample = static_cast<uint16_t>(bytesPerSample_ * 8);
    format_.nBlockAlign = static_cast<uint16_t>(channels * bytesPerSample_);
    format_.nAvgBytesPerSec = format_.nBlockAlign * format_.nSamplesPerSec;
    // Whatever follows the sound data in SSND, or another chunk after it, is not audio.
    uint64_t total = std::min<uint64_t>(uint64_t{frames} * format_.nBlockAlign, ssnd.size - 8 - offset);
    totalLength_ = static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFull));
    return true;
}

bool AiffSource::Run(IConvSink* sink) {
    if (!SourceBase::Run(sink)) return false;
    if (sink == nullptr) return false;
    uint32_t remaining = totalLength_;
    if (startTimeMs_ > 0) {
        uint64_t skip = uint64_t{format_.nAvgBytesPerSec} * static_cast<uint32_t>(startTimeMs_) / 1000;
        skip -= skip % format_.nBlockAlign;
        skip = std::min<uint64_t>(skip, remaining);
        if (std::fseek(file_, static_cast<long>(skip), SEEK_CUR) != 0) return true;
        remaining -= static_cast<uint32_t>(skip);
    }
    // Whole sample frames per block, so that no sample is split between blocks.
    const uint32_t block = kBlockSize - kBlockSize % format_.nBlockAlign;
    std::vector<uint8_t> buffer(block);
    while (remaining > 0) {
        uint32_t want = std::min(block, remaining);
        size_t got = std::fread(buffer.data(), 1, want, file_);
        if (got == 0) return true;
        remaining -= static_cast<uint32_t>(got);
        got -= got % bytesPerSample_;
        convertSamples(buffer.data(), got, bytesPerSample_, !littleEndian_);
        if (got > 0 && !sink->Write(buffer.data(), static_cast<uint32_t>(got))) return false;
        if (got < want) return true;
    }
    return true;
}

bool AiffSource::Close() {
    SourceBase::Close();
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    return true;
}

IUnknown* createAiffSource() { return static_cast<IConvSource*>(new (std::nothrow) AiffSource); }

}  // namespace tallory::formats::aiff
