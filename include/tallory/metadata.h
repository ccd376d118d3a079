// The tag model: tag files, tags and frames in the ID3v2 frame model, their
// identifiers, and the genre table. Slots are declared in binary order.
//
// Text crosses every interface here as UTF-16 (char16_t). Getters take a buffer
// and its capacity in characters and copy at most that many characters; the
// buffer is not terminated when the value fills it. Setters take a
// NUL-terminated string. A getter on an absent field copies nothing.
#ifndef TALLORY_METADATA_H
#define TALLORY_METADATA_H

#include "tallory/guids.h"
#include "tallory/types.h"

// {29581BAC-EDCA-4CA5-BC33-92261A149FFE}
inline constexpr GUID IID_IMetadataFile = {0x29581BAC, 0xEDCA, 0x4CA5, {0xBC, 0x33, 0x92, 0x26, 0x1A, 0x14, 0x9F, 0xFE}};
// {988F0D3E-1EB6-4652-81EA-FA6BD595811C}
inline constexpr GUID IID_IMetadataTag = {0x988F0D3E, 0x1EB6, 0x4652, {0x81, 0xEA, 0xFA, 0x6B, 0xD5, 0x95, 0x81, 0x1C}};
// {0E8F76A2-C37D-4F10-A37D-9E1E25FF3473}
inline constexpr GUID IID_IMetadataFrame = {0x0E8F76A2, 0xC37D, 0x4F10, {0xA3, 0x7D, 0x9E, 0x1E, 0x25, 0xFF, 0x34, 0x73}};
// {BC4F452C-E9FB-45C8-A645-1EBBFB41AC9A}
inline constexpr GUID IID_ITextFrame = {0xBC4F452C, 0xE9FB, 0x45C8, {0xA6, 0x45, 0x1E, 0xBB, 0xFB, 0x41, 0xAC, 0x9A}};
// {07E70FCF-A417-48A9-BDB4-34DA5F3F1608}
inline constexpr GUID IID_IUserTextFrame = {0x07E70FCF, 0xA417, 0x48A9, {0xBD, 0xB4, 0x34, 0xDA, 0x5F, 0x3F, 0x16, 0x08}};
// The same value as IID_IUserTextFrame: tell the two apart by GetFrameId (TXXX or COMM).
inline constexpr GUID IID_ICommentFrame = IID_IUserTextFrame;
// {9A7890DB-8046-4A2F-8F58-ADF140A8362C}
inline constexpr GUID IID_IUrlFrame = {0x9A7890DB, 0x8046, 0x4A2F, {0x8F, 0x58, 0xAD, 0xF1, 0x40, 0xA8, 0x36, 0x2C}};
// {483DF92D-4C00-4D8A-BC13-01C9EB1A0DBF}
inline constexpr GUID IID_IUserUrlFrame = {0x483DF92D, 0x4C00, 0x4D8A, {0xBC, 0x13, 0x01, 0xC9, 0xEB, 0x1A, 0x0D, 0xBF}};
// {2DA387D7-A446-4E67-B306-02C5C3423B67}
inline constexpr GUID IID_IPictureFrame = {0x2DA387D7, 0xA446, 0x4E67, {0xB3, 0x06, 0x02, 0xC5, 0xC3, 0x42, 0x3B, 0x67}};

