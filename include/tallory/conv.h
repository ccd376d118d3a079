// The source/target contract: IConvSource, IConvTarget, IConvSink and the
// progress callback IConvProgress. Slots are declared in binary order.
#ifndef TALLORY_CONV_H
#define TALLORY_CONV_H

#include "tallory/guids.h"
#include "tallory/types.h"

struct IMetadataFile;  // the tag file interface of the metadata model
struct IConvSink;
struct IConvProgress;

// A reader of one file or CD track that delivers PCM (format tag 1).
// Paths are UTF-8; buffer capacities count bytes including the terminator.
struct IConvSource : IUnknown {
    // Copies the path; false if it is null.
    virtual bool SetPath(const char* path) = 0;
    // False if buffer is null or the path does not fit with its terminator.
    virtual bool GetPath(char* buffer, int capacity) = 0;
    virtual bool GetClassId(CLSID* classId) = 0;
    // The part after the last '/', truncated to capacity; false if no path.
    virtual bool GetFileName(char* buffer, int capacity) = 0;
    // The path without its file name; false if nothing remains or it does not fit.
    virtual bool GetDirectory(char* buffer, int capacity) = 0;
    // Opens the file and learns its total PCM length and format.
    virtual bool Open() = 0;
    // Milliseconds from the start to begin Run at; -1 is the beginning.
    virtual bool SetStartTime(int milliseconds) = 0;
    // Delivers all PCM from the start time through sink->Write; stops when it returns false.
    virtual bool Run(IConvSink* sink) = 0;
    virtual bool Close() = 0;
    // A new tag file for the source (caller releases it); false if it has none.
    virtual bool GetTag(IMetadataFile** tag) = 0;
    // PCM bytes between startMs and endMs (-1: beginning / end); only while open.
    virtual bool GetLength(uint32_t* bytes, int startMs, int endMs) = 0;
    // The 18-byte PCM format; only while open.
    virtual bool GetFormat(WAVEFORMATEX* format) = 0;
    // Attaches the callback without taking a reference; null detaches.
    virtual void SetProgress(IConvProgress* progress) = 0;

protected:
    ~IConvSource() = default;
};

// A writer that accepts PCM and produces one output file.
struct IConvTarget : IUnknown {
    // The row of the format registry this target belongs to, or -1.
    virtual int GetFormatIndex() = 0;
    virtual bool GetClassId(CLSID* classId) = 0;
    virtual bool SetPath(const char* path) = 0;
    // False if no path is set; otherwise the path truncated to capacity.
    virtual bool GetPath(char* buffer, int capacity) = 0;
    // Creates missing directories, applies the overwrite rule, creates the file.
    virtual bool Open() = 0;
    virtual bool Write(uint32_t byteCount, const void* data) = 0;
    virtual bool Close() = 0;
    // A new tag file for the output path, used after Close; false if the format has no tag.
    virtual bool OpenTag(IMetadataFile** tag) = 0;
    // Releases the previous source; takes a reference to the new one; false for null.
    virtual bool SetSource(IConvSource* source) = 0;
    // Output size for that much PCM of that format; false if the target cannot estimate.
    virtual bool EstimateSize(uint32_t sourceBytes, const WAVEFORMATEX* sourceFormat, uint32_t* outputBytes) = 0;
    virtual bool SetFormat(const WAVEFORMATEX* format) = 0;
    // Modal settings dialog; on OK copies the settings into each target of the
    // null-terminated array `others` (may be null). False when cancelled.
    virtual bool ShowSettings(HWND parent, IConvTarget** others) = 0;
    // One line describing the current settings, truncated to capacity.
    virtual bool GetSettingsText(char* buffer, uint32_t capacity) = 0;
    // A settings-string option. On refusal writes an explanation (empty for an
    // unknown name) into errorText, which holds TALLORY_MAX_PATH bytes or is null.
    virtual bool SetOption(const char* name, const char* value, char* errorText) = 0;
    virtual void SetProgress(IConvProgress* progress) = 0;

protected:
    ~IConvTarget() = default;
};

// Where a running source delivers its PCM. Not reference counted.
struct IConvSink {
    // True asks for more; false tells the source to stop.
    virtual bool Write(const void* data, uint32_t byteCount) = 0;

protected:
    ~IConvSink() = default;
};

// Progress and message callback. Not reference counted: slot 0 is ConfirmOverwrite.
struct IConvProgress {
    // Nonzero: the existing output file may be replaced.
    virtual int ConfirmOverwrite(const char* path) = 0;
    virtual void Message(const char* text) = 0;
    // kinds holds any of: e error, i information, b bold, k dark blue.
    virtual void MessageEx(const char* text, const char* kinds) = 0;
    virtual void SetRange(uint32_t total) = 0;
    virtual void SetPos(uint32_t position) = 0;
    virtual void Advance(uint32_t delta) = 0;
    virtual void SetAction(const char* text) = 0;
    virtual int IsCancelled() = 0;
    virtual void SetItem(const char* text, int isPath) = 0;
    // Time one object spent on one block; isRead is 1 for reading/processing, 0 for writing.
    virtual void Throughput(const CLSID& classId, int isRead, uint32_t bytes, uint32_t milliseconds) = 0;
    virtual void Destroy() = 0;
    virtual void Cancel() = 0;
    virtual HWND GetWindow() = 0;
    virtual HWND GetItemControl() = 0;
    virtual void Create(HWND parent) = 0;
    virtual void Finish() = 0;

protected:
    ~IConvProgress() = default;
};

// The batch progress window adds three slots after those of IConvProgress.
struct IConvBatchProgress : IConvProgress {
    virtual void Show() = 0;
    virtual void StartBatch(IConvSource** sources, IConvTarget** targets, bool twoPasses, int count) = 0;
    virtual void NextItem() = 0;

protected:
    ~IConvBatchProgress() = default;
};

#endif
