// The format settings dialogs seen from the core: a target's settings become
// the plain record the UI module edits, and the result goes back to the
// target and its companions.
#ifndef TALLORY_CORE_UI_SETTINGS_BRIDGE_H
#define TALLORY_CORE_UI_SETTINGS_BRIDGE_H

#include "tallory/ui_bridge.h"

namespace tallory::core::ui {

// True for the four format settings kinds.
bool isFormatDialog(int kind);
// Shows the dialog of `kind` through the module's hook on a record built from
// context->target (or the stored default); on OK applies the record to the
// target and to each target of the same class in context->others.
bool showFormatDialog(const TalloryUiHooks& hooks, int kind, HWND parent, TalloryTargetDialogContext* context);

}  // namespace tallory::core::ui

#endif
