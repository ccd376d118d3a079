#include "metadata/wma_metadata_file.h"

#include <new>

#include "metadata/metadata_tag.h"
#include "metadata/wma_attribute_map.h"
#include "platform/media/metadata_editor.h"

namespace tallory::metadata {

using platform::media::MediaStatus;
using platform::media::MetadataEditor;

HRESULT WmaMetadataFile::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IMetadataFile) {
        *object = static_cast<IMetadataFile*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

uint32_t WmaMetadataFile::AddRef() { return references_.increment(); }

uint32_t WmaMetadataFile::Release() {
    const uint32_t left = references_.decrement();
    if (left == 0) delete this;
    return left;
}

int WmaMetadataFile::GetCapabilities() { return METADATA_CAN_READ | METADATA_CAN_WRITE; }

HRESULT WmaMetadataFile::ReadTag(IMetadataTag** tag) {
    if (tag == nullptr) return E_INVALIDARG;
    try {
        MetadataEditor editor;
        const MediaStatus opened = editor.Open(path_);
        if (!opened) return opened.code();
        auto* result = new MetadataTag;
        try {
            readWmaAttributes(editor, result->library());
        } catch (...) {
            delete result;
            throw;
        }
        result->AddRef();
        *tag = result;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WmaMetadataFile::WriteTag(IMetadataTag* tag) {
    MetadataTag* source = asMetadataTag(tag);
    if (source == nullptr) return E_INVALIDARG;
    try {
        MetadataEditor editor;
        const MediaStatus opened = editor.Open(path_);
        if (!opened) return opened.code();
        deleteOwnedAttributes(editor);
        writeWmaAttributes(source->library(), editor);
        const MediaStatus flushed = editor.Flush();
        return flushed ? S_OK : flushed.code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace tallory::metadata
