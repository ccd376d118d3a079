// An MP3 encoder module loaded by name, with every entry point checked.
#ifndef TALLORY_FORMATS_MP3_ENCODER_LIBRARY_H
#define TALLORY_FORMATS_MP3_ENCODER_LIBRARY_H

#include <string>

#include "platform/module/shared_library.h"
#include "tallory/lame_enc.h"

namespace tallory::formats::mp3 {

class EncoderLibrary {
public:
    EncoderLibrary() = default;
    ~EncoderLibrary();
    EncoderLibrary(const EncoderLibrary&) = delete;
    EncoderLibrary& operator=(const EncoderLibrary&) = delete;

    // Loads `fileName` from beside libtallory or from its tallory/ folder.
    // False with a reason: not found, or the missing entry point by name.
    bool load(const std::string& fileName, std::string& error);
    void unload();
    bool loaded() const { return library_.isOpen(); }

    BEINITSTREAM initStream = nullptr;
    BEENCODECHUNK encodeChunk = nullptr;
    BEDEINITSTREAM deinitStream = nullptr;
    BECLOSESTREAM closeStream = nullptr;
    BEVERSION version = nullptr;
    BEWRITEVBRHEADER writeVbrHeader = nullptr;  // optional

private:
    platform::SharedLibrary library_;
};

}  // namespace tallory::formats::mp3

#endif
