// The tag file of ".mp3" files: ID3v2, ID3v1, Lyrics3 and MusicMatch tags read
// through id3lib, one ID3v2 or ID3v1 tag written.
#ifndef TALLORY_METADATA_MP3_METADATA_FILE_H
#define TALLORY_METADATA_MP3_METADATA_FILE_H

#include <string>

#include "tallory/metadata.h"
#include "core/ref_count.h"

namespace tallory::metadata {

class Mp3MetadataFile final : public IMetadataFile {
public:
    explicit Mp3MetadataFile(std::string path) : path_(std::move(path)) {}
    Mp3MetadataFile(const Mp3MetadataFile&) = delete;
    Mp3MetadataFile& operator=(const Mp3MetadataFile&) = delete;
    virtual ~Mp3MetadataFile() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    int GetCapabilities() override;
    HRESULT ReadTag(IMetadataTag** tag) override;
    HRESULT WriteTag(IMetadataTag* tag) override;

private:
    core::RefCount references_;
    std::string path_;
};

}  // namespace tallory::metadata

#endif
