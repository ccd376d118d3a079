#include "formats/flac/flac_metadata_file.h"

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/export_guard.h"
#include "formats/flac/flac_metadata_blocks.h"
#include "metadata/metadata_tag.h"
#include "metadata/vorbis_comments.h"
#include "platform/files/temp_file.h"
#include "tallory/ref.h"

namespace tallory::formats::flac {

namespace {

// True when the file's bytes before `length` are `bytes`.
bool startsWith(std::FILE* file, const std::vector<uint8_t>& bytes) {
    if (fseeko(file, 0, SEEK_SET) != 0) return false;
    std::vector<uint8_t> have(bytes.size());
    return std::fread(have.data(), 1, have.size(), file) == have.size() && have == bytes;
}

}  // namespace

HRESULT FlacMetadataFile::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IMetadataFile) {
        *object = static_cast<IMetadataFile*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

int FlacMetadataFile::GetCapabilities() { return METADATA_CAN_READ | METADATA_CAN_WRITE; }

HRESULT FlacMetadataFile::ReadTag(IMetadataTag** tag) {
    if (tag == nullptr) return E_INVALIDARG;
    *tag = nullptr;
    return core::guardExport("IMetadataFile::ReadTag", E_FAIL, [&]() -> HRESULT {
        platform::UniqueFile in(std::fopen(path_.c_str(), "rb"));
        if (!in) return E_FAIL;
        std::string why;
        std::optional<FlacLayout> layout = readFlacLayout(in.get(), &why);
        if (!layout) return E_FAIL;
        // A new tag counts no references yet: the holder takes the first.
        auto result = Ref<metadata::MetadataTag>::share(new metadata::MetadataTag);
        metadata::readVorbisComments(commentsOf(*layout).comments, result->library());
        for (const metadata::VorbisPicture& p : picturesOf(*layout)) metadata::addPicture(p, result->library());
        *tag = result.release();
        return S_OK;
    });
}

HRESULT FlacMetadataFile::WriteTag(IMetadataTag* tag) {
    metadata::MetadataTag* source = metadata::asMetadataTag(tag);
    if (source == nullptr) return E_INVALIDARG;
    return core::guardExport("IMetadataFile::WriteTag", E_FAIL, [&]() -> HRESULT {
        platform::UniqueFile in(std::fopen(path_.c_str(), "rb"));
        if (!in) return E_FAIL;
        std::string why;
        std::optional<platform::ReplacementPlan> plan =
            planTagRewrite(in.get(), metadata::writeVorbisComments(source->library(), false),
                           metadata::picturesOf(source->library()), &why);
        if (!plan) return E_FAIL;
        // Nothing changes: the file is left alone.
        if (plan->keepOffset == plan->head.size() && startsWith(in.get(), plan->head)) return S_OK;
        return platform::replaceFile(path_, *plan, fileno(in.get())) ? S_OK : E_FAIL;
    });
}

}  // namespace tallory::formats::flac
