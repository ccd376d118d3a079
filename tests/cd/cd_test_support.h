// Disc images for the CD tests: cue/bin pairs of noise tracks (every sample
// differs, so a position error shows) with optional silent stretches and data
// tracks, written to a fresh temporary folder.
#ifndef TALLORY_TESTS_CD_TEST_SUPPORT_H
#define TALLORY_TESTS_CD_TEST_SUPPORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/scsi/scsi_transport.h"
#include "platform/scsi/sense.h"

namespace cdtest {

struct TrackSpec {
    int32_t sectors = 750;
    bool data = false;            // MODE1/2352 with a recognisable pattern
    int32_t silentSectors = 0;    // this many sectors of digital silence at the start
    int32_t pregapSectors = 0;    // INDEX 00 this many sectors before INDEX 01 (in the file)
    int session = 1;
};

struct Image {
    std::string folder;
    std::string cuePath;
    std::string binPath;
    std::vector<uint8_t> bin;          // the whole file
    std::vector<int64_t> trackOffset;  // byte offset of each track's INDEX 01 in bin
    std::vector<int32_t> trackSectors; // sectors from INDEX 01 to the next file position
    std::shared_ptr<void> removal;     // the folder goes with the last copy of the image
};

// A fresh folder under TMPDIR (or /tmp).
std::string makeTempFolder(const std::string& tag);
Image makeImage(const std::vector<TrackSpec>& tracks, uint32_t seed = 7, const std::string& tag = "disc");

// A command with a fixed CDB, for the drive tests.
tallory::platform::scsi::ScsiResult run(tallory::platform::scsi::ScsiTransport& t, std::vector<uint8_t> cdb,
                                        std::vector<uint8_t>* data = nullptr,
                                        tallory::platform::scsi::DataDirection dir =
                                            tallory::platform::scsi::DataDirection::FromDevice);
// Sense of a result as key/asc/ascq.
tallory::platform::scsi::SenseInfo senseOf(const tallory::platform::scsi::ScsiResult& r);

// Clears the power-on unit attention of a fresh drive.
void clearAttention(tallory::platform::scsi::ScsiTransport& t);

}  // namespace cdtest

#endif
