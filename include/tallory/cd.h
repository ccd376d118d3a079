// CD drives and audio tracks: the drive collection (ICDDrives), a drive
// (ICDDrive), a track (ICDTrack) with its 24-byte record, the CDDB callback
// and match record. Slots are declared in binary order.
#ifndef TALLORY_CD_H
#define TALLORY_CD_H

#include <stddef.h>

#include "tallory/conv.h"
#include "tallory/guids.h"
#include "tallory/types.h"

// {5EF03C47-6E87-41E1-8E0A-BBD39E1FA0C9}
inline constexpr GUID IID_ICDDrives = {0x5EF03C47, 0x6E87, 0x41E1, {0x8E, 0x0A, 0xBB, 0xD3, 0x9E, 0x1F, 0xA0, 0xC9}};
// {6DD6FEDD-1A33-4A6E-8050-5BCF7E635197}
inline constexpr GUID IID_ICDDrive = {0x6DD6FEDD, 0x1A33, 0x4A6E, {0x80, 0x50, 0x5B, 0xCF, 0x7E, 0x63, 0x51, 0x97}};
// {834D1A56-16ED-4BED-B9BC-E2C9FA022997}
inline constexpr GUID IID_ICDTrack = {0x834D1A56, 0x16ED, 0x4BED, {0xB9, 0xBC, 0xE2, 0xC9, 0xFA, 0x02, 0x29, 0x97}};

#pragma pack(push, 1)
// One audio track as the table of contents gives it; also the "fmt " chunk
// of a ".cda" file. Two records name the same track when all fields but the
// disc serial are equal.
struct CDTrackRecord {
    uint16_t version;        // 1
    uint16_t trackNumber;
    uint32_t discSerial;     // sum of the packed start addresses of the audio tracks
    uint32_t startSector;    // LBA
    uint32_t lengthSectors;
    uint32_t startMsf;       // LBA + 150 as minutes << 16 | seconds << 8 | frames
    uint32_t lengthMsf;      // the length the same way, without the 150
};

// One CDDB match offered to ICDDBCallback::ChooseMatch.
struct CDDBMatch {
    char category[12];
    char discId[9];
    char artist[81];
    char title[81];
    uint32_t cacheSection;   // local cache section, 0 for a server match
    uint32_t exact;          // 1 exact or local, 0 inexact
};
#pragma pack(pop)
static_assert(sizeof(CDTrackRecord) == 24, "CDTrackRecord is 24 bytes");
static_assert(sizeof(CDDBMatch) == 191, "CDDBMatch is packed");

// Recording kinds of CDRecordRequest::kind.
#define CD_RECORD_AUDIO 1
#define CD_RECORD_DATA 2
#define CD_RECORD_DATA_ALT 3
// Items of one request at most; an audio disc holds at most 99 tracks.
#define CD_RECORD_MAX_ITEMS 100
#define CD_RECORD_MAX_AUDIO_TRACKS 99

// Texts of one item: CD-TEXT of its track (each may be null).
enum CDRecordTrackText { CD_TRACK_TITLE, CD_TRACK_PERFORMER, CD_TRACK_SONGWRITER, CD_TRACK_COMPOSER,
                         CD_TRACK_ARRANGER, CD_TRACK_MESSAGE, CD_TRACK_ISRC, CD_TRACK_TEXT_COUNT };
// Texts of the disc (each may be null).
enum CDRecordDiscText { CD_DISC_ID, CD_DISC_GENRE_TEXT, CD_DISC_TITLE, CD_DISC_PERFORMER, CD_DISC_SONGWRITER,
                        CD_DISC_COMPOSER, CD_DISC_ARRANGER, CD_DISC_MESSAGE, CD_DISC_UPC_EAN, CD_DISC_TEXT_COUNT };

#pragma pack(push, 1)
struct CDRecordItem {
    char path[TALLORY_MAX_PATH];       // the source's path, NUL-terminated
    IConvSource* source;               // borrowed for the recording
    const char* texts[CD_TRACK_TEXT_COUNT];
};

