// One place for everything that needs a window: the hooks a UI module
// registers, with console behaviour when none is loaded.
#ifndef TALLORY_CORE_UI_BRIDGE_H
#define TALLORY_CORE_UI_BRIDGE_H

#include "tallory/ui_bridge.h"

namespace tallory::core::ui {

// Processes pending window events; nothing without a UI module.
void pumpMessages();
// A message box; without a UI module the text goes to standard error and the
// answer is the safe one: IDOK for MB_OK, otherwise IDNO or IDCANCEL.
int messageBox(HWND parent, const char* text, const char* caption, uint32_t style);
// A modal dialog; false (cancelled) without a UI module.
bool showDialog(int dialogKind, HWND parent, void* context);
// A batch progress window, or null without a UI module.
IConvBatchProgress* createBatchProgress();
// True while a UI module has registered its hooks.
bool hasUi();

}  // namespace tallory::core::ui

#endif
