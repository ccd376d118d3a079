// libtallory-ui: ready-made windows over Qt 6 Widgets. Window handles (HWND)
// are QWidget pointers. Loading the library registers its windows and dialogs
// with the core, so BatchConvert, ShowSettings and Edit use them. Every export
// and slot must be called on the thread that runs the Qt event loop, except
// the IConvProgress slots of the progress windows, which the conversion worker
// may call from its own thread.
#ifndef TALLORY_UI_H
#define TALLORY_UI_H

#include "tallory/conv.h"
#include "tallory/metadata.h"
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

// The folder tree: a controller that turns the front end's QTreeWidget into a
// browser of the folders of the desktop, Home, the user folders, mounted
// volumes and the file system. Not reference counted.
struct IExplorerTree {
    // Qt delivers the tree's events to the controller through signals, so the
    // front end need not forward anything; kept for the slot order. Returns 0.
    virtual int OnNotify(int reserved1, int reserved2, void* header) = 0;
    // Copies the selected folder's path with its terminator: 1 when the path is
    // not empty; 0 with an empty string when there is none or it does not fit.
    virtual int GetPath(char* buffer, int size) = 0;
    // Expands the tree down to the folder and selects it; an unknown path selects nothing.
    virtual void SelectPath(const char* path) = 0;
    // Qt's menus need no forwarding; kept for the slot order.
    virtual void ForwardMenuMessage(uint32_t message, uintptr_t first, intptr_t second) = 0;
    // Empties the tree and inserts the root, expanded, with its first child expanded.
    virtual void Reset() = 0;
    // Reads the selected folder's subfolders again.
    virtual void RefreshSelected() = 0;
    virtual void Destroy() = 0;

protected:
    ~IExplorerTree() = default;
};

// {AE00BEFB-6881-4573-8879-3CB87C03756A}
inline constexpr GUID IID_IMetadataListView = {0xAE00BEFB, 0x6881, 0x4573, {0x88, 0x79, 0x3C, 0xB8, 0x7C, 0x03, 0x75, 0x6A}};

// The tag list view: a controller over the front end's two-column QTreeWidget
// that shows, edits and removes the frames of one or several tag files.
struct IMetadataListView : IUnknown {
    // Takes the QTreeWidget (the caller keeps owning it); 0.
    virtual int Attach(HWND treeWidget) = 0;
    // Shows this file (a reference is taken; the previous main file is released); 0.
    virtual int SetFile(IMetadataFile* file) = 0;
    // Shows several files at once; E_INVALIDARG for a count of 0.
    virtual HRESULT SetFiles(IMetadataFile** files, int count) = 0;
    // Writes every file's tag; the first failure (with a message box) or S_OK.
    virtual HRESULT Save() = 0;
    // E_FAIL without a selected frame row or when read-only; otherwise 0.
    virtual HRESULT EditSelected() = 0;
    virtual HRESULT RemoveSelected() = 0;
    virtual HRESULT RemoveAll() = 0;
    // Qt delivers the view's events through signals; kept for the slot order. Returns 0.
    virtual intptr_t OnNotify(void* header) = 0;
    virtual int IsModified() = 0;

protected:
    ~IMetadataListView() = default;
};

extern "C" {

// A new tag list view with one reference; E_INVALIDARG for a null address.
TALLORY_API HRESULT CreateMetaDataLV(IMetadataListView** view) noexcept;

// The folder tree over `tree` (a QTreeWidget the caller owns), with `owner` as
// the parent of its menus and questions. E_INVALIDARG for a null address or a
// tree that is not a QTreeWidget; E_OUTOFMEMORY with a null result.
TALLORY_API HRESULT CreateExplorerTree(IExplorerTree** tree, HWND owner, HWND treeWidget) noexcept;

// The simple progress window (one bar, Abort). S_OK, or E_OUTOFMEMORY with a
// null result; E_INVALIDARG for a null address.
TALLORY_API HRESULT CreateProgressWindow(IConvProgress** progress) noexcept;
// The batch progress window; its dialog is made by Create. The result may be
// used as an IConvBatchProgress.
TALLORY_API HRESULT CreateConvertProgressWindow(IConvProgress** progress) noexcept;
// A message log. E_INVALIDARG for a null address, E_OUTOFMEMORY with a null result.
TALLORY_API HRESULT CreateErrorLog(IErrorLog** log) noexcept;

}  // extern "C"

#endif
