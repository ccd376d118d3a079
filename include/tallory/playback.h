// Preview playback: plays a source through the sound device on a thread of its own.
#ifndef TALLORY_PLAYBACK_H
#define TALLORY_PLAYBACK_H

#include "tallory/conv.h"
#include "tallory/types.h"

// Told about the playback's progress, on the playback thread. Not reference
// counted: it must stay valid until OnFinished has been called.
struct IPlaybackCallback {
    // The position and the total length; a negative result stops playback.
    virtual HRESULT OnPosition(int currentMinutes, int currentSeconds, int totalMinutes, int totalSeconds) = 0;
    // Playback has ended, for whatever reason (also when the source could not be opened).
    virtual void OnFinished() = 0;

protected:
    ~IPlaybackCallback() = default;
};

extern "C" {

// Starts playing `source` (which must not be open) and returns at once: non-zero
// when the playback thread was started, else 0. The thread takes its own
// reference of the source and releases it at the end. callback may be null.
TALLORY_API int Playback(IConvSource* source, IPlaybackCallback* callback) noexcept;

}  // extern "C"

#endif
