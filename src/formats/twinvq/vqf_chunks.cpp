#include "formats/twinvq/vqf_chunks.h"

namespace tallory::formats::twinvq {

namespace {

constexpr size_t kIdBytes = 4;
constexpr size_t kCommBytes = 16;

}  // namespace

std::string CChunk::readChars(size_t count) {
    if (count > bytesLeft()) return std::string();
    std::string text(reinterpret_cast<const char*>(data_.data() + pos_), count);
    pos_ += count;
    return text;
}

bool CChunk::readInt32(int32_t* value) {
    if (bytesLeft() < 4) return false;
    const uint8_t* p = data_.data() + pos_;
    const uint32_t v = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                       (static_cast<uint32_t>(p[2]) << 8) | p[3];
    pos_ += 4;
    if (value != nullptr) *value = static_cast<int32_t>(v);
    return true;
}

CChunk CChunkChunk::nextSubChunk() {
    std::string id = readChars(kIdBytes);
    if (id.empty()) throw err_FailGetChunk();
    int32_t size = 0;
    if (!readInt32(&size)) throw err_ChunkTooLarge("chunk '" + id + "' has no size");
    const auto declared = static_cast<uint32_t>(size);
    if (declared > bytesLeft()) {
        throw err_ChunkTooLarge("chunk '" + id + "' declares " + std::to_string(declared) + " bytes; the list has " +
                                std::to_string(bytesLeft()) + " left");
    }
    std::vector<uint8_t> contents;
    if (declared > 0) {
        contents.assign(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                        data_.begin() + static_cast<std::ptrdiff_t>(pos_ + declared));
        pos_ += declared;
    }
    return CChunk(std::move(id), std::move(contents));
}

CCommChunk::CCommChunk(const CChunk& chunk) : CChunk(chunk) {
    rewind();
    if (bytesLeft() < kCommBytes) throw err_TooShort();
    readInt32(&channelMode);
    readInt32(&bitRate);
    readInt32(&samplingRate);
    readInt32(&securityLevel);
}

CHeaderManager::CHeaderManager(CChunkChunk header) {
    // Every chunk takes at least its identifier and size, so these loops end
    // within the header's bytes.
    try {
        for (;;) {
            CChunk chunk = header.nextSubChunk();
            if (chunk.id() == "SCND") {
                CChunkChunk list(chunk.id(), chunk.contents());
                for (;;) {
                    CChunk sub;
                    try {
                        sub = list.nextSubChunk();
                    } catch (const CChunkChunk::err_FailGetChunk&) {
                        break;
                    }
                    secondary_.emplace(sub.id(), std::move(sub));
                }
            }
            primary_.emplace(chunk.id(), std::move(chunk));
        }
    } catch (const CChunkChunk::err_FailGetChunk&) {
        // the end of the header's list
    } catch (const CChunkChunk::err_ChunkTooLarge& e) {
        throw err_WrongChunkFormat(e.what());
    }
}

const CChunk& CHeaderManager::getPrimaryChunk(const std::string& id) const {
    auto it = primary_.find(id);
    if (it == primary_.end()) throw err_FailGetChunk(id);
    return it->second;
}

const CChunk& CHeaderManager::getSecondaryChunk(const std::string& id) const {
    auto it = secondary_.find(id);
    if (it == secondary_.end()) throw err_FailGetChunk(id);
    return it->second;
}

CCommChunk CHeaderManager::getComm() const {
    const CChunk& chunk = getPrimaryChunk("COMM");
    try {
        return CCommChunk(chunk);
    } catch (const CCommChunk::err_TooShort& e) {
        throw err_WrongChunkFormat(e.what());
    }
}

}  // namespace tallory::formats::twinvq
