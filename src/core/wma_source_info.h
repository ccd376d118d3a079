// The codec-information operation of the MP3 and Windows Media source, reached
// through QueryInterface by WMASourceGetInfo.
#ifndef TALLORY_CORE_WMA_SOURCE_INFO_H
#define TALLORY_CORE_WMA_SOURCE_INFO_H

#include "tallory/types.h"

// {E2535B0A-B286-458D-B8A6-F29F16F45F4A}
inline constexpr IID IID_IWmaSourceInfo = {0xE2535B0A, 0xB286, 0x458D, {0xB8, 0xA6, 0xF2, 0x9F, 0x16, 0xF4, 0x5F, 0x4A}};

struct IWmaSourceInfo : IUnknown {
    // Writes the codec name and "%d kbps; %d kHz; %s"; each buffer holds TALLORY_MAX_PATH bytes.
    virtual HRESULT GetCodecInfo(char* codecName, char* streamLine) = 0;

protected:
    ~IWmaSourceInfo() = default;
};

#endif
