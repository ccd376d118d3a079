// The tag file of ".wma" and ".asf" files: the file-level attributes of the
// ASF header, read into and written from ID3v2 frames through the metadata
// editor.
#ifndef TALLORY_METADATA_WMA_METADATA_FILE_H
#define TALLORY_METADATA_WMA_METADATA_FILE_H

#include <string>

#include "tallory/metadata.h"
#include "core/ref_count.h"

namespace tallory::metadata {

class WmaMetadataFile final : public IMetadataFile {
public:
    explicit WmaMetadataFile(std::string path) : path_(std::move(path)) {}
    WmaMetadataFile(const WmaMetadataFile&) = delete;
    WmaMetadataFile& operator=(const WmaMetadataFile&) = delete;
    virtual ~WmaMetadataFile() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    int GetCapabilities() override;
    // The editor's error when the file cannot be opened (no tag is made).
    HRESULT ReadTag(IMetadataTag** tag) override;
    // The result of writing the file; the original is untouched on failure.
    HRESULT WriteTag(IMetadataTag* tag) override;

private:
    core::RefCount references_;
    std::string path_;
};

}  // namespace tallory::metadata

#endif
