// libtallory-ui: ready-made windows over Qt 6 Widgets. Window handles (HWND)
// are QWidget pointers. Loading the library registers its windows and dialogs
// with the core, so BatchConvert, ShowSettings and Edit use them. Every export
// and slot must be called on the thread that runs the Qt event loop, except
// the IConvProgress slots of the progress windows, which the conversion worker
// may call from its own thread.
#ifndef TALLORY_UI_H
#define TALLORY_UI_H

#include "tallory/conv.h"
#include "tallory/types.h"

// The text collector with a window of its own. Not reference counted.
struct IErrorLog {
    // Empties the text; 0.
    virtual int Clear() = 0;
    // Appends the text as given (null or empty is ignored); 0.
    virtual int Append(const char* text) = 0;
    // Shows the log modally over `parent` (may be null) until it is closed; 0.
    virtual int Show(HWND parent) = 0;
    // Frees the object.
    virtual void Destroy() = 0;

protected:
    ~IErrorLog() = default;
};

extern "C" {

// The simple progress window (one bar, Abort). S_OK, or E_OUTOFMEMORY with a
// null result; E_INVALIDARG for a null address.
TALLORY_API HRESULT CreateProgressWindow(IConvProgress** progress);
// The batch progress window; its dialog is made by Create. The result may be
// used as an IConvBatchProgress.
TALLORY_API HRESULT CreateConvertProgressWindow(IConvProgress** progress);
// A message log. E_INVALIDARG for a null address, E_OUTOFMEMORY with a null result.
TALLORY_API HRESULT CreateErrorLog(IErrorLog** log);

}  // extern "C"

#endif
