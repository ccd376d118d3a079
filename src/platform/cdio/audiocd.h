// The CD reading library interface over libcdio: the drive list, handles,
// table of contents, speed and raw audio reads, with the records the track
// source's library way fills and reads. Devices are real drives or cue/bin
// images, as the drive collection registered them.
#ifndef TALLORY_PLATFORM_CDIO_AUDIOCD_H
#define TALLORY_PLATFORM_CDIO_AUDIOCD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallory::platform::cdio {

#pragma pack(push, 1)
struct CDDriveEntry {
    uint8_t hostAdapter;
    uint8_t target;
    uint8_t lun;
    uint8_t rest[118];  // the device path, NUL-terminated, as far as it fits
};
struct CDDriveList {
    uint8_t maxEntries;  // the caller sets 8
    uint8_t count;
    CDDriveEntry entries[8];
};
struct CDHandleRequest {
    uint8_t size;        // 12
    uint8_t version;     // 1
    uint8_t hostAdapter;
    uint8_t target;
    uint8_t lun;
    uint8_t readType;    // 0
    uint32_t jitterMode; // 2
    uint8_t jitterCount; // 1
    uint8_t overlap;     // 3
};
struct CDTocEntry {
    uint8_t reserved;
    uint8_t adrControl;  // 0x04: data track
    uint8_t track;
    uint8_t reserved2;
    uint8_t lba[4];      // big-endian
};
struct CDTableOfContents {
    uint16_t length;
    uint8_t firstTrack;
    uint8_t lastTrack;
    CDTocEntry entries[100];
};
struct CDTrackBuffer {
    uint32_t startFrame;
    uint32_t frameCount;
    uint32_t maxLength;
    uint32_t length;
    uint32_t status;
    uint32_t startOffset;
    uint8_t data[1];     // maxLength bytes in the allocation
};
#pragma pack(pop)
static_assert(sizeof(CDDriveEntry) == 121);
static_assert(sizeof(CDHandleRequest) == 12);
static_assert(sizeof(CDTableOfContents) == 804);
static_assert(offsetof(CDTrackBuffer, data) == 24);

inline constexpr int kParmMaxSpeed = 29;
inline constexpr int kParmSpeed = 32;
inline constexpr uint32_t kLibraryFrames = 27;  // 63504 bytes a transfer

struct AudioCdDevice {
    uint8_t hostAdapter = 0, target = 0, lun = 0;
    std::string path;  // device node or cue sheet
};
// The devices GetCDList lists (the drive collection sets them).
void setAudioCdDevices(std::vector<AudioCdDevice> devices);

using CDHandle = uintptr_t;
uint32_t GetCDList(CDDriveList* list);
CDHandle GetCDHandle(const CDHandleRequest* request);
void CloseCDHandle(CDHandle handle);
uint32_t ReadTOC(CDHandle handle, CDTableOfContents* toc);
uint32_t QueryCDParms(CDHandle handle, int which, int* value);
uint32_t ModifyCDParms(CDHandle handle, int which, int value);
// Non-zero on success; length then holds the bytes delivered at data.
uint32_t ReadCDAudioLBA(CDHandle handle, CDTrackBuffer* buffer);
uint32_t GetAspiLibError();

}  // namespace tallory::platform::cdio

#endif