// Frame identifier numbers: the numbering of the tag library's frame-id list
// (1 to 94). Only these have a frame kind; other numbers name frames that a tag
// keeps and writes unchanged but for which no frame object can be made.
enum MetadataFrameId : int {
    METADATA_FRAME_APIC = 2,
    METADATA_FRAME_COMM = 4,
    METADATA_FRAME_TALB = 29,
    METADATA_FRAME_TBPM = 30,
    METADATA_FRAME_TCOM = 31,
    METADATA_FRAME_TCON = 32,
    METADATA_FRAME_TCOP = 33,
    METADATA_FRAME_TDAT = 34,
    METADATA_FRAME_TDLY = 36,
    METADATA_FRAME_TENC = 42,
    METADATA_FRAME_TEXT = 43,
    METADATA_FRAME_TFLT = 44,
    METADATA_FRAME_TIME = 45,
    METADATA_FRAME_TIT1 = 46,
    METADATA_FRAME_TIT2 = 47,
    METADATA_FRAME_TIT3 = 48,
    METADATA_FRAME_TKEY = 49,
    METADATA_FRAME_TLAN = 50,
    METADATA_FRAME_TLEN = 51,
    METADATA_FRAME_TMED = 53,
    METADATA_FRAME_TOAL = 55,
    METADATA_FRAME_TOFN = 56,
    METADATA_FRAME_TOLY = 57,
    METADATA_FRAME_TOPE = 58,
    METADATA_FRAME_TORY = 59,
    METADATA_FRAME_TOWN = 60,
    METADATA_FRAME_TPE1 = 61,
    METADATA_FRAME_TPE2 = 62,
    METADATA_FRAME_TPE3 = 63,
    METADATA_FRAME_TPE4 = 64,
    METADATA_FRAME_TPOS = 65,
    METADATA_FRAME_TPUB = 67,
    METADATA_FRAME_TRCK = 68,
    METADATA_FRAME_TRDA = 69,
    METADATA_FRAME_TRSN = 70,
    METADATA_FRAME_TRSO = 71,
    METADATA_FRAME_TSIZ = 72,
    METADATA_FRAME_TSRC = 76,
    METADATA_FRAME_TSSE = 77,
    METADATA_FRAME_TXXX = 79,
    METADATA_FRAME_TYER = 80,
    METADATA_FRAME_USLT = 83,  // no frame kind: kept and written unchanged
    METADATA_FRAME_WCOM = 84,
    METADATA_FRAME_WCOP = 85,
    METADATA_FRAME_WOAF = 86,
    METADATA_FRAME_WOAR = 87,
    METADATA_FRAME_WOAS = 88,
    METADATA_FRAME_WORS = 89,
    METADATA_FRAME_WPAY = 90,
    METADATA_FRAME_WPUB = 91,
    METADATA_FRAME_WXXX = 92,
};

// Bits of IMetadataFile::GetCapabilities.
#define METADATA_CAN_READ 1
#define METADATA_CAN_WRITE 2

struct IMetadataTag;

// A file's tag storage. Knows only its path; the file is opened within
// ReadTag and WriteTag and never kept open between calls.
struct IMetadataFile : IUnknown {
    // METADATA_CAN_READ | METADATA_CAN_WRITE; without the write bit the file is read-only.
    virtual int GetCapabilities() = 0;
    // A new tag (one reference) holding a copy of the file's frames. A missing or
    // unreadable file gives an empty tag.
    virtual HRESULT ReadTag(IMetadataTag** tag) = 0;
    // Replaces the file's tag by the frames of `tag` (which stays the caller's).
    // E_FAIL when frames were to be written and no tag was written.
    virtual HRESULT WriteTag(IMetadataTag* tag) = 0;

protected:
    ~IMetadataFile() = default;
};

// An in-memory collection of frames, never linked to a file.
struct IMetadataTag : IUnknown {
    virtual int GetFrameCount() = 0;
    // Reserved slot: always E_NOTIMPL.
    virtual HRESULT Reserved(int index, const IID& iid, void** object) = 0;
    // A frame object (one reference) for the first frame with that identifier. It
    // refers into the tag and must be released before the tag or RemoveFrames(frameId).
    // E_INVALIDARG: no such frame, or the identifier has no kind; E_NOINTERFACE: the
    // kind lacks `iid`.
    virtual HRESULT GetFrame(int frameId, const IID& iid, void** frame) = 0;
    // Removes and destroys every frame with that identifier; always S_OK.
    virtual HRESULT RemoveFrames(int frameId) = 0;

protected:
    ~IMetadataTag() = default;
};

// Slots shared by every frame kind.
struct IMetadataFrame : IUnknown {
    // Hands a frame made by MetadataCreateFrame to `tag` (once); later calls do nothing.
    // The object keeps referring to the frame, now inside the tag.
    virtual void AttachTo(IMetadataTag* tag) = 0;
    // 1 for TLEN, TFLT, TKEY, TMED, TSIZ, TSRC and TSSE; otherwise 0.
    virtual int IsReadOnly() = 0;
    // The kind's modal editor: IDOK when confirmed (the entry is stored), IDCANCEL
    // when cancelled; read-only kinds show nothing and return 0.
    virtual int Edit(HWND parent) = 0;
    // The short name of the frame identifier ("Album/Movie/Show title"); constant data.
    virtual const char* GetName() = 0;
    // The identifier of the frame's kind interface.
    virtual void GetKindInterfaceId(IID* iid) = 0;
    virtual int GetFrameId() = 0;
    // The one-line display text of the kind, at most `capacity` characters.
    virtual void GetDisplayText(char16_t* buffer, int capacity) = 0;
    // 1 if `other` has the same identifier and renders to the same ID3v2 bytes.
    virtual int IsEqual(IMetadataFrame* other) = 0;
    // Makes `other`'s frame a copy of this one (identifier and all fields).
    virtual void CopyTo(IMetadataFrame* other) = 0;

protected:
    ~IMetadataFrame() = default;
};

