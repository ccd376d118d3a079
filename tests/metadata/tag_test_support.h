// Helpers of the tag tests: scratch folders, generated MP3 files, and mutagen
// (an independent ID3 implementation) run as an oracle.
#ifndef TALLORY_TESTS_METADATA_TAG_TEST_SUPPORT_H
#define TALLORY_TESTS_METADATA_TAG_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "metadata/text_codec.h"
#include "tallory/metadata.h"

namespace tagtest {

inline std::string scratchDir() {
    char pattern[] = "/tmp/tallory-tags-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    return dir != nullptr ? dir : "/tmp";
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs a shell command and returns its standard output.
inline std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    const int rc = ::pclose(p);
    if (status != nullptr) *status = rc;
    return out;
}

// A one-second tone as a bare MP3 stream (no tags), made by ffmpeg with LAME.
inline std::string makeTone(const std::string& dir, const std::string& name = "tone.mp3") {
    const std::string path = dir + "/" + name;
    run("ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=1 -ac 1 -ar 44100 -c:a libmp3lame "
        "-b:a 64k -id3v2_version 0 -write_id3v1 0 -write_xing 0 '" + path + "' 2>&1");
    return path;
}

// Runs a Python program with mutagen; `path` is passed as sys.argv[1].
inline std::string mutagen(const std::string& program, const std::string& path, int* status = nullptr) {
    const std::string script = path + ".py";
    {
        std::ofstream out(script);
        out << "import sys, json\nimport mutagen.id3 as id3\np = sys.argv[1]\n" << program << "\n";
    }
    return run("/usr/bin/python3 '" + script + "' '" + path + "' 2>&1", status);
}

inline std::u16string u16(const std::string& utf8) { return tallory::metadata::utf16FromUtf8(utf8); }
inline std::string u8(const std::u16string& text) { return tallory::metadata::utf8FromUtf16(text); }

// Text from a getter of a frame kind interface.
template <class Object, class Getter>
std::string get(Object* object, Getter getter) {
    char16_t buffer[1024] = {};
    (object->*getter)(buffer, 1023);
    return u8(buffer);
}

inline std::string display(IMetadataFrame* frame) {
    char16_t buffer[1024] = {};
    frame->GetDisplayText(buffer, 1023);
    return u8(buffer);
}

// A new frame of that identifier asking for interface T; null on failure.
template <class T>
T* newFrame(int id, const IID& iid) {
    void* out = nullptr;
    return MetadataCreateFrame(id, iid, &out) == S_OK ? static_cast<T*>(out) : nullptr;
}

// A new text frame of that identifier with `text`, attached to `tag`.
inline void addText(IMetadataTag* tag, int id, const std::string& text) {
    ITextFrame* frame = newFrame<ITextFrame>(id, IID_ITextFrame);
    ASSERT_NE(frame, nullptr);
    frame->SetText(u16(text).c_str());
    frame->AttachTo(tag);
    frame->Release();
}

}  // namespace tagtest

#endif