// What ICDDrive::Record writes: an audio CD (one track per item, each source
// converted to CD audio first) or an ISO9660 data CD. Texts are UTF-8.
struct CDRecordRequest {
    int32_t cdTextWanted;              // non-zero: write CD-TEXT
    uint32_t cdTextGenreCode;          // CD-TEXT genre code (0: none)
    uint32_t cdTextReserved[2];        // carried, without effect
    const char* discTexts[CD_DISC_TEXT_COUNT];
    int32_t kind;                      // CD_RECORD_AUDIO, CD_RECORD_DATA or CD_RECORD_DATA_ALT
    int32_t itemCount;                 // at most CD_RECORD_MAX_ITEMS
    CDRecordItem items[CD_RECORD_MAX_ITEMS];
    uint32_t perFileData;              // data CD: handed to the image builder with every file
    uint32_t secondData;               // data CD: handed to the image builder
    char volumeLabel[33];              // data CD: the ISO9660 volume label
};
#pragma pack(pop)
#if defined(__x86_64__)
static_assert(sizeof(CDRecordItem) == 324, "CDRecordItem: path, source, seven texts");
static_assert(offsetof(CDRecordItem, source) == 260 && offsetof(CDRecordItem, texts) == 268, "CDRecordItem layout");
static_assert(offsetof(CDRecordRequest, cdTextGenreCode) == 4, "CDRecordRequest layout");
static_assert(offsetof(CDRecordRequest, discTexts) == 16, "CDRecordRequest layout");
static_assert(offsetof(CDRecordRequest, kind) == 88, "CDRecordRequest layout");
static_assert(offsetof(CDRecordRequest, itemCount) == 92, "CDRecordRequest layout");
static_assert(offsetof(CDRecordRequest, items) == 96, "CDRecordRequest layout");
static_assert(offsetof(CDRecordRequest, perFileData) == 32496, "CDRecordRequest layout");
static_assert(offsetof(CDRecordRequest, secondData) == 32500, "CDRecordRequest layout");
static_assert(offsetof(CDRecordRequest, volumeLabel) == 32504, "CDRecordRequest layout");
static_assert(sizeof(CDRecordRequest) == 32537, "CDRecordRequest has no gaps");
#endif

// A drive's CDDB operation is still running.
#ifndef E_PENDING
#define E_PENDING ((HRESULT)0x8000000Au)
#endif

// Capability bits of ICDDrive::GetCapabilities.
#define CD_CAPABILITY_READS_AUDIO 1
#define CD_CAPABILITY_RECORDS 2
#define CD_CAPABILITY_BUFFER_UNDERRUN 4
#define CD_CAPABILITY_CD_TEXT 8

struct ICDDrive;
struct ICDTrack;

// The front end's object for CDDB lookups and submissions. Called on the
// operation's own thread.
struct ICDDBCallback : IUnknown {
    virtual void Reserved() = 0;
    // A status line; only the "REVISION" question reads the result (negative = no).
    virtual int ShowStatus(const char* text) = 0;
    // Picks one of `count` matches into *index; negative = cancelled.
    virtual int ChooseMatch(const CDDBMatch* matches, int count, int* index) = 0;
    virtual void Finished(bool success) = 0;

protected:
    ~ICDDBCallback() = default;
};

struct ICDDrives : IUnknown {
    // A new reference to drive `index` (which also holds the collection).
    virtual HRESULT GetDrive(int index, ICDDrive** drive) = 0;
    virtual HRESULT SetDriveLetter(int index, int letter) = 0;
    // The drive's letter index (the N of /dev/srN); 0 for a bad index.
    virtual int GetDriveLetter(int index) = 0;
    virtual HRESULT GetDriveLetterTo(int index, int* letter) = 0;
    virtual HRESULT DetectDriveLetter(int index) = 0;
    virtual HRESULT FindDriveByLetter(int letter, ICDDrive** drive) = 0;
    virtual HRESULT GetDriveDescription(int index, char* buffer, int capacity) = 0;
    // 0 when the device layer started; else its error text in `buffer`
    // (TALLORY_MAX_PATH bytes) and E_FAIL.
    virtual HRESULT GetInitError(char* buffer) = 0;
    virtual int GetDriveCapabilities(int index) = 0;
    // Drives whose capabilities hold every bit of mask (0: all drives).
    virtual int CountDrives(int mask) = 0;

protected:
    ~ICDDrives() = default;
};

