// Beyond the Windows interface: writing an ISO9660 image file (with an
// optional Joliet set and El Torito boot image) from files and folders, as the
// data recording would put them on a disc.
#ifndef TALLORY_ISO_IMAGE_H
#define TALLORY_ISO_IMAGE_H

#include "tallory/conv.h"
#include "tallory/types.h"

#define TALLORY_ISO_JOLIET 0x1u           // write the Joliet (UTF-16) names too
#define TALLORY_ISO_KEEP_CASE 0x2u        // keep the case of valid 8.3 names
#define TALLORY_ISO_CONTENTS_AT_ROOT 0x4u // a folder item gives its contents, not itself

struct TalloryIsoRequest {
    uint32_t size;  // sizeof(TalloryIsoRequest)
    uint32_t flags; // TALLORY_ISO_*
    const char* const* paths;  // files and folders (folders with everything in them)
    uint32_t pathCount;
    const char* output;        // the image file; created whole or not at all
    const char* volumeLabel;   // at most 32 characters
    const char* bootImage;     // null: not bootable
    int32_t bootEmulation;     // 0 none, 1 1.2 MB, 2 1.44 MB, 3 2.88 MB diskette, 4 hard disk
    uint16_t bootLoadSegment;  // 0: the default 07C0h
    uint16_t bootSectorCount;  // 512-byte sectors loaded without emulation; 0: 4
};

extern "C" {

// Writes the image. Progress (may be null) gets the range in sectors, the
// files as items and every sector sent; its IsCancelled stops the write, and
// ConfirmOverwrite is asked before an existing output is replaced. Errors are
// reported through MessageEx (kind "e"). S_OK; E_ABORT when cancelled or not
// allowed to overwrite; E_INVALIDARG for a bad request; E_FAIL otherwise.
TALLORY_API HRESULT TalloryWriteIsoImage(const TalloryIsoRequest* request, IConvProgress* progress) noexcept;

// Reads the image file `request->output` back (its primary tree and, with
// TALLORY_ISO_JOLIET, its Joliet tree) and compares an MD5 of every file with
// its source, the files gathered from the request's paths as TalloryWriteIsoImage
// gathers them. Each missing, extra or differing file is reported through
// MessageEx (kind "e"); progress gets the range and position in sectors of file
// data. S_OK: every file matches; S_FALSE: differences were found; E_FAIL: the
// image or a source path cannot be read; E_ABORT: cancelled; E_INVALIDARG: a
// bad request.
TALLORY_API HRESULT TalloryVerifyIsoImage(const TalloryIsoRequest* request, IConvProgress* progress) noexcept;

}  // extern "C"

#endif
