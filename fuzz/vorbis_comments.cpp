// The Vorbis comment mapping over arbitrary bytes: as an OpusTags packet, as a
// comment packet body, and as a picture record; every tag made from them must
// write back and read again the same.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "formats/opus/opus_metadata_file.h"
#include "metadata/vorbis_comments.h"

using namespace tallory::metadata;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    std::vector<std::string> comments;
    if (auto packet = tallory::formats::opus::parseOpusTags(bytes)) comments = packet->comments;
    if (auto packet = parseCommentPacket(bytes)) comments.insert(comments.end(), packet->comments.begin(), packet->comments.end());
    // The bytes as a picture, directly and as a base64 comment.
    if (auto picture = parsePictureBlock(bytes)) {
        // Bytes after the picture data are not part of the block: the render is the prefix read.
        const std::vector<uint8_t> rendered = renderPictureBlock(*picture);
        if (rendered.size() > size || !std::equal(rendered.begin(), rendered.end(), bytes.begin())) std::abort();
    }
    comments.push_back(std::string(kPictureField) + "=" + base64Encode(bytes));
    comments.emplace_back(reinterpret_cast<const char*>(data), size);

    ID3_Tag tag;
    readVorbisComments(comments, tag);
    const std::vector<std::string> written = writeVorbisComments(tag, true);
    for (const std::string& c : written) {
        if (c.find('=') == std::string::npos || !isValidFieldName(std::string_view(c).substr(0, c.find('=')))) std::abort();
    }
    ID3_Tag again;
    readVorbisComments(written, again);
    // Written comments are a fixed point of the mapping.
    if (writeVorbisComments(again, true) != written) std::abort();
    return 0;
}
