#include "formats/flac/flac_metadata_file.h"

#include <FLAC/metadata.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "metadata/metadata_tag.h"
#include "metadata/vorbis_comments.h"

namespace tallory::formats::flac {

namespace {

struct ChainDeleter {
    void operator()(FLAC__Metadata_Chain* c) const { FLAC__metadata_chain_delete(c); }
};
struct IteratorDeleter {
    void operator()(FLAC__Metadata_Iterator* i) const { FLAC__metadata_iterator_delete(i); }
};
struct ObjectDeleter {
    void operator()(FLAC__StreamMetadata* o) const { FLAC__metadata_object_delete(o); }
};
using Chain = std::unique_ptr<FLAC__Metadata_Chain, ChainDeleter>;
using Iterator = std::unique_ptr<FLAC__Metadata_Iterator, IteratorDeleter>;
using Object = std::unique_ptr<FLAC__StreamMetadata, ObjectDeleter>;

Chain readChain(const std::string& path) {
    Chain chain(FLAC__metadata_chain_new());
    if (!chain) throw std::bad_alloc();
    if (!FLAC__metadata_chain_read(chain.get(), path.c_str())) return nullptr;
    return chain;
}

Object pictureObject(const metadata::VorbisPicture& p) {
    Object o(FLAC__metadata_object_new(FLAC__METADATA_TYPE_PICTURE));
    if (!o) throw std::bad_alloc();
    std::string mime = p.mimeType;
    std::string description = p.description;
    std::vector<FLAC__byte> data(p.data.begin(), p.data.end());
    if (!FLAC__metadata_object_picture_set_mime_type(o.get(), mime.data(), true) ||
        !FLAC__metadata_object_picture_set_description(o.get(), reinterpret_cast<FLAC__byte*>(description.data()), true) ||
        !FLAC__metadata_object_picture_set_data(o.get(), data.data(), static_cast<FLAC__uint32>(data.size()), true)) {
        throw std::bad_alloc();
    }
    o->data.picture.type = static_cast<FLAC__StreamMetadata_Picture_Type>(p.type <= 20 ? p.type : 0);
    o->data.picture.width = p.width;
    o->data.picture.height = p.height;
    o->data.picture.depth = p.depth;
    o->data.picture.colors = p.colors;
    const char* why = nullptr;
    if (!FLAC__metadata_object_picture_is_legal(o.get(), &why)) return nullptr;
    return o;
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
    try {
        Chain chain = readChain(path_);
        if (!chain) return E_FAIL;
        Iterator it(FLAC__metadata_iterator_new());
        if (!it) throw std::bad_alloc();
        FLAC__metadata_iterator_init(it.get(), chain.get());
        std::vector<std::string> comments;
        std::vector<metadata::VorbisPicture> pictures;
        do {
            const FLAC__StreamMetadata* block = FLAC__metadata_iterator_get_block(it.get());
            if (block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
                const auto& vc = block->data.vorbis_comment;
                for (FLAC__uint32 i = 0; i < vc.num_comments; ++i) {
                    comments.emplace_back(reinterpret_cast<const char*>(vc.comments[i].entry), vc.comments[i].length);
                }
            } else if (block->type == FLAC__METADATA_TYPE_PICTURE) {
                const auto& pic = block->data.picture;
                metadata::VorbisPicture p;
                p.type = static_cast<uint32_t>(pic.type);
                p.mimeType = pic.mime_type != nullptr ? pic.mime_type : "";
                p.description = pic.description != nullptr ? reinterpret_cast<const char*>(pic.description) : "";
                p.width = pic.width;
                p.height = pic.height;
                p.depth = pic.depth;
                p.colors = pic.colors;
                if (pic.data != nullptr) p.data.assign(pic.data, pic.data + pic.data_length);
                pictures.push_back(std::move(p));
            }
        } while (FLAC__metadata_iterator_next(it.get()));

        auto* result = new metadata::MetadataTag;
        result->AddRef();
        try {
            metadata::readVorbisComments(comments, result->library());
            for (const metadata::VorbisPicture& p : pictures) metadata::addPicture(p, result->library());
        } catch (...) {
            result->Release();
            throw;
        }
        *tag = result;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT FlacMetadataFile::WriteTag(IMetadataTag* tag) {
    metadata::MetadataTag* source = metadata::asMetadataTag(tag);
    if (source == nullptr) return E_INVALIDARG;
    try {
        Chain chain = readChain(path_);
        if (!chain) return E_FAIL;
        Iterator it(FLAC__metadata_iterator_new());
        if (!it) throw std::bad_alloc();
        // Old comment and picture blocks become padding, so that a tag of about
        // the same size is rewritten in place.
        FLAC__metadata_iterator_init(it.get(), chain.get());
        do {
            const FLAC__MetadataType type = FLAC__metadata_iterator_get_block_type(it.get());
            if (type == FLAC__METADATA_TYPE_VORBIS_COMMENT || type == FLAC__METADATA_TYPE_PICTURE) {
                if (!FLAC__metadata_iterator_delete_block(it.get(), true)) return E_FAIL;
            }
        } while (FLAC__metadata_iterator_next(it.get()));

        Object comments(FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT));
        if (!comments) throw std::bad_alloc();
        for (const std::string& c : metadata::writeVorbisComments(source->library(), false)) {
            FLAC__StreamMetadata_VorbisComment_Entry entry;
            entry.length = static_cast<FLAC__uint32>(c.size());
            entry.entry = reinterpret_cast<FLAC__byte*>(const_cast<char*>(c.data()));
            if (!FLAC__metadata_object_vorbiscomment_append_comment(comments.get(), entry, true)) throw std::bad_alloc();
        }
        std::vector<Object> pictures;
        for (const metadata::VorbisPicture& p : metadata::picturesOf(source->library())) {
            if (Object o = pictureObject(p)) pictures.push_back(std::move(o));
        }

        // STREAMINFO stays first; the comments follow it, then the pictures.
        FLAC__metadata_iterator_init(it.get(), chain.get());
        if (!FLAC__metadata_iterator_insert_block_after(it.get(), comments.get())) return E_FAIL;
        comments.release();  // the chain owns it now
        for (Object& o : pictures) {
            if (!FLAC__metadata_iterator_insert_block_after(it.get(), o.get())) return E_FAIL;
            o.release();
        }
        FLAC__metadata_chain_sort_padding(chain.get());
        // Written in place when the padding allows, else through a complete
        // temporary copy renamed over the file: never half written.
        if (!FLAC__metadata_chain_write(chain.get(), true, false)) return E_FAIL;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace tallory::formats::flac
