#include "formats/aiff/aiff_target.h"

#include <cstring>
#include <new>

#include "formats/aiff/aiff_samples.h"

namespace tallory::formats::aiff {

namespace {

constexpr const char* kMsgCannotOpen = "Cannot open file for writing";
constexpr const char* kMsgCreateChunk = "Cannot create chunk";
constexpr const char* kMsgCannotWrite = "Cannot write to file (error #%d)";
// The COMM data starts after "FORM", its size, "AIFF", "COMM" and its size.
constexpr long kCommDataOffset = 20;
// Sizes are 32-bit: the sound data stops short of what the FORM size can count.
constexpr uint64_t kMaxSoundBytes = 0xFFFFFFFFull - 64;

}  // namespace

AiffTarget::AiffTarget() : TargetBase(CLSID_AiffTarget) {}

AiffTarget::~AiffTarget() { Close(); }

bool AiffTarget::GetClassId(CLSID* classId) {
    if (classId == nullptr) return false;
    *classId = CLSID_AiffTarget;
    return true;
}

bool AiffTarget::writeComm(uint32_t frames) {
    uint8_t comm[18];
    putBe16(comm, format_.nChannels);
    putBe32(comm + 2, frames);
    putBe16(comm + 6, format_.wBitsPerSample);
    encodeExtended(format_.nSamplesPerSec, comm + 8);
    return std::fwrite(comm, 1, sizeof comm, file_) == sizeof comm;
}

bool AiffTarget::Open() {
    if (!TargetBase::Open()) return false;
    byteCount_ = 0;
    partial_.clear();
    file_ = createOutput(kMsgCannotOpen);
    if (file_ == nullptr) return false;
    form_ = {kForm, 0, chunkId("AIFF"), 0};
    comm_ = {chunkId("COMM"), 0, 0, 0};
    ssnd_ = {chunkId("SSND"), 0, 0, 0};
    uint8_t offsetAndBlock[8] = {};
    if (!beginChunk(file_, form_) || !beginChunk(file_, comm_) || !writeComm(0) || !endChunk(file_, comm_) ||
        !beginChunk(file_, ssnd_) || std::fwrite(offsetAndBlock, 1, 8, file_) != 8) {
        abandonOutput();
        Close();
        error("%s", kMsgCreateChunk);
        return false;
    }
    return true;
}

bool AiffTarget::Write(uint32_t byteCount, const void* data) {
    if (file_ == nullptr || (data == nullptr && byteCount > 0)) {
        error(kMsgCannotWrite, 0);
        return false;
    }
    if (byteCount_ + byteCount > kMaxSoundBytes) {
        error(kMsgCannotWrite, 1);
        return false;
    }
    byteCount_ += byteCount;
    const uint32_t bytesPerSample = (format_.wBitsPerSample + 7u) / 8u;
    std::vector<uint8_t> block;
    try {
        block.reserve(partial_.size() + byteCount);
    } catch (const std::bad_alloc&) {
        error(kMsgCannotWrite, 1);
        return false;
    }
    block.assign(partial_.begin(), partial_.end());
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    block.insert(block.end(), bytes, bytes + byteCount);
    // A sample cut by the end of this block is finished by the next one.
    size_t whole = bytesPerSample > 1 ? block.size() - block.size() % bytesPerSample : block.size();
    partial_.assign(block.begin() + static_cast<std::ptrdiff_t>(whole), block.end());
    convertSamples(block.data(), whole, bytesPerSample, true);
    if (std::fwrite(block.data(), 1, whole, file_) != whole) {
        error(kMsgCannotWrite, std::ferror(file_));
        return false;
    }
    return true;
}

bool AiffTarget::Close() {
    if (file_ == nullptr) return true;
    bool ok = true;
    if (ssnd_.dataOffset != 0 && !abandoned()) {
        // Bytes of an unfinished last sample are dropped: they are not a sample.
        uint64_t written = byteCount_ - partial_.size();
        uint32_t frames = format_.nBlockAlign != 0 ? static_cast<uint32_t>(written / format_.nBlockAlign) : 0;
        ok = endChunk(file_, ssnd_) && endChunk(file_, form_) && std::fseek(file_, kCommDataOffset, SEEK_SET) == 0 &&
             writeComm(frames);
    }
    // The stream belongs to the output file, which flushes and closes it.
    file_ = nullptr;
    ssnd_ = {};
    partial_.clear();
    if (!ok) {
        outputFile_.discard();
        error(kMsgCannotWrite, 1);
        return false;
    }
    return finishOutput(outputFile_);
}

bool AiffTarget::EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) {
    if (sourceFormat == nullptr || outputBytes == nullptr) return false;
    *outputBytes = sourceBytes;
    return true;
}

bool AiffTarget::ShowSettings(HWND, IConvTarget**) { return false; }

IUnknown* createAiffTarget() { return static_cast<IConvTarget*>(new (std::nothrow) AiffTarget); }

}  // namespace tallory::formats::aiff
