// The one translation between Vorbis comments ("FIELD=value", as FLAC, Ogg and
// Opus files carry them) and the ID3v2 frames of the tag model, and the codec
// of the picture record that FLAC stores as a PICTURE block and Ogg streams as
// a base64 "METADATA_BLOCK_PICTURE" comment.
#ifndef TALLORY_METADATA_VORBIS_COMMENTS_H
#define TALLORY_METADATA_VORBIS_COMMENTS_H

#include <id3/tag.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallory::metadata {

// A picture record (FLAC format, METADATA_BLOCK_PICTURE).
struct VorbisPicture {
    uint32_t type = 3;  // ID3v2 picture type; 3 is the front cover
    std::string mimeType;
    std::string description;  // UTF-8
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 0;
    uint32_t colors = 0;
    std::vector<uint8_t> data;
};

// The comment field names of ReplayGain 2.0 and of RFC 7845's R128 gain.
inline constexpr const char* kTrackGainField = "REPLAYGAIN_TRACK_GAIN";
inline constexpr const char* kTrackPeakField = "REPLAYGAIN_TRACK_PEAK";
inline constexpr const char* kAlbumGainField = "REPLAYGAIN_ALBUM_GAIN";
inline constexpr const char* kAlbumPeakField = "REPLAYGAIN_ALBUM_PEAK";
inline constexpr const char* kR128TrackGainField = "R128_TRACK_GAIN";
inline constexpr const char* kR128AlbumGainField = "R128_ALBUM_GAIN";
inline constexpr const char* kPictureField = "METADATA_BLOCK_PICTURE";

// A picture block larger than this is refused: FLAC's block length field holds 24 bits.
inline constexpr size_t kMaxPictureBlockBytes = (size_t{1} << 24) - 1;

// True for a valid field name: printable ASCII 0x20 to 0x7D without '=', not empty.
bool isValidFieldName(std::string_view name);

// Adds the frames of `comments` ("FIELD=value", UTF-8) to `tag`. Names are
// compared without regard to case; several values of one field are joined with
// "; "; a field without a frame of its own becomes a TXXX frame named after it;
// "METADATA_BLOCK_PICTURE" values become APIC frames. Malformed entries are skipped.
void readVorbisComments(std::span<const std::string> comments, ID3_Tag& tag);
// The comments for the frames of `tag`, in the tag's order. With `picturesAsComments`
// the APIC frames become "METADATA_BLOCK_PICTURE" entries (Ogg); without, they
// are left to the caller (FLAC PICTURE blocks, see picturesOf).
std::vector<std::string> writeVorbisComments(const ID3_Tag& tag, bool picturesAsComments);

// APIC frames as picture records, and the reverse (added to `tag`).
std::vector<VorbisPicture> picturesOf(const ID3_Tag& tag);
void addPicture(const VorbisPicture& picture, ID3_Tag& tag);

// The FLAC picture record's bytes (big-endian fields); nullopt when a length is
// inconsistent with the bytes given or the record is too large.
std::optional<VorbisPicture> parsePictureBlock(std::span<const uint8_t> bytes);
std::vector<uint8_t> renderPictureBlock(const VorbisPicture& picture);

// The body of a comment header (vendor, then the comments, little-endian
// lengths), after any magic signature. nullopt when a length runs past the end.
struct CommentPacket {
    std::string vendor;
    std::vector<std::string> comments;
};
std::optional<CommentPacket> parseCommentPacket(std::span<const uint8_t> bytes);
std::vector<uint8_t> renderCommentPacket(const CommentPacket& packet);

std::string base64Encode(std::span<const uint8_t> bytes);
// nullopt for a character outside the alphabet or a bad length.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace tallory::metadata

#endif
