// Data recording: files and folders written as an ISO9660 image, streamed
// without a temporary image, track-at-once onto a recorder, with the messages
// of the data recording. ICDDrive::Record (kinds 2 and 3) and the command line
// call it.
#ifndef TALLORY_CD_RECORDING_DATA_BURN_H
#define TALLORY_CD_RECORDING_DATA_BURN_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cd/engine/iso_tree.h"
#include "platform/scsi/scsi_transport.h"
#include "tallory/conv.h"

namespace tallory::cd::recording {

struct DataBurnRequest {
    std::vector<std::string> paths;  // files and folders (folders with everything in them), at the root
    std::string volumeLabel;         // at most 32 characters
    bool joliet = false;             // the UTF-16 second descriptor set
    bool keepCase = false;           // keep the case of valid 8.3 names
    std::string bootImage;           // empty: not bootable
    int bootEmulation = 0;           // 0 none, 1 1.2 MB, 2 1.44 MB, 3 2.88 MB diskette, 4 hard disk
    uint16_t bootLoadSegment = 0;
    uint16_t bootSectorCount = 0;    // 0: 4
    bool testMode = false;           // the laser off: the disc stays blank
    bool underrunProtection = false; // asked for only where the drive has it
    uint32_t transferBytes = 65000;  // bytes per write command
    const std::atomic<bool>* stop = nullptr;  // set: the burn ends with E_ABORT
};

struct DataBurnResult {
    int32_t trackStart = 0;      // the data track's first sector
    uint32_t trackSectors = 0;   // run-out blocks included
    uint32_t volumeSectors = 0;  // the file system's own size
};

// Burns `request` onto the recorder behind `transport`. Progress (may be null)
// gets the action, items, the range in sectors and every sector sent; its
// IsCancelled stops the burn. Engine errors go to MessageEx as error lines.
// S_OK; E_ABORT when stopped; E_INVALIDARG for a bad request; E_FAIL otherwise.
HRESULT burnDataDisc(platform::scsi::ScsiTransport& transport, const DataBurnRequest& request,
                     IConvProgress* progress, DataBurnResult* result = nullptr) noexcept;

// The tree of the request's items, as burnDataDisc lays it out (folders with
// everything in them). Throws engine::EngineError for an item that is missing.
void buildDataTree(const DataBurnRequest& request, engine::IsoTree& tree);

// Reads the burned track back through `transport` (READ(10) of 2048-byte
// blocks) and compares an MD5 of every file of the request with its source;
// each missing, extra or differing file goes to `progress` as an error line.
// S_OK when every file matches; S_FALSE on differences; E_ABORT when stopped;
// E_FAIL when the track cannot be read.
HRESULT verifyDataDisc(platform::scsi::ScsiTransport& transport, const DataBurnResult& burned,
                       const DataBurnRequest& request, IConvProgress* progress) noexcept;

}  // namespace tallory::cd::recording

#endif
