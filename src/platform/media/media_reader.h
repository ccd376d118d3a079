// The media reader: opens any file libavformat reads and decodes its first
// audio stream to 16-bit interleaved PCM at the stream's own rate. Mono and
// stereo stay as they are; more channels are mixed down to stereo. Encoder
// delay and padding are removed where the file records them.
#ifndef TALLORY_PLATFORM_MEDIA_MEDIA_READER_H
#define TALLORY_PLATFORM_MEDIA_MEDIA_READER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/media/media_status.h"

namespace tallory::platform::media {

struct MediaAudioInfo {
    int sampleRate = 0;
    int channels = 0;       // delivered: 1 or 2
    int fileChannels = 0;   // as coded in the file
    uint32_t formatTag = 0;  // the container's codec tag (0x161: Windows Media Audio 2), 0 if none
    std::string codecName;  // libavcodec's name of the decoder
    int64_t bitRate = 0;    // of the audio stream in bits per second; 0 if unknown
    int64_t durationHns = 0;  // from the container, 100-ns units; 0 if unknown
};

class MediaReader {
public:
    MediaReader();
    ~MediaReader();
    MediaReader(const MediaReader&) = delete;
    MediaReader& operator=(const MediaReader&) = delete;

    // Opens the file (UTF-8 path) and its first audio stream's decoder. A file
    // without audio fails with kNoAudio.
    MediaStatus open(const std::string& path);
    const MediaAudioInfo& info() const { return info_; }
    // Receives one block of PCM; false stops the reader.
    using Deliver = std::function<bool(const uint8_t* data, size_t bytes)>;
    // Decodes from startHns (100-ns units from the start) to the end. Success
    // also when deliver refused a block; stopped() then says so.
    MediaStatus run(int64_t startHns, const Deliver& deliver);
    bool stopped() const { return stopped_; }
    void close();

private:
    struct State;
    std::unique_ptr<State> state_;
    MediaAudioInfo info_;
    bool stopped_ = false;
};

}  // namespace tallory::platform::media

#endif
