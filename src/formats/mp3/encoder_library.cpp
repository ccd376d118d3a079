#include "formats/mp3/encoder_library.h"

#include "platform/files/file_system.h"
#include "platform/module/module_path.h"

namespace tallory::formats::mp3 {

EncoderLibrary::~EncoderLibrary() { unload(); }

bool EncoderLibrary::load(const std::string& fileName, std::string& error) {
    unload();
    std::string dir = platform::moduleDirectory();
    // Beside the library, in its tallory/ folder, or, for programs that carry the
    // library's code themselves, in lib/tallory/ next to their bin/.
    for (const std::string& candidate :
         {dir + "/" + fileName, dir + "/tallory/" + fileName, dir + "/../lib/tallory/" + fileName}) {
        if (!platform::pathExists(candidate)) continue;
        if (!library_.open(candidate, error)) return false;
        break;
    }
    if (!library_.isOpen()) {
        error = fileName + " not found";
        return false;
    }
    struct Entry {
        const char* name;
        void** slot;
    };
    const Entry required[] = {{"beInitStream", reinterpret_cast<void**>(&initStream)},
                              {"beEncodeChunk", reinterpret_cast<void**>(&encodeChunk)},
                              {"beDeinitStream", reinterpret_cast<void**>(&deinitStream)},
                              {"beCloseStream", reinterpret_cast<void**>(&closeStream)},
                              {"beVersion", reinterpret_cast<void**>(&version)}};
    for (const Entry& e : required) {
        *e.slot = library_.symbol(e.name);
        if (*e.slot == nullptr) {
            // Calling a missing entry point would crash: refuse the module instead.
            error = std::string(e.name) + " is missing";
            unload();
            return false;
        }
    }
    writeVbrHeader = reinterpret_cast<BEWRITEVBRHEADER>(library_.symbol("beWriteVBRHeader"));
    return true;
}

void EncoderLibrary::unload() {
    library_.close();
    initStream = nullptr;
    encodeChunk = nullptr;
    deinitStream = nullptr;
    closeStream = nullptr;
    version = nullptr;
    writeVbrHeader = nullptr;
}

}  // namespace tallory::formats::mp3
