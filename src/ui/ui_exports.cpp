// The exports of libtallory-ui.
#include <new>

#include "core/export_guard.h"
#include "tallory/ui.h"
#include "ui/batch_progress_window.h"
#include "ui/error_log.h"
#include "ui/progress_window.h"

using tallory::core::guardExport;

extern "C" {

TALLORY_API HRESULT CreateProgressWindow(IConvProgress** progress) noexcept {
    return guardExport("CreateProgressWindow", E_OUTOFMEMORY, [&]() -> HRESULT {
        if (progress == nullptr) return E_INVALIDARG;
        *progress = nullptr;
        *progress = new (std::nothrow) tallory::ui::SimpleProgressWindow();
        return *progress != nullptr ? S_OK : E_OUTOFMEMORY;
    });
}

TALLORY_API HRESULT CreateConvertProgressWindow(IConvProgress** progress) noexcept {
    return guardExport("CreateConvertProgressWindow", E_OUTOFMEMORY, [&]() -> HRESULT {
        if (progress == nullptr) return E_INVALIDARG;
        *progress = nullptr;
        IConvBatchProgress* window = new (std::nothrow) tallory::ui::BatchProgressWindow();
        *progress = window;
        return window != nullptr ? S_OK : E_OUTOFMEMORY;
    });
}

TALLORY_API HRESULT CreateErrorLog(IErrorLog** log) noexcept {
    return guardExport("CreateErrorLog", E_OUTOFMEMORY, [&]() -> HRESULT {
        if (log == nullptr) return E_INVALIDARG;
        *log = nullptr;
        *log = new (std::nothrow) tallory::ui::ErrorLog();
        return *log != nullptr ? S_OK : E_OUTOFMEMORY;
    });
}

}  // extern "C"
