// Shared types of the Tallory binary interface: result codes, GUIDs, the PCM
// format record and the reference-counting base interface.
#ifndef TALLORY_TYPES_H
#define TALLORY_TYPES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(TALLORY_BUILDING_LIBRARY)
#define TALLORY_API __attribute__((visibility("default")))
#else
#define TALLORY_API
#endif

// Windows HRESULT values, kept so that callers can compare codes as before.
typedef int32_t HRESULT;
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001u)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_ABORT ((HRESULT)0x80004004u)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFu)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// A window handle; a QWidget* when libtallory-ui is loaded, otherwise unused.
typedef void* HWND;

// The 16-byte Windows GUID layout.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
static_assert(sizeof(GUID) == 16, "GUID must be 16 bytes");

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// Windows format tags used between objects and in WAV files.
#define WAVE_FORMAT_PCM 0x0001

#pragma pack(push, 1)
// The Windows audio format record. Only its 18-byte fixed part travels between
// objects; codec-specific extra bytes follow it in memory where cbSize says so.
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is the packed 18-byte record");
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4, "WAVEFORMATEX layout");
static_assert(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8, "WAVEFORMATEX layout");
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12, "WAVEFORMATEX layout");
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16, "WAVEFORMATEX layout");

// Fixed path fields of records hold 259 characters and the terminator.
#define TALLORY_MAX_PATH 260

// Slots 0-2 of every reference-counted interface. Interfaces declare no virtual
// destructor: it would take vtable slots. Objects delete themselves in Release.
struct IUnknown {
    virtual HRESULT QueryInterface(const IID& riid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

#endif
