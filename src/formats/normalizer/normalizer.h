// The peak normalizer behind CreateNormalizer.
#ifndef TALLORY_FORMATS_NORMALIZER_H
#define TALLORY_FORMATS_NORMALIZER_H

#include "tallory/convert.h"

namespace tallory::formats {

class Normalizer final : public INormalizer {
public:
    HRESULT Destroy() override;
    HRESULT SetFormat(const WAVEFORMATEX* format) override;
    HRESULT Analyze(uint32_t byteCount, const void* data) override;
    HRESULT Apply(uint32_t byteCount, const void* input, void* output) override;

    double peak() const { return peak_; }
    double gain() const { return gain_; }

private:
    WAVEFORMATEX format_{};
    bool ready_ = false;
    double peak_ = 0;
    double gain_ = 0;
};

}  // namespace tallory::formats

#endif
