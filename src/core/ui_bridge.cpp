#include "core/ui_bridge.h"

#include "core/ui_settings_bridge.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/export_guard.h"
#include "platform/log/log.h"

namespace tallory::core::ui {

namespace {
std::mutex hooksMutex;
TalloryUiHooks hooks{};  // all null: console behaviour

TalloryUiHooks currentHooks() {
    std::lock_guard<std::mutex> lock(hooksMutex);
    return hooks;
}
}  // namespace

void pumpMessages() {
    TalloryUiHooks h = currentHooks();
    if (h.pumpMessages != nullptr) h.pumpMessages();
}

int messageBox(HWND parent, const char* text, const char* caption, uint32_t style) {
    TalloryUiHooks h = currentHooks();
    if (h.messageBox != nullptr) return h.messageBox(parent, text, caption, style);
    // On the console a box that only informs is a line the user may have asked
    // not to see (tallory -q lowers the log to errors); questions and errors still show.
    const bool informs = (style & 0xF) == MB_OK && (style & 0xF0) == MB_ICONINFORMATION;
    if (informs && !platform::log::enabled(TALLORY_LOG_WARNING)) return IDOK;
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Tallory", text != nullptr ? text : "");
    switch (style & 0xF) {
        case MB_OK: return IDOK;
        case MB_YESNO: return IDNO;
        default: return IDCANCEL;
    }
}

bool showDialog(int dialogKind, HWND parent, void* context) {
    TalloryUiHooks h = currentHooks();
    if (h.showDialog == nullptr) return false;
    // The module edits a plain record of the settings, never the target itself.
    // A context without target or default mode names nothing to translate and
    // goes as it is (the module refuses what it cannot read).
    auto* target = static_cast<TalloryTargetDialogContext*>(context);
    if (isFormatDialog(dialogKind) && target != nullptr && (target->target != nullptr || target->defaultMode)) {
        return showFormatDialog(h, dialogKind, parent, target);
    }
    return h.showDialog(dialogKind, parent, context);
}

IConvBatchProgress* createBatchProgress() {
    TalloryUiHooks h = currentHooks();
    return h.createBatchProgress != nullptr ? h.createBatchProgress() : nullptr;
}

bool hasUi() {
    std::lock_guard<std::mutex> lock(hooksMutex);
    return hooks.size != 0;
}

}  // namespace tallory::core::ui

static void talloryRegisterUi(const TalloryUiHooks* newHooks) {
    using namespace tallory::core::ui;
    std::lock_guard<std::mutex> lock(hooksMutex);
    hooks = TalloryUiHooks{};
    if (newHooks == nullptr) return;
    // An older module may register a shorter record; take only what it has.
    size_t n = newHooks->size < sizeof(TalloryUiHooks) ? newHooks->size : sizeof(TalloryUiHooks);
    std::memcpy(&hooks, newHooks, n);
    hooks.size = static_cast<uint32_t>(n);
}

extern "C" TALLORY_API void TalloryRegisterUi(const TalloryUiHooks* newHooks) noexcept {
    tallory::core::guardExportVoid("TalloryRegisterUi", [&] { talloryRegisterUi(newHooks); });
}
