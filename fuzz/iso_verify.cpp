// An ISO9660 image read back from a disc or a file is outside input: the
// reader and the verifier on any bytes. The input is the image from sector 16
// on (the system area reads as zeros), so that seeds stay small.
#include <cstring>
#include <string>
#include <vector>

#include "cd/engine/iso_verify.h"

using namespace tallory::cd::engine;

namespace {

constexpr uint32_t kSector = 2048;
constexpr uint32_t kSystemArea = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t sectors = kSystemArea + static_cast<uint32_t>((size + kSector - 1) / kSector);
    IsoBlockReader read = [data, size, sectors](uint32_t lba, uint32_t count, uint8_t* out) {
        if (static_cast<uint64_t>(lba) + count > sectors) return false;
        for (uint32_t i = 0; i < count; ++i, out += kSector) {
            std::memset(out, 0, kSector);
            uint64_t sector = static_cast<uint64_t>(lba) + i;
            if (sector < kSystemArea) continue;
            size_t at = static_cast<size_t>(sector - kSystemArea) * kSector;
            std::memcpy(out, data + at, std::min<size_t>(kSector, size - at));
        }
        return true;
    };
    IsoReadOptions options;
    options.endSector = sectors;
    options.sectorsPerRead = 3;  // reads that do not line up with extents
    IsoVolumeListing listing = listIsoImage(read, options);
    if (listing.ok) {
        // Whatever the reader accepts lies inside the image.
        for (const IsoTreeListing* tree : {&listing.primary, &listing.joliet}) {
            for (const IsoImageFile& f : tree->files) {
                for (const IsoFileExtent& e : f.extents) {
                    if (e.bytes > 0 && e.sector + (static_cast<uint64_t>(e.bytes) + kSector - 1) / kSector > sectors) {
                        __builtin_trap();
                    }
                }
            }
        }
    }
    std::vector<IsoExpectedFile> expected = {{"/A.TXT", "/a.txt", "/dev/null"},
                                             {"/SUB/LONGFI~1.DAT", "/sub/long file name.dat", "/dev/null"}};
    IsoVerifyResult result = verifyIsoImage(read, expected, options);
    if (result.identical() && !listing.ok) __builtin_trap();
    return 0;
}
