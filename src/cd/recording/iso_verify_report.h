// What an image file's verification and a burned data track's verification
// show alike: the bar while files are compared, and the outcome's lines.
#ifndef TALLORY_CD_RECORDING_ISO_VERIFY_REPORT_H
#define TALLORY_CD_RECORDING_ISO_VERIFY_REPORT_H

#include <atomic>
#include <string>

#include "cd/engine/iso_verify.h"
#include "tallory/conv.h"

namespace tallory::cd::recording {

// The bar while files are compared: the action "Verifying image:", the range
// and position in sectors of file data compared (the image's side and the
// source's each count half); a cancel on the progress object sets `stop`.
// Does nothing for a null progress.
class IsoVerifyBar {
public:
    IsoVerifyBar(IConvProgress* progress, std::atomic<bool>& stop);
    engine::IsoVerifyProgress events();
    // The bar full, once every file matched.
    void complete();

private:
    IConvProgress* progress_;
    std::atomic<bool>& stop_;
    uint32_t shown_ = 0, range_ = 0;
    bool ranged_ = false;
};

// Reports `result`: `noun` names what was read in the outcome's lines ("the
// image"), `subject` in the line of an unreadable one ("The image \"a.iso\"").
// S_OK: every file matches; S_FALSE: differences; E_ABORT: stopped; E_FAIL: unreadable.
HRESULT reportIsoVerify(const engine::IsoVerifyResult& result, size_t expectedFiles, const std::string& noun,
                        const std::string& subject, IConvProgress* progress);

}  // namespace tallory::cd::recording

#endif
