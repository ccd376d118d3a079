// The settings store: sections of named int, string and binary values shared by
// the library and its front end. Every call goes to the store; a failed read
// leaves the caller's default untouched. All functions are safe from any thread
// and from several processes at once.
#ifndef TALLORY_SETTINGS_H
#define TALLORY_SETTINGS_H

#include "tallory/types.h"

// Value kinds, with the Windows registry's numbers.
#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4

// Longest string value in bytes, without its terminator.
#define TALLORY_MAX_PROFILE_STRING 259

// An open section; close it with CloseSectionKey.
typedef struct TallorySectionKey* HKEY;

// C++ linkage on purpose: the mangled names keep these apart from the C
// functions of the same names in other libraries.
TALLORY_API bool GetProfileIntA(const char* section, const char* name, int* value) noexcept;
// buffer must hold TALLORY_MAX_PATH bytes; a longer value fails.
TALLORY_API bool GetProfileStringA(const char* section, const char* name, char* buffer) noexcept;

extern "C" {

// Opens the section, creating it if missing; null on failure.
TALLORY_API HKEY GetSectionKey(const char* section) noexcept;
TALLORY_API void CloseSectionKey(HKEY key) noexcept;
// Reads the value's bytes. *size holds the buffer size and receives the value's
// size; a null data pointer only asks for the size. False if the buffer is too small.
TALLORY_API bool GetProfileBinary(const char* section, const char* name, void* data, uint32_t* size) noexcept;
TALLORY_API bool PutProfileInt(const char* section, const char* name, int value) noexcept;
// A null text deletes the value; a null name deletes the whole section.
TALLORY_API bool PutProfileString(const char* section, const char* name, const char* text) noexcept;
TALLORY_API bool PutProfileBinary(const char* section, const char* name, const void* data, uint32_t size) noexcept;

// Beyond the Windows interface: the kind of a stored value (REG_DWORD, REG_SZ,
// REG_BINARY), or -1 if it is missing or the store cannot be read.
TALLORY_API int GetProfileValueType(const char* section, const char* name) noexcept;
// Why the last failed settings call of this thread failed (store path and
// reason); empty when it succeeded. Returns the full length, like snprintf.
TALLORY_API int GetProfileLastError(char* buffer, int capacity) noexcept;

}  // extern "C"

#endif
