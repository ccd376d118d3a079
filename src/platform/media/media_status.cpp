#include "platform/media/media_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/ffmpeg/ffmpeg_api.h"

namespace tallory::platform::media {

namespace {

std::string tidy(std::string text) {
    size_t cut = text.find_first_of("\r\n");
    if (cut != std::string::npos) text.erase(cut);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

std::string avErrorText(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE + 64] = {};
    if (av_strerror(averror, text, sizeof text) < 0) {
        std::snprintf(text, sizeof text, "Error number %d", averror);
    }
    return tidy(text);
}

MediaStatus fromAvError(int averror) {
    HRESULT code = E_FAIL;
    if (averror == AVERROR(ENOENT)) {
        code = kFileNotFound;
    } else if (averror == AVERROR(EACCES) || averror == AVERROR(EPERM)) {
        code = kAccessDenied;
    } else if (averror == AVERROR(ENOMEM)) {
        code = E_OUTOFMEMORY;
    } else if (averror == AVERROR_INVALIDDATA || averror == AVERROR_DECODER_NOT_FOUND ||
               averror == AVERROR_DEMUXER_NOT_FOUND || averror == AVERROR_STREAM_NOT_FOUND) {
        code = kInvalidInputFormat;
    } else if (averror == AVERROR(EIO) || averror == AVERROR(ENOSPC)) {
        code = kWriteFault;
    }
    return {code, avErrorText(averror)};
}

MediaStatus fromErrno(int err, const std::string& context) {
    HRESULT code = E_FAIL;
    if (err == ENOENT) code = kFileNotFound;
    if (err == EACCES || err == EPERM || err == EROFS) code = kAccessDenied;
    if (err == ENOSPC || err == EIO || err == EDQUOT) code = kWriteFault;
    if (err == ENOMEM) code = E_OUTOFMEMORY;
    std::string text = context.empty() ? std::string(std::strerror(err)) : context + ": " + std::strerror(err);
    return {code, tidy(text)};
}

}  // namespace tallory::platform::media
