// The writer and profile manager: Windows Media Audio files through
// libavcodec's wmav2/wmav1 encoders and the ASF muxer, at constant bitrate.
#ifndef TALLORY_PLATFORM_MEDIA_MEDIA_WRITER_H
#define TALLORY_PLATFORM_MEDIA_MEDIA_WRITER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files/output_file.h"
#include "platform/media/media_status.h"

namespace tallory::platform::media {

// One format a codec offers.
struct WmaFormat {
    int bitRate = 0;  // bits per second
    int sampleRate = 0;
    int channels = 0;
    std::string description;  // "128 kbps, 44 kHz, stereo CBR"
};

// The audio codecs, in the order the profile manager lists them.
int wmaCodecCount();
// "Windows Media Audio V2", "Windows Media Audio V1"; empty for an unknown index.
std::string wmaCodecName(int codec);
// The formats the codec's encoder accepts, highest bitrate first. Built on
// first use by opening the encoder with each candidate and coding one block
// of full-scale noise; empty for an unknown index.
const std::vector<WmaFormat>& wmaCodecFormats(int codec);

// The PCM the writer is given.
struct PcmInput {
    int sampleRate = 0;
    int channels = 0;
    int bitsPerSample = 0;  // 8 (unsigned), 16, 24 or 32 (signed)
};

class MediaWriter {
public:
    MediaWriter();
    ~MediaWriter();
    MediaWriter(const MediaWriter&) = delete;
    MediaWriter& operator=(const MediaWriter&) = delete;

    // Sets up the encoder for a format of the codec and checks that the input
    // can be converted to it; nothing is created yet.
    MediaStatus setProfile(int codec, const WmaFormat& format);
    MediaStatus setInput(const PcmInput& input);
    // Starts the output file; it has no name until end() succeeds.
    MediaStatus setOutputFilename(const std::string& path);
    // Writes the header; samples may follow.
    MediaStatus beginWriting();
    // Encodes PCM of the input format; a block may end inside a sample frame.
    MediaStatus write(const uint8_t* pcm, size_t bytes);
    // Codes what is left, finishes the file and gives it its name (`existing`:
    // whether a file already there is replaced). The writer is closed
    // afterwards whatever the result; on failure nothing is left.
    MediaStatus end(ExistingKind existing = ExistingKind::replace);
    // Closes without finishing and leaves no file (a cancelled or failed conversion).
    void abandon();
    bool writing() const;

private:
    MediaStatus writeFrames(const uint8_t* pcm, size_t count);

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tallory::platform::media

#endif
