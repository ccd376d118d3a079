// Converting one source into one target, and the volume normalizer.
#ifndef TALLORY_CONVERT_H
#define TALLORY_CONVERT_H

#include "tallory/conv.h"
#include "tallory/types.h"

// {9FE18015-A3F1-46C5-908E-CB35BB5210F1}: names the normalizer in throughput reports.
inline constexpr GUID CLSID_Normalizer = {0x9FE18015, 0xA3F1, 0x46C5, {0x90, 0x8E, 0xCB, 0x35, 0xBB, 0x52, 0x10, 0xF1}};

// A two-phase peak normalizer: Analyze every block, then Apply to every block.
// Not reference counted: Destroy deletes it.
struct INormalizer {
    virtual HRESULT Destroy() = 0;
    // 8- or 16-bit PCM, mono or stereo; E_INVALIDARG otherwise. The peak is kept.
    virtual HRESULT SetFormat(const WAVEFORMATEX* format) = 0;
    // Updates the peak and the gain; E_FAIL before SetFormat.
    virtual HRESULT Analyze(uint32_t byteCount, const void* data) = 0;
    // Writes the scaled samples to output, which may be input itself; E_FAIL before SetFormat.
    virtual HRESULT Apply(uint32_t byteCount, const void* input, void* output) = 0;

protected:
    ~INormalizer() = default;
};

extern "C" {

// Converts source into target on a worker thread while the calling thread keeps
// processing window events. The caller keeps its references; source and target
// are closed and detached afterwards. normalize != 0 runs two passes through a
// temporary file; startMs/endMs limit the range (-1: not set). S_OK on success,
// E_INVALIDARG if an object is null, E_FAIL otherwise (reasons go to progress).
TALLORY_API HRESULT AudioConvert(IConvSource* source, IConvTarget* target, IConvProgress* progress, int reserved,
                                 int normalize, int startMs, int endMs) noexcept;

// A new normalizer in *normalizer; E_INVALIDARG for a null pointer.
TALLORY_API HRESULT CreateNormalizer(INormalizer** normalizer) noexcept;

}  // extern "C"

#endif
