// Results of the media runtime stand-in: a Windows-style result code, which
// callers print as "error #%lX", and the library's explanation of it.
#ifndef TALLORY_PLATFORM_MEDIA_MEDIA_STATUS_H
#define TALLORY_PLATFORM_MEDIA_MEDIA_STATUS_H

#include <string>
#include <utility>

#include "tallory/types.h"

namespace tallory::platform::media {

// The result codes callers may react to, with the runtime's values.
inline constexpr HRESULT kInvalidInputFormat = static_cast<HRESULT>(0xC00D0BBDu);  // not a file we can read
inline constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002u);
inline constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT kNoAudio = static_cast<HRESULT>(0xC00D0BB8u);  // no audio stream to read
inline constexpr HRESULT kInvalidData = static_cast<HRESULT>(0xC00D002Bu);  // damaged header or value
inline constexpr HRESULT kWriteFault = static_cast<HRESULT>(0x8007001Du);

class [[nodiscard]] MediaStatus {
public:
    MediaStatus() = default;
    MediaStatus(HRESULT code, std::string message) : code_(code), message_(std::move(message)) {}
    static MediaStatus ok() { return {}; }

    explicit operator bool() const { return SUCCEEDED(code_); }
    HRESULT code() const { return code_; }
    // One line without a final full stop; empty for success.
    const std::string& message() const { return message_; }

private:
    HRESULT code_ = S_OK;
    std::string message_;
};

// A result code and the library's text for a negative libav error number.
MediaStatus fromAvError(int averror);
// The library's text for an error number, cut at the first line break and
// without a final full stop.
std::string avErrorText(int averror);
// A result code and text for a failed system call (errno value).
MediaStatus fromErrno(int err, const std::string& context);

}  // namespace tallory::platform::media

#endif