// T*** frames but TXXX.
struct ITextFrame : IMetadataFrame {
    virtual void SetText(const char16_t* text) = 0;
    virtual void GetText(char16_t* buffer, int capacity) = 0;

protected:
    ~ITextFrame() = default;
};

// TXXX.
struct IUserTextFrame : IMetadataFrame {
    virtual void SetDescription(const char16_t* text) = 0;
    virtual void GetDescription(char16_t* buffer, int capacity) = 0;
    virtual void SetText(const char16_t* text) = 0;
    virtual void GetText(char16_t* buffer, int capacity) = 0;

protected:
    ~IUserTextFrame() = default;
};

// COMM. The language is three characters ("enu" by default).
struct ICommentFrame : IMetadataFrame {
    virtual void SetDescription(const char16_t* text) = 0;
    virtual void GetDescription(char16_t* buffer, int capacity) = 0;
    virtual void SetLanguage(const char16_t* text) = 0;
    virtual void GetLanguage(char16_t* buffer, int capacity) = 0;
    virtual void SetText(const char16_t* text) = 0;
    virtual void GetText(char16_t* buffer, int capacity) = 0;

protected:
    ~ICommentFrame() = default;
};

// W*** frames but WXXX.
struct IUrlFrame : IMetadataFrame {
    virtual void SetUrl(const char16_t* text) = 0;
    virtual void GetUrl(char16_t* buffer, int capacity) = 0;

protected:
    ~IUrlFrame() = default;
};

// WXXX.
struct IUserUrlFrame : IMetadataFrame {
    virtual void SetDescription(const char16_t* text) = 0;
    virtual void GetDescription(char16_t* buffer, int capacity) = 0;
    virtual void SetUrl(const char16_t* text) = 0;
    virtual void GetUrl(char16_t* buffer, int capacity) = 0;

protected:
    ~IUserUrlFrame() = default;
};

// APIC. The picture data is loaded, saved and cleared only through the picture editor.
struct IPictureFrame : IMetadataFrame {
    virtual void SetMimeType(const char16_t* text) = 0;
    virtual void GetMimeType(char16_t* buffer, int capacity) = 0;
    virtual void SetDescription(const char16_t* text) = 0;
    virtual void GetDescription(char16_t* buffer, int capacity) = 0;
    // Reserved slots: do nothing.
    virtual void Reserved16(void* data, int size) = 0;
    virtual void Reserved17(void* data, int size) = 0;
    // The ID3v2.3 picture type, 0 "Other" to 20 "Publisher/Studio logotype".
    virtual void SetPictureType(int type) = 0;
    virtual int GetPictureType() = 0;

protected:
    ~IPictureFrame() = default;
};

// The context of the TALLORY_DIALOG_TAG_FRAME dialog: the frame to edit. The
// dialog stores the entry in the frame when it ends with OK.
struct TalloryTagFrameDialogContext {
    IMetadataFrame* frame;
    int frameId;
};

extern "C" {

// Writes the 11 bytes ".mp3\0.wma\0\0": the extensions whose tags are handled.
TALLORY_API void MetadataGetFormats(char* buffer) noexcept;
// A tag file for `path` by its extension (case-insensitive): ".mp3", ".wma" or
// ".asf". S_OK with one reference; E_INVALIDARG for any other extension (then
// *file is untouched).
TALLORY_API HRESULT MetadataCreateFromFile(const char* path, IMetadataFile** file) noexcept;
// A new empty tag with one reference; E_INVALIDARG for a null address.
TALLORY_API HRESULT MetadataCreateTag(IMetadataTag** tag) noexcept;
// A new frame of that identifier with its kind's defaults, owned by the returned
// object until AttachTo. *frame is set to null first. E_INVALIDARG for a null
// address or an identifier without a kind; E_NOINTERFACE if the kind lacks `iid`.
TALLORY_API HRESULT MetadataCreateFrame(int frameId, const IID& iid, void** frame) noexcept;

// The number of genres: 80.
TALLORY_API int GenreGetCount(void) noexcept;
// The stored name of genre `number`, blank-padded to 15 characters (constant
// data), or null when number is not below GenreGetCount().
TALLORY_API const char* GenreGet(uint32_t number) noexcept;
// The number (0 to 79) of the genre whose trimmed name equals `name` exactly, or -1.
TALLORY_API int GenreToNum(const char* name) noexcept;

}  // extern "C"

#endif
