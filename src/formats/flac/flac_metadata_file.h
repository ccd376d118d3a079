// The tag file of ".flac" files: the VORBIS_COMMENT block and the PICTURE
// blocks, read into and written from ID3v2 frames through the shared Vorbis
// comment mapping.
#ifndef TALLORY_FORMATS_FLAC_FLAC_METADATA_FILE_H
#define TALLORY_FORMATS_FLAC_FLAC_METADATA_FILE_H

#include <string>

#include "core/ref_count.h"
#include "tallory/metadata.h"

namespace tallory::formats::flac {

class FlacMetadataFile final : public IMetadataFile {
public:
    explicit FlacMetadataFile(std::string path) : path_(std::move(path)) {}
    FlacMetadataFile(const FlacMetadataFile&) = delete;
    FlacMetadataFile& operator=(const FlacMetadataFile&) = delete;
    virtual ~FlacMetadataFile() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    TALLORY_REFCOUNTED_METHODS
    int GetCapabilities() override;
    // An empty tag for a file without comments; E_FAIL when it is no FLAC file.
    HRESULT ReadTag(IMetadataTag** tag) override;
    // Replaces every comment and picture block through one atomic file
    // replacement; the other blocks and the audio frames keep their bytes.
    HRESULT WriteTag(IMetadataTag* tag) override;

private:
    core::RefCount refs_;
    std::string path_;
};

}  // namespace tallory::formats::flac

#endif
