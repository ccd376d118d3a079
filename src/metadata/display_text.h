// The one-line display texts of the frame kinds.
#ifndef TALLORY_METADATA_DISPLAY_TEXT_H
#define TALLORY_METADATA_DISPLAY_TEXT_H

#include <id3/tag.h>

#include <string>

#include "metadata/frame_kinds.h"

namespace tallory::metadata {

// "(17)(9)Live" -> "Rock, Metal, Live"; "((Live)" -> "Live".
std::u16string genreDisplay(std::u16string_view text);
// DDMM as day and full month name in the user's locale ("5. March"); the text
// itself when it is no valid day of the year 2000.
std::u16string dateDisplay(std::u16string_view text);
// HHMM as a time without seconds in the user's locale; the text itself when invalid.
std::u16string timeDisplay(std::u16string_view text);
// Milliseconds as "%dm %ds".
std::u16string lengthDisplay(std::u16string_view text);
// The language's full name, or the code.
std::u16string languageDisplay(std::u16string_view text);

// The display text of a frame of that kind.
std::u16string displayText(FrameKind kind, const ID3_Frame& frame);

}  // namespace tallory::metadata

#endif
