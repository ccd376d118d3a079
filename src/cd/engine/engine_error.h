// The recording engine's error: a code from the engine's message table, its
// formatted main text and an optional detail text. Thrown inside the engine
// only and caught where the engine meets its callers.
#ifndef TALLORY_CD_ENGINE_ENGINE_ERROR_H
#define TALLORY_CD_ENGINE_ENGINE_ERROR_H

#include <cstdint>
#include <exception>
#include <string>

namespace tallory::cd::engine {

// The codes the engine raises here by name; the message table holds them all.
enum EngineCode : int32_t {
    kErrSuccess = 0,
    kErrUserAbort = -100,
    kErrText = -101,
    kErrBugcheck = -102,
    kErrCommandFailed = -105,
    kErrOpenFile = -108,
    kErrCreateFile = -109,
    kErrFindFile = -110,
    kErrNoData = -111,
    kErrReadFile = -112,
    kErrWriteFile = -113,
    kErrBadWave = -117,
    kErrBadAiff = -118,
    kErrBadTrackType = -123,
    kErrTooManyDirs = -125,
    kErrBadPath = -126,
    kErrTooManyToSort = -127,
    kErrImageTooLarge = -128,
    kErrBootImageLength = -130,
    kErrNameTooLong = -149,
    kErrClientRead = -150,
    kErrTwoPartPregap = -313,
    kErrTooMuchCdText = -314,
    kErrBadCdText = -315,
    kErrCueSyntax = -400,
    kErrOncePerDisc = -401,
    kErrOncePerTrack = -402,
    kErrPlacement = -403,
    kErrFileType = -404,
    kErrNotBlockMultiple = -405,
    kErrCatalog = -406,
    kErrIsrc = -407,
    kErrTime = -408,
    kErrNoFile = -409,
    kErrNoTrack = -410,
    kErrTrackNumber = -411,
    kErrTrackOrder = -412,
    kErrIndexNumber = -413,
    kErrIndexOrder = -414,
    kErrIndexTimes = -415,
    kErrIndexPastEnd = -416,
    kErrFirstIndex = -417,
    kErrFirstIndexOfFile = -418,
    kErrFileWithoutTrack = -419,
    kErrTrackWithoutIndex = -420,
    kErrTooManyCuePoints = -421,
    kErrNoTracks = -424,
    kErrLastFileWithoutTrack = -425,
    kErrLastTrackWithoutIndex = -426,
};

// The unformatted text of a code: the first row of the message table with that
// code, or an empty text for a code the table does not hold.
const char* engineMessage(int32_t code) noexcept;

class EngineError : public std::exception {
public:
    EngineError(int32_t code, std::string mainText, int32_t detailCode = 0, std::string detailText = {})
        : code_(code), detailCode_(detailCode), main_(std::move(mainText)), detail_(std::move(detailText)) {}

    // The code's message formatted printf-style with `args` (the table's
    // conversions: %s, %lu, %02lXh).
    template <class... Args>
    static EngineError make(int32_t code, Args... args) {
        return EngineError(code, format(code, args...));
    }
    // Adds a detail code and its formatted text.
    template <class... Args>
    EngineError& withDetail(int32_t detailCode, Args... args) {
        detailCode_ = detailCode;
        detail_ = format(detailCode, args...);
        return *this;
    }

    int32_t code() const noexcept { return code_; }
    int32_t detailCode() const noexcept { return detailCode_; }
    // -100 has no main text; a detail code of 0 no detail text.
    const std::string& mainText() const noexcept { return main_; }
    const std::string& detailText() const noexcept { return detail_; }
    const char* what() const noexcept override { return main_.empty() ? engineMessage(code_) : main_.c_str(); }

    template <class... Args>
    static std::string format(int32_t code, Args... args) {
        if (code == kErrUserAbort) return {};
        const char* text = engineMessage(code);
        if constexpr (sizeof...(Args) == 0) {
            return text;
        } else {
            return formatText(text, args...);
        }
    }

private:
    static std::string formatText(const char* text, ...);

    int32_t code_;
    int32_t detailCode_;
    std::string main_;
    std::string detail_;
};

}  // namespace tallory::cd::engine

#endif
