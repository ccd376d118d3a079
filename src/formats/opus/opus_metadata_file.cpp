#include "formats/opus/opus_metadata_file.h"

#include <cstring>
#include <new>

#include "formats/ogg/ogg_headers.h"
#include "metadata/metadata_tag.h"

namespace tallory::formats::opus {

namespace {

constexpr char kTagsMagic[] = "OpusTags";
constexpr size_t kMagicBytes = 8;
constexpr const char* kDefaultVendor = "Tallory";

// RFC 7845 5.2: binary data after the comments whose first byte has its
// lowest bit set is to be kept by editors; padding (lowest bit clear) is not.
std::vector<uint8_t> keptTrailer(std::span<const uint8_t> packet, const metadata::CommentPacket& parsed) {
    const size_t used = kMagicBytes + metadata::renderCommentPacket(parsed).size();
    if (packet.size() <= used || (packet[used] & 1) == 0) return {};
    return std::vector<uint8_t>(packet.begin() + static_cast<long>(used), packet.end());
}

}  // namespace

std::optional<metadata::CommentPacket> parseOpusTags(std::span<const uint8_t> packet) {
    if (packet.size() < kMagicBytes || std::memcmp(packet.data(), kTagsMagic, kMagicBytes) != 0) return std::nullopt;
    return metadata::parseCommentPacket(packet.subspan(kMagicBytes));
}

std::vector<uint8_t> renderOpusTags(const metadata::CommentPacket& comments) {
    std::vector<uint8_t> out(kTagsMagic, kTagsMagic + kMagicBytes);
    const std::vector<uint8_t> body = metadata::renderCommentPacket(comments);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<std::string> opusCommentsOf(const ID3_Tag& tag) {
    std::vector<std::string> out;
    for (std::string& c : metadata::writeVorbisComments(tag, true)) {
        std::string name = c.substr(0, c.find('='));
        for (char& ch : name) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
        if (name.rfind("REPLAYGAIN_", 0) == 0) continue;
        out.push_back(std::move(c));
    }
    return out;
}

std::optional<metadata::CommentPacket> readOpusTags(const std::string& path, std::string* why) {
    auto raw = ogg::readCommentPacket(path, ogg::kOpusHeaders, why);
    if (!raw) return std::nullopt;
    auto packet = parseOpusTags(*raw);
    if (!packet) *why = "a malformed OpusTags header";
    return packet;
}

bool writeOpusTags(const std::string& path, const std::vector<std::string>& comments, std::string* why) {
    auto raw = ogg::readCommentPacket(path, ogg::kOpusHeaders, why);
    if (!raw) return false;
    auto old = parseOpusTags(*raw);
    metadata::CommentPacket packet;
    packet.vendor = old ? old->vendor : kDefaultVendor;
    packet.comments = comments;
    std::vector<uint8_t> tags = renderOpusTags(packet);
    if (old) {
        const std::vector<uint8_t> trailer = keptTrailer(*raw, *old);
        tags.insert(tags.end(), trailer.begin(), trailer.end());
    }
    if (tags == *raw) return true;  // nothing changes: the file is left alone
    return ogg::rewriteComment(path, ogg::kOpusHeaders, tags, why);
}

HRESULT OpusMetadataFile::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IMetadataFile) {
        *object = static_cast<IMetadataFile*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

int OpusMetadataFile::GetCapabilities() { return METADATA_CAN_READ | METADATA_CAN_WRITE; }

HRESULT OpusMetadataFile::ReadTag(IMetadataTag** tag) {
    if (tag == nullptr) return E_INVALIDARG;
    *tag = nullptr;
    try {
        std::string why;
        auto packet = readOpusTags(path_, &why);
        if (!packet) return E_FAIL;
        auto* result = new metadata::MetadataTag;
        result->AddRef();
        try {
            metadata::readVorbisComments(packet->comments, result->library());
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

HRESULT OpusMetadataFile::WriteTag(IMetadataTag* tag) {
    metadata::MetadataTag* source = metadata::asMetadataTag(tag);
    if (source == nullptr) return E_INVALIDARG;
    try {
        std::string why;
        return writeOpusTags(path_, opusCommentsOf(source->library()), &why) ? S_OK : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace tallory::formats::opus
