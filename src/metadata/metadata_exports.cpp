// The exports that create tag files, tags and frames.
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/export_guard.h"
#include "formats/flac/flac_metadata_file.h"
#include "formats/ogg/ogg_metadata_file.h"
#include "formats/opus/opus_metadata_file.h"
#include "metadata/frame_kinds.h"
#include "metadata/metadata_frame.h"
#include "metadata/metadata_tag.h"
#include "metadata/mp3_metadata_file.h"
#include "metadata/wma_metadata_file.h"
#include "tallory/metadata.h"

namespace tallory::metadata {

namespace {

using CreateFile = IMetadataFile* (*)(const std::string& path);

IMetadataFile* createMp3(const std::string& path) { return new (std::nothrow) Mp3MetadataFile(path); }
IMetadataFile* createWma(const std::string& path) { return new (std::nothrow) WmaMetadataFile(path); }
IMetadataFile* createFlac(const std::string& path) { return new (std::nothrow) formats::flac::FlacMetadataFile(path); }
IMetadataFile* createOgg(const std::string& path) { return new (std::nothrow) formats::ogg::OggMetadataFile(path); }
IMetadataFile* createOpus(const std::string& path) { return new (std::nothrow) formats::opus::OpusMetadataFile(path); }

struct FileClassRow {
    const char* extension;
    CreateFile create;  // null while the class is not built
};

// ".asf" is handled but not listed by MetadataGetFormats; nor are the Vorbis
// comment formats, whose list callers read into a buffer of a fixed size.
constexpr FileClassRow kFileClasses[] = {
    {".mp3", &createMp3},   {".wma", &createWma}, {".asf", &createWma},
    {".flac", &createFlac}, {".ogg", &createOgg}, {".opus", &createOpus},
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// From the last '.' of the file-name part; empty when it has none.
std::string_view extensionOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

}  // namespace

}  // namespace tallory::metadata

using namespace tallory::metadata;

extern "C" {

TALLORY_API void MetadataGetFormats(char* buffer) noexcept {
    static const char kFormats[11] = {'.', 'm', 'p', '3', 0, '.', 'w', 'm', 'a', 0, 0};
    if (buffer != nullptr) std::memcpy(buffer, kFormats, sizeof kFormats);
}

static HRESULT metadataCreateFromFile(const char* path, IMetadataFile** file) {
    if (path == nullptr || file == nullptr) return E_INVALIDARG;
    const std::string_view extension = extensionOf(path);
    for (const FileClassRow& row : kFileClasses) {
        if (!equalsIgnoringCase(extension, row.extension)) continue;
        if (row.create == nullptr) return E_NOTIMPL;
        IMetadataFile* created = nullptr;
        try {
            created = row.create(path);
        } catch (const std::bad_alloc&) {
            created = nullptr;
        }
        if (created == nullptr) return E_OUTOFMEMORY;
        created->AddRef();
        *file = created;
        return S_OK;
    }
    return E_INVALIDARG;
}

TALLORY_API HRESULT MetadataCreateFromFile(const char* path, IMetadataFile** file) noexcept {
    return tallory::core::guardExport("MetadataCreateFromFile", E_FAIL, [&] { return metadataCreateFromFile(path, file); });
}

static HRESULT metadataCreateTag(IMetadataTag** tag) {
    if (tag == nullptr) return E_INVALIDARG;
    auto* created = new (std::nothrow) MetadataTag;
    if (created == nullptr) return E_OUTOFMEMORY;
    created->AddRef();
    *tag = created;
    return S_OK;
}

TALLORY_API HRESULT MetadataCreateTag(IMetadataTag** tag) noexcept {
    return tallory::core::guardExport("MetadataCreateTag", E_OUTOFMEMORY, [&] { return metadataCreateTag(tag); });
}

static HRESULT metadataCreateFrame(int frameId, const IID& iid, void** frame) {
    if (frame == nullptr) return E_INVALIDARG;
    *frame = nullptr;
    const FrameKind kind = frameKindOf(frameId);
    if (kind == FrameKind::None) return E_INVALIDARG;
    ID3_Frame* library = new (std::nothrow) ID3_Frame(static_cast<ID3_FrameID>(frameId));
    if (library == nullptr) return E_OUTOFMEMORY;
    IMetadataFrame* object = makeFrameObject(library, true);
    if (object == nullptr) {
        delete library;
        return E_OUTOFMEMORY;
    }
    // The object owns the library frame from here; a refused interface frees both.
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, frame);
    if (SUCCEEDED(hr)) applyDefaults(kind, *library);
    object->Release();
    return hr;
}

TALLORY_API HRESULT MetadataCreateFrame(int frameId, const IID& iid, void** frame) noexcept {
    return tallory::core::guardExport("MetadataCreateFrame", E_FAIL, [&] { return metadataCreateFrame(frameId, iid, frame); });
}

}  // extern "C"
