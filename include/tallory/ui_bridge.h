// The plug-in point between the core and a user interface module. The core
// calls these hooks for everything that needs a window; libtallory-ui fills
// them in when it is loaded. Without it the core uses console behaviour.
#ifndef TALLORY_UI_BRIDGE_H
#define TALLORY_UI_BRIDGE_H

#include "tallory/conv.h"
#include "tallory/metadata.h"
#include "tallory/types.h"

// Message box styles and answers, with the Windows values.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_ICONERROR 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define MB_DEFBUTTON2 0x00000100u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

// Dialogs that a UI module may provide. The context record of each kind is
// defined by the component that asks for it.
enum TalloryDialogKind {
    TALLORY_DIALOG_WAVE_SETTINGS = 1,
    TALLORY_DIALOG_MP3_SETTINGS = 2,
    TALLORY_DIALOG_WMA_SETTINGS = 3,
    TALLORY_DIALOG_OGG_SETTINGS = 4,
    TALLORY_DIALOG_TAG_FRAME = 5,
};

// Context of the format settings dialogs. In default mode the dialog edits and,
// on OK, stores the format's default output settings; otherwise it edits
// `target` and copies the result into each target of `others`.
struct TalloryTargetDialogContext {
    IConvTarget* target;
    IConvTarget** others;  // null-terminated, may be null
    bool defaultMode;
};

// What the format settings dialogs edit. The module's showDialog hook never
// sees a target: for the four format kinds the core hands it a
// TalloryFormatDialogContext whose `settings` points at the record of that
// kind, filled from the target (or from the stored default in default mode).
// When the dialog ends with OK the core applies the record to the target and
// to every target of the same class in `others`.
#define TALLORY_WAVE_FORMAT_MAX 256

struct TalloryWaveSettingsRecord {
    uint16_t formatTag;   // the codec ("Compressor:")
    uint16_t formatSize;  // bytes of `format` in use; 0 is "Automatic Detection"
    uint8_t format[TALLORY_WAVE_FORMAT_MAX];  // a WAVEFORMATEX and its cbSize extra bytes
};

// The MP3 encoder record: twelve 32-bit integers, the stored layout.
struct TalloryMp3SettingsRecord {
    int32_t encoder;  // 1 BladeEnc, 2 LAME, 3 MPEG Layer-3 codec
    int32_t bitrate;  // kbps; the minimum with VBR
    int32_t sampleRate;  // Hz, 0 automatic
    int32_t original;
    int32_t copyright;
    int32_t privateFlag;
    int32_t crc;
    int32_t channelMode;
    int32_t mpeg2;
    int32_t vbr;
    int32_t maxBitrate;
    int32_t vbrQuality;  // 0 best .. 9
};
static_assert(sizeof(TalloryMp3SettingsRecord) == 48, "TalloryMp3SettingsRecord layout");

struct TalloryOggSettingsRecord {
    int32_t qualityMode;  // 1 quality-based VBR, 0 average bitrate
    int32_t quality;      // percent
    int32_t useMinimum;
    int32_t useMaximum;
    int32_t minimumKbps;
    int32_t maximumKbps;
    int32_t averageKbps;
};
static_assert(sizeof(TalloryOggSettingsRecord) == 28, "TalloryOggSettingsRecord layout");

struct TalloryWmaSettingsRecord {
    int32_t codecIndex;
    int32_t formatIndex;
    int32_t mode;  // 0 constant bitrate, 1 and 2 VBR passes
};
static_assert(sizeof(TalloryWmaSettingsRecord) == 12, "TalloryWmaSettingsRecord layout");

struct TalloryFormatDialogContext {
    uint32_t size;  // sizeof(TalloryFormatDialogContext) of the core
    bool defaultMode;
    void* settings;  // the record of the dialog's kind, edited in place
    // Stores a record of the dialog's kind as the format's default at once;
    // false if the store refused. Null where the format keeps no default.
    bool (*storeDefault)(const void* settings);
    // Windows Media only: the codecs of the profile manager and each codec's
    // formats under a mode (0 constant bitrate). Texts are cut to capacity.
    int (*wmaCodecCount)(void);
    bool (*wmaCodecName)(int codec, char* buffer, int capacity);
    int (*wmaFormatCount)(int codec, int mode);
    bool (*wmaFormatText)(int codec, int mode, int index, char* buffer, int capacity);
};

struct TalloryUiHooks {
    uint32_t size;  // sizeof(TalloryUiHooks) of the registering module
    // Processes pending window events of the calling thread.
    void (*pumpMessages)(void);
    // Returns IDOK, IDCANCEL, IDYES or IDNO.
    int (*messageBox)(HWND parent, const char* text, const char* caption, uint32_t style);
    // Shows a modal dialog of that kind; true when it ended with OK.
    bool (*showDialog)(int dialogKind, HWND parent, void* context);
    // A new batch progress window (the caller calls Destroy), or null.
    IConvBatchProgress* (*createBatchProgress)(void);
};

extern "C" {
// Installs the hooks (copied); null restores the console behaviour.
TALLORY_API void TalloryRegisterUi(const TalloryUiHooks* hooks) noexcept;
// The language table the tag editors list: entry `index` as its three-letter
// code (upper case) and full name, cut to capacity. False past the end.
TALLORY_API int TalloryGetLanguageCount(void) noexcept;
TALLORY_API bool TalloryGetLanguageAt(int index, char* code, int codeCapacity, char* name, int nameCapacity) noexcept;
// The picture data of an APIC frame object of the tag model. *size holds the
// buffer's size and receives the data's; a null data pointer only asks for
// the size. False for another frame or a buffer too small.
TALLORY_API bool TalloryGetPictureData(IMetadataFrame* frame, void* data, uint32_t* size) noexcept;
// Replaces the picture data (size 0 clears it); false for another frame.
TALLORY_API bool TalloryPutPictureData(IMetadataFrame* frame, const void* data, uint32_t size) noexcept;
// Plays the sound that "Sounds"/name names, if the value and its file exist,
// without a default sound; true if it started.
TALLORY_API bool TalloryPlayNamedSound(const char* name) noexcept;
}

#endif
