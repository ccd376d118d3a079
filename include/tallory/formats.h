// The format registry and the object factory.
#ifndef TALLORY_FORMATS_H
#define TALLORY_FORMATS_H

#include "tallory/conv.h"
#include "tallory/types.h"

// One row of the format registry, copied whole to callers.
struct FormatInfo {
    // Extensions with their leading dot, each NUL-terminated; an empty string ends the list.
    char extensions[260];
    // Display text, refilled from the string table each time the row is handed out.
    char description[260];
    uint32_t descriptionId;
    // A value fixed per row for the front end; the library does not interpret it.
    int32_t kind;
    // Short unique name, compared without regard to case.
    char name[16];
    // Null when the format cannot be read / written.
    const CLSID* sourceClass;
    const CLSID* targetClass;
};
static_assert(offsetof(FormatInfo, description) == 260, "FormatInfo layout");
static_assert(offsetof(FormatInfo, descriptionId) == 520, "FormatInfo layout");
static_assert(offsetof(FormatInfo, kind) == 524, "FormatInfo layout");
static_assert(offsetof(FormatInfo, name) == 528, "FormatInfo layout");
static_assert(offsetof(FormatInfo, sourceClass) == 544, "FormatInfo layout");
static_assert(offsetof(FormatInfo, targetClass) == 544 + sizeof(void*), "FormatInfo layout");
static_assert(sizeof(FormatInfo) == 544 + 2 * sizeof(void*), "FormatInfo has no gaps");

#define TALLORY_FORMAT_NOT_FOUND 0xFFFFFFFFu

extern "C" {

// Always 9: the original seven rows, then FLAC (7) and Opus (8).
TALLORY_API uint32_t ConvGetFormatCount(void) noexcept;
// Copies row `index` into *out; E_INVALIDARG for a null out or an index past the table.
TALLORY_API HRESULT ConvGetFormatAt(FormatInfo* out, uint32_t index) noexcept;
// The row whose extension (case-insensitive) ends path; E_FAIL if none.
TALLORY_API HRESULT ConvGetFormatOf(FormatInfo* out, const char* path) noexcept;
// The row of that name (case-insensitive); E_FAIL if none.
TALLORY_API HRESULT ConvGetFormatByName(FormatInfo* out, const char* name) noexcept;
// Row index of info->name, or TALLORY_FORMAT_NOT_FOUND.
TALLORY_API uint32_t ConvGetFormatPos(const FormatInfo* info) noexcept;
// Row whose target class is *classId, or TALLORY_FORMAT_NOT_FOUND.
TALLORY_API uint32_t ConvGetFormatPosCLSID(const CLSID* classId) noexcept;
// Creates an object of class classId and queries it for *iid; the caller gets the first reference.
// E_NOINTERFACE for an unknown (or not built) class or an unsupported interface.
TALLORY_API HRESULT ConvCreateObject(CLSID classId, const IID* iid, void** object) noexcept;
// Shows the default-settings dialog of the Wave, MP3 or Windows Media target:
// S_OK on OK, E_ABORT otherwise; S_FALSE for every other format.
TALLORY_API HRESULT ConvDefOutputSettings(HWND parent, const FormatInfo* info) noexcept;
// Describes the default output settings of the Wave, MP3 or Windows Media target; E_FAIL otherwise.
TALLORY_API HRESULT ConvDefOutputSettingsString(char* buffer, int capacity, const FormatInfo* info) noexcept;
// Codec name and "%d kbps; %d kHz; %s" of an MP3/Windows Media source. Each buffer holds
// TALLORY_MAX_PATH bytes. E_INVALIDARG for a null source.
TALLORY_API HRESULT WMASourceGetInfo(IConvSource* source, char* codecName, char* streamLine) noexcept;

}  // extern "C"

#endif