struct ICDDrive : IUnknown {
    virtual int GetDriveLetter() = 0;
    virtual HRESULT SetDriveLetter(int letter) = 0;
    virtual HRESULT DetectDriveLetter() = 0;
    virtual int GetCapabilities() = 0;
    // Reads the table of contents again; E_FAIL (nothing kept) when it cannot.
    virtual HRESULT RefreshTOC() = 0;
    // Track count, then the start sector of each track and of the lead-out;
    // null when the disc has no table entries. Valid until the next RefreshTOC.
    virtual const uint32_t* GetDiscLayout() = 0;
    virtual uint32_t GetDiscId() = 0;
    virtual HRESULT Advise(ICDTrack* track) = 0;
    virtual HRESULT Unadvise(ICDTrack* track) = 0;
    virtual HRESULT OpenTrack(int index, ICDTrack** track) = 0;
    virtual HRESULT OpenTrackByPath(const char* path, ICDTrack** track) = 0;
    virtual HRESULT GetTrackCount(int* count) = 0;
    // The highest recording speed as an index into the speed table (1x, 2x, 4x ... 52x, 72x).
    virtual int GetMaxWriteSpeed() = 0;
    // Minutes a write of `sectors` takes at that speed index; 0 outside the table.
    virtual int EstimateWriteMinutes(int speedIndex, uint32_t sectors) = 0;
    // Writes the request's disc disc-at-once. Audio: S_OK, E_ABORT (cancelled,
    // or Cancel after a failure), E_FAIL, E_INVALIDARG for a bad request
    // (nothing done). Messages and progress go to `progress` (may be null).
    virtual HRESULT Record(HWND parent, IConvProgress* progress, const CDRecordRequest* request, uint32_t unused,
                           bool bufferUnderrunProtection) = 0;
    // "VENDOR PRODUCT REVISION (/dev/srN)"
    virtual HRESULT GetDescription(char* buffer, int capacity) = 0;
    virtual HRESULT LookupCDDB(ICDDBCallback* callback) = 0;
    virtual HRESULT SubmitCDDB(ICDDBCallback* callback) = 0;
    virtual bool GetTitle(char* buffer, int capacity) = 0;
    virtual bool GetArtist(char* buffer, int capacity) = 0;
    virtual bool GetGenre(char* buffer, int capacity) = 0;
    virtual bool GetCategory(char* buffer, int capacity) = 0;
    virtual bool GetYear(int* year) = 0;
    // Index into all table entries (audio and data).
    virtual bool GetTrackTitle(int index, char* buffer, int capacity) = 0;
    virtual bool GetTrackExtra(int index, char* buffer, int capacity) = 0;
    virtual bool SetTitle(const char* text) = 0;
    virtual bool SetArtist(const char* text) = 0;
    virtual bool SetGenre(const char* text) = 0;
    virtual bool SetCategory(const char* text) = 0;
    virtual bool SetYear(int year) = 0;
    virtual bool SetTrackTitle(int index, const char* text) = 0;
    virtual bool SetTrackExtra(int index, const char* text) = 0;

protected:
    ~ICDDrive() = default;
};

struct ICDTrack : IUnknown {
    virtual HRESULT Detach() = 0;
    // Each pointer may be null.
    virtual HRESULT GetLength(int* minutes, int* seconds, int* frames) = 0;
    virtual HRESULT GetDrive(ICDDrive** drive) = 0;
    virtual HRESULT GetTrackRecord(CDTrackRecord* record) = 0;

protected:
    ~ICDTrack() = default;
};

// What the last run of a CD track source found (beyond the Windows interface).
struct CDRipReport {
    uint32_t size;                // sizeof(CDRipReport)
    int trackNumber;
    int audioTrackCount;
    int complete;                 // the whole track was read (no start time, not stopped)
    uint32_t accurateRipV1;       // checksums over the delivered samples
    uint32_t accurateRipV2;
    int secure;                   // the run read every range twice
    int accurate;                 // secure and both reads agreed everywhere, nothing silenced
    int readOffset;               // samples applied
    uint32_t jitterRereads;
    uint32_t silencedSectors;     // sectors given up in error mode (first one below)
    int32_t firstSilencedSector;
    uint32_t unsureRanges;        // secure ranges that never read the same twice
    int32_t firstUnsureSector;
};

struct CDReadOptions {
    uint32_t size;        // sizeof(CDReadOptions)
    int secure;           // read everything twice
    int useOffset;        // non-zero: `offset` instead of the drive model's setting
    int offset;           // samples
};

extern "C" {

// The process-wide drive collection with one new reference.
TALLORY_API HRESULT CreateAudioCDDevices(ICDDrives** drives) noexcept;

// Beyond the Windows interface:
// Makes the next drive collection use simulated drives over these cue/bin
// images instead of the system's drives. E_FAIL with the reason in `error`
// when an image cannot be loaded; E_UNEXPECTED when a collection exists.
TALLORY_API HRESULT CDUseImageDrives(const char* const* cuePaths, int count, char* error, int capacity) noexcept;
// Options for the track sources' reads of this process.
TALLORY_API HRESULT CDSetReadOptions(const CDReadOptions* options) noexcept;
// The report of a CD track source's last Run; E_INVALIDARG when `source` is
// not a CD track source or nothing ran.
TALLORY_API HRESULT CDGetRipReport(IConvSource* source, CDRipReport* report) noexcept;
// The disc's AccurateRip ids and freedb id, and its audio track count.
TALLORY_API HRESULT CDGetAccurateRipIds(ICDDrive* drive, uint32_t* id1, uint32_t* id2, uint32_t* freedbId,
                                        int* audioTracks) noexcept;

}  // extern "C"

#endif
