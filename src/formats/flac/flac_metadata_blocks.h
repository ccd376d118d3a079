// The metadata blocks of a native FLAC file, read and rebuilt without
// libFLAC, so that a tag write can go through one atomic file replacement
// (libFLAC's chain writer edits in place). An ID3v2 tag some writers put
// before "fLaC" is kept as it is.
#ifndef TALLORY_FORMATS_FLAC_FLAC_METADATA_BLOCKS_H
#define TALLORY_FORMATS_FLAC_FLAC_METADATA_BLOCKS_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "metadata/vorbis_comments.h"
#include "platform/files/output_file.h"

namespace tallory::formats::flac {

// FLAC format: metadata block types.
enum class FlacBlockKind : uint8_t {
    streamInfo = 0,
    padding = 1,
    application = 2,
    seekTable = 3,
    vorbisComment = 4,
    cueSheet = 5,
    picture = 6,
};

struct FlacBlock {
    uint8_t type = 0;
    std::vector<uint8_t> body;
};

struct FlacLayout {
    std::vector<uint8_t> prefix;  // an ID3v2 tag before the signature, raw
    std::vector<FlacBlock> blocks;
    uint64_t audioOffset = 0;     // the first frame's offset
};

// Reads everything before the first audio frame from the start of `file`;
// nullopt with a reason for a file that is no FLAC file or is cut in its metadata.
std::optional<FlacLayout> readFlacLayout(std::FILE* file, std::string* why);

// The comments (vendor and entries) and pictures the layout holds; entries of
// a damaged comment block are dropped, pictures that do not parse are skipped.
metadata::CommentPacket commentsOf(const FlacLayout& layout);
std::vector<metadata::VorbisPicture> picturesOf(const FlacLayout& layout);

// The layout with its comment, picture and padding blocks replaced by these;
// every other block keeps its bytes and its place. nullopt with a reason when
// a block would outgrow FLAC's 24-bit length.
std::optional<std::vector<uint8_t>> renderWithTags(const FlacLayout& layout, const metadata::CommentPacket& comments,
                                                   const std::vector<metadata::VorbisPicture>& pictures,
                                                   std::string* why);

// The plan that rebuilds the file read through `file` with these tags.
std::optional<platform::ReplacementPlan> planTagRewrite(std::FILE* file, const std::vector<std::string>& comments,
                                                        const std::vector<metadata::VorbisPicture>& pictures,
                                                        std::string* why);

}  // namespace tallory::formats::flac

#endif
