// The plug-in point between the core and a user interface module. The core
// calls these hooks for everything that needs a window; libtallory-ui fills
// them in when it is loaded. Without it the core uses console behaviour.
#ifndef TALLORY_UI_BRIDGE_H
#define TALLORY_UI_BRIDGE_H

#include "tallory/conv.h"
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
}

#endif
