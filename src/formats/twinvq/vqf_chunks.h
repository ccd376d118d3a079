// The chunks of a VQF header: a plain chunk with a read cursor, a chunk whose
// contents are a chunk list, the COMM chunk, and the header manager that
// indexes the header's chunks (and those of its "SCND" chunk) by identifier.
// The header reader catches every error these throw.
#ifndef TALLORY_FORMATS_TWINVQ_VQF_CHUNKS_H
#define TALLORY_FORMATS_TWINVQ_VQF_CHUNKS_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tallory::formats::twinvq {

// A header chunk: identifier and contents, with a read cursor over the contents.
class CChunk {
public:
    CChunk() = default;
    CChunk(std::string id, std::vector<uint8_t> contents) : id_(std::move(id)), data_(std::move(contents)) {}
    virtual ~CChunk() = default;

    virtual const char* typeName() const { return "Raw"; }
    const std::string& id() const { return id_; }
    const std::vector<uint8_t>& contents() const { return data_; }
    size_t bytesLeft() const { return data_.size() - pos_; }
    void rewind() { pos_ = 0; }

    // The next `count` characters; empty when fewer are left (the cursor stays).
    std::string readChars(size_t count);
    // The next big-endian 32-bit integer; false when fewer than 4 bytes are left.
    bool readInt32(int32_t* value);

protected:
    std::string id_;
    std::vector<uint8_t> data_;
    size_t pos_ = 0;
};

// A chunk whose contents are a chunk list.
class CChunkChunk : public CChunk {
public:
    struct err_FailGetChunk : std::runtime_error {
        err_FailGetChunk() : std::runtime_error("no further chunk") {}
    };
    // A sub-chunk declares more bytes than its list has left.
    struct err_ChunkTooLarge : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    using CChunk::CChunk;
    const char* typeName() const override { return "Chunk"; }
    // Reads the next sub-chunk; throws err_FailGetChunk at the end of the list
    // (an empty identifier) and err_ChunkTooLarge for a size past the list's end.
    CChunk nextSubChunk();
};

// "COMM": channel mode, bit rate (kbit/s), sampling rate (kHz), security level.
class CCommChunk : public CChunk {
public:
    struct err_TooShort : std::runtime_error {
        err_TooShort() : std::runtime_error("COMM chunk shorter than 16 bytes") {}
    };
    explicit CCommChunk(const CChunk& chunk);
    const char* typeName() const override { return "COMM"; }

    int32_t channelMode = 0;
    int32_t bitRate = 0;
    int32_t samplingRate = 0;
    int32_t securityLevel = 0;
};

class CHeaderManager {
public:
    struct err_FailGetChunk : std::runtime_error {
        explicit err_FailGetChunk(const std::string& id) : std::runtime_error("no '" + id + "' chunk") {}
    };
    struct err_WrongChunkFormat : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Indexes every chunk of `header`; throws err_WrongChunkFormat for a chunk
    // of the wrong shape.
    explicit CHeaderManager(CChunkChunk header);

    // Lookups in the primary table; throw err_FailGetChunk for a missing identifier.
    const CChunk& getPrimaryChunk(const std::string& id) const;
    const CChunk& getSecondaryChunk(const std::string& id) const;
    // The COMM chunk; err_FailGetChunk when missing, err_WrongChunkFormat when short.
    CCommChunk getComm() const;

    size_t primaryCount() const { return primary_.size(); }
    size_t secondaryCount() const { return secondary_.size(); }

private:
    std::map<std::string, CChunk> primary_;
    std::map<std::string, CChunk> secondary_;
};

}  // namespace tallory::formats::twinvq

#endif
