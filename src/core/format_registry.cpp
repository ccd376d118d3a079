#include "core/format_registry.h"

#include <strings.h>

#include <cstring>

#include "core/export_guard.h"
#include "core/string_table.h"
#include "tallory/guids.h"

namespace tallory::core {

namespace {

// Rows 0 and 2 share one source class: one decoder reads MP3 and Windows Media.
const FormatInfo kFormats[kFormatCount] = {
    {".mp3\0.mpg\0", "", 8, 1, "MP3", &CLSID_Mp3WmaSource, &CLSID_Mp3Target},
    {".wav\0", "", 11, 0, "Wave", &CLSID_WavSource, &CLSID_WavTarget},
    {".wma\0.asf\0", "", 12, 3, "Windows Media", &CLSID_Mp3WmaSource, &CLSID_WmaTarget},
    {".aif\0.aiff\0.iff\0.aifc\0", "", 13, 4, "AIFF", &CLSID_AiffSource, &CLSID_AiffTarget},
    {".cda\0", "", 15, 4, "Track", &CLSID_CDTrackSource, nullptr},
    {".vqf\0", "", 14, 4, "TwinVQ", &CLSID_TwinVQSource, nullptr},
    {".ogg\0", "", 28, 4, "Ogg Vorbis", &CLSID_OggSource, &CLSID_OggTarget},
    // Added after the original seven so that every stored index keeps its meaning.
    {".flac\0", "", 29, 4, "FLAC", &CLSID_FlacSource, &CLSID_FlacTarget},
    {".opus\0", "", 30, 4, "Opus", &CLSID_OpusSource, &CLSID_OpusTarget},
};

// Fills a copy of the row; the shared table is never written, so concurrent callers cannot collide.
HRESULT copyRow(FormatInfo* out, uint32_t index) {
    std::memcpy(out, &kFormats[index], sizeof(FormatInfo));
    const char* text = loadString(out->descriptionId);
    std::memset(out->description, 0, sizeof out->description);
    if (text != nullptr) std::strncpy(out->description, text, sizeof out->description - 1);
    return S_OK;
}

bool sameName(const char* a, const char* b) { return ::strcasecmp(a, b) == 0; }

}  // namespace

const FormatInfo& formatRow(uint32_t index) { return kFormats[index]; }

std::string_view pathExtension(std::string_view path) {
    size_t dot = std::string_view::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c == '.') {
            dot = i;
        } else if (c == ' ' || c == '/' || c == '\\') {
            dot = std::string_view::npos;
        }
    }
    return dot == std::string_view::npos ? std::string_view() : path.substr(dot);
}

}  // namespace tallory::core

using tallory::core::kFormatCount;

extern "C" {

TALLORY_API uint32_t ConvGetFormatCount(void) noexcept { return kFormatCount; }

static HRESULT convGetFormatAt(FormatInfo* out, uint32_t index) {
    if (out == nullptr || index >= kFormatCount) return E_INVALIDARG;
    return tallory::core::copyRow(out, index);
}

TALLORY_API HRESULT ConvGetFormatAt(FormatInfo* out, uint32_t index) noexcept {
    return tallory::core::guardExport("ConvGetFormatAt", E_FAIL, [&] { return convGetFormatAt(out, index); });
}

static HRESULT convGetFormatOf(FormatInfo* out, const char* path) {
    if (out == nullptr) return E_INVALIDARG;
    if (path == nullptr) return E_FAIL;
    std::string_view ext = tallory::core::pathExtension(path);
    if (ext.empty()) return E_FAIL;
    for (uint32_t row = 0; row < kFormatCount; ++row) {
        // The list is NUL-separated and ends with an empty string.
        for (const char* e = tallory::core::kFormats[row].extensions; *e != '\0'; e += std::strlen(e) + 1) {
            if (std::strlen(e) == ext.size() && ::strncasecmp(e, ext.data(), ext.size()) == 0) {
                return tallory::core::copyRow(out, row);
            }
        }
    }
    return E_FAIL;
}

TALLORY_API HRESULT ConvGetFormatOf(FormatInfo* out, const char* path) noexcept {
    return tallory::core::guardExport("ConvGetFormatOf", E_FAIL, [&] { return convGetFormatOf(out, path); });
}

static HRESULT convGetFormatByName(FormatInfo* out, const char* name) {
    if (out == nullptr) return E_INVALIDARG;
    if (name == nullptr) return E_FAIL;
    for (uint32_t row = 0; row < kFormatCount; ++row) {
        if (tallory::core::sameName(tallory::core::kFormats[row].name, name)) return tallory::core::copyRow(out, row);
    }
    return E_FAIL;
}

TALLORY_API HRESULT ConvGetFormatByName(FormatInfo* out, const char* name) noexcept {
    return tallory::core::guardExport("ConvGetFormatByName", E_FAIL, [&] { return convGetFormatByName(out, name); });
}

static uint32_t convGetFormatPos(const FormatInfo* info) {
    if (info == nullptr) return TALLORY_FORMAT_NOT_FOUND;
    // The caller's name field may lack a terminator; never read past its 16 bytes.
    char name[sizeof info->name + 1] = {};
    std::memcpy(name, info->name, sizeof info->name);
    for (uint32_t row = 0; row < kFormatCount; ++row) {
        if (tallory::core::sameName(tallory::core::kFormats[row].name, name)) return row;
    }
    return TALLORY_FORMAT_NOT_FOUND;
}

TALLORY_API uint32_t ConvGetFormatPos(const FormatInfo* info) noexcept {
    return tallory::core::guardExport("ConvGetFormatPos", TALLORY_FORMAT_NOT_FOUND, [&] { return convGetFormatPos(info); });
}

static uint32_t convGetFormatPosCLSID(const CLSID* classId) {
    if (classId == nullptr) return TALLORY_FORMAT_NOT_FOUND;
    for (uint32_t row = 0; row < kFormatCount; ++row) {
        const CLSID* target = tallory::core::kFormats[row].targetClass;
        if (target != nullptr && *target == *classId) return row;
    }
    return TALLORY_FORMAT_NOT_FOUND;
}

TALLORY_API uint32_t ConvGetFormatPosCLSID(const CLSID* classId) noexcept {
    return tallory::core::guardExport("ConvGetFormatPosCLSID", TALLORY_FORMAT_NOT_FOUND, [&] { return convGetFormatPosCLSID(classId); });
}

}  // extern "C"
