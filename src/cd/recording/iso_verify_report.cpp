#include "cd/recording/iso_verify_report.h"

#include "cd/engine/iso_image.h"

namespace tallory::cd::recording {

using namespace engine;

namespace {

void line(IConvProgress* progress, const std::string& text, const char* kinds) {
    if (progress) progress->MessageEx((text + "\n").c_str(), kinds);
}

}  // namespace

IsoVerifyBar::IsoVerifyBar(IConvProgress* progress, std::atomic<bool>& stop) : progress_(progress), stop_(stop) {
    if (progress_ == nullptr) return;
    progress_->SetAction("Verifying image:");
    progress_->SetPos(0);
}

IsoVerifyProgress IsoVerifyBar::events() {
    if (progress_ == nullptr) return {};
    return [this](uint64_t done, uint64_t total, const std::string&) {
        if (!ranged_) {
            range_ = static_cast<uint32_t>((total / 2 + kIsoSectorSize - 1) / kIsoSectorSize);
            progress_->SetRange(range_);
            ranged_ = true;
        }
        const auto now = static_cast<uint32_t>(done / 2 / kIsoSectorSize);
        if (now != shown_) {
            progress_->Advance(now - shown_);
            shown_ = now;
        }
        if (progress_->IsCancelled()) stop_ = true;
    };
}

void IsoVerifyBar::complete() {
    if (progress_ != nullptr && ranged_) progress_->SetPos(range_);
}

HRESULT reportIsoVerify(const IsoVerifyResult& result, size_t expectedFiles, const std::string& noun,
                        const std::string& subject, IConvProgress* progress) {
    if (result.stopped) {
        line(progress, "User aborted operation!", "e");
        return E_ABORT;
    }
    if (!result.readable) {
        line(progress, subject + " cannot be read: " + result.error, "e");
        return E_FAIL;
    }
    for (const IsoDifference& d : result.differences) line(progress, describe(d), "e");
    if (!result.differences.empty()) {
        const size_t n = result.differences.size();
        line(progress, std::to_string(n) + " difference" + (n == 1 ? "" : "s") + " between " + noun + " and its " +
                           std::to_string(expectedFiles) + " source files",
             "e");
        return S_FALSE;
    }
    line(progress, "All " + std::to_string(result.filesCompared) + " files of " + noun + " match their sources", "i");
    return S_OK;
}

}  // namespace tallory::cd::recording
