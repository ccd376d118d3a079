// SuggestOutputFile on any naming scheme, source path, tag texts, format row and
// buffer size. The input is NUL-separated: scheme, source path, then tag texts
// for title, artist, album, track, year and genre. A result never overruns the
// buffer and is always terminated; a refusal carries a reason.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_tag.h"
#include "tallory/tallory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int formatIndex = static_cast<int>(data[0] % 10) - 1;  // -1 (playlist) to 8
    const int capacity = 1 + data[1] % (TALLORY_MAX_PATH + 40);
    std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t nul = input.find('\0', start);
        parts.push_back(input.substr(start, nul == std::string::npos ? std::string::npos : nul - start));
        if (nul == std::string::npos) break;
        start = nul + 1;
    }
    parts.resize(8);
    static const int kFrames[] = {METADATA_FRAME_TIT2, METADATA_FRAME_TPE1, METADATA_FRAME_TALB,
                                  METADATA_FRAME_TRCK, METADATA_FRAME_TYER, METADATA_FRAME_TCON};
    auto* source = new TaggedSource;
    source->AddRef();
    const tallory::Ref<IConvSource> held(source);  // takes the reference just made
    for (size_t i = 0; i < 6; ++i) {
        if (!parts[2 + i].empty()) {
            std::u16string text;
            for (unsigned char c : parts[2 + i]) text += static_cast<char16_t>(c);
            source->frames[kFrames[i]] = text;
        }
    }
    source->hasTag = !source->frames.empty();
    if (!parts[1].empty()) source->SetPath(parts[1].c_str());

    std::vector<char> buffer(static_cast<size_t>(capacity) + 16, 'x');
    const int ok = SuggestOutputFile(parts[0].c_str(), formatIndex, source, buffer.data(), capacity);
    if (std::memchr(buffer.data(), '\0', static_cast<size_t>(capacity)) == nullptr) __builtin_trap();
    for (size_t i = static_cast<size_t>(capacity); i < buffer.size(); ++i) {
        if (buffer[i] != 'x') __builtin_trap();
    }
    if (ok == 0 && buffer[0] == '\0' && capacity > 1) __builtin_trap();  // a refusal says why
    // A null source and a null scheme are refused, not followed.
    char small[8];
    SuggestOutputFile(parts[0].c_str(), formatIndex, nullptr, small, sizeof small);
    SuggestOutputFile(nullptr, formatIndex, source, small, sizeof small);
    return 0;
}
