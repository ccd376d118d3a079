// The one-sentence descriptions of the frame identifiers, from the ID3v2.3
// frame definitions, shown under the editors and as the list view's tips.
#ifndef TALLORY_UI_FRAME_DESCRIPTIONS_H
#define TALLORY_UI_FRAME_DESCRIPTIONS_H

namespace tallory::ui {

// The sentence for a frame identifier number, or "" when it has none.
const char* frameDescription(int frameId);

}  // namespace tallory::ui

#endif
