#include "formats/normalizer/normalizer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/export_guard.h"

namespace tallory::formats {

HRESULT Normalizer::Destroy() {
    delete this;
    return S_OK;
}

HRESULT Normalizer::SetFormat(const WAVEFORMATEX* format) {
    if (format == nullptr) return E_INVALIDARG;
    if (format->wBitsPerSample != 16 && format->wBitsPerSample != 8) return E_INVALIDARG;
    if (format->nChannels != 1 && format->nChannels != 2) return E_INVALIDARG;
    std::memcpy(&format_, format, sizeof(WAVEFORMATEX));
    ready_ = true;
    return S_OK;
}

HRESULT Normalizer::Analyze(uint32_t byteCount, const void* data) {
    if (!ready_) return E_FAIL;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    int peak = static_cast<int>(peak_);
    if (format_.wBitsPerSample == 16) {
        for (uint32_t i = 0; i + 1 < byteCount; i += 2) {
            int s = static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8));
            peak = std::max(peak, std::abs(s));
        }
    } else {
        // Unsigned 8-bit PCM centres on 128: measure the distance from there.
        for (uint32_t i = 0; i < byteCount; ++i) peak = std::max(peak, std::abs(static_cast<int>(bytes[i]) - 128));
    }
    peak_ = peak;
    // Silence has no gain that reaches full scale; leave it as it is.
    gain_ = peak_ > 0 ? std::ldexp(1.0, format_.wBitsPerSample - 1) / peak_ : 1.0;
    return S_OK;
}

HRESULT Normalizer::Apply(uint32_t byteCount, const void* input, void* output) {
    if (!ready_) return E_FAIL;
    const uint8_t* in = static_cast<const uint8_t*>(input);
    uint8_t* out = static_cast<uint8_t*>(output);
    if (format_.wBitsPerSample == 16) {
        for (uint32_t i = 0; i + 1 < byteCount; i += 2) {
            int s = static_cast<int16_t>(in[i] | (in[i + 1] << 8));
            // The positive peak scales to +32768, one past the range: clamp it.
            long v = static_cast<long>(s * gain_);  // truncates toward zero
            v = std::clamp(v, -32768L, 32767L);
            uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(v));
            out[i] = static_cast<uint8_t>(u & 0xFF);
            out[i + 1] = static_cast<uint8_t>(u >> 8);
        }
    } else {
        for (uint32_t i = 0; i < byteCount; ++i) {
            long v = static_cast<long>((static_cast<int>(in[i]) - 128) * gain_);
            v = std::clamp(v, -128L, 127L);
            out[i] = static_cast<uint8_t>(v + 128);
        }
    }
    return S_OK;
}

}  // namespace tallory::formats

static HRESULT createNormalizer(INormalizer** normalizer) {
    if (normalizer == nullptr) return E_INVALIDARG;
    *normalizer = new (std::nothrow) tallory::formats::Normalizer;
    return *normalizer != nullptr ? S_OK : E_OUTOFMEMORY;
}

extern "C" TALLORY_API HRESULT CreateNormalizer(INormalizer** normalizer) noexcept {
    return tallory::core::guardExport("CreateNormalizer", E_OUTOFMEMORY, [&] { return createNormalizer(normalizer); });
}
