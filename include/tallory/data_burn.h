// Beyond the Windows interface: a data CD (ISO9660, optional Joliet and El
// Torito boot image) burned track-at-once onto a recorder, or onto the
// simulated recorder and kept as an ISO image file.
#ifndef TALLORY_DATA_BURN_H
#define TALLORY_DATA_BURN_H

#include "tallory/conv.h"
#include "tallory/iso_image.h"
#include "tallory/types.h"

// Flags beside TALLORY_ISO_JOLIET and TALLORY_ISO_KEEP_CASE.
#define TALLORY_DATA_BURN_TEST 0x100u       // test mode: the laser stays off, the disc blank
#define TALLORY_DATA_BURN_UNDERRUN 0x200u   // buffer-underrun protection where the drive has it
#define TALLORY_DATA_BURN_VERIFY 0x400u     // read the track back and compare every file
#define TALLORY_DATA_BURN_OVERWRITE 0x800u  // the image file may replace an existing one

struct TalloryDataBurnRequest {
    uint32_t size;              // sizeof(TalloryDataBurnRequest)
    uint32_t flags;             // TALLORY_ISO_JOLIET, TALLORY_ISO_KEEP_CASE, TALLORY_DATA_BURN_*
    const char* const* paths;   // files and folders, each at the disc's root
    uint32_t pathCount;
    const char* device;         // "/dev/srN" or "/dev/sgN"; null: the simulated recorder
    const char* image;          // with no device: the ISO image file the data track is saved as
    const char* volumeLabel;    // at most 32 characters
    const char* bootImage;      // null: not bootable
    int32_t bootEmulation;      // 0 none, 1 1.2 MB, 2 1.44 MB, 3 2.88 MB diskette, 4 hard disk
    uint16_t bootLoadSegment;   // 0: the default 07C0h
    uint16_t bootSectorCount;   // 512-byte sectors loaded without emulation; 0: 4
};

extern "C" {

// Burns the disc. Progress (may be null) gets the range in sectors, the files
// as items and every sector sent; its IsCancelled stops the burn. Errors are
// reported through MessageEx (kind "e"). S_OK; E_ABORT when cancelled or when
// the image exists without TALLORY_DATA_BURN_OVERWRITE; E_INVALIDARG for a bad
// request; E_NOTIMPL for TALLORY_DATA_BURN_VERIFY without a verifier; E_FAIL otherwise.
TALLORY_API HRESULT TalloryBurnDataDisc(const TalloryDataBurnRequest* request, IConvProgress* progress) noexcept;

}  // extern "C"

#endif
