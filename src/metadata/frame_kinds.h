// Which frame identifiers have a frame kind, and what each kind is.
#ifndef TALLORY_METADATA_FRAME_KINDS_H
#define TALLORY_METADATA_FRAME_KINDS_H

#include "tallory/metadata.h"

namespace tallory::metadata {

enum class FrameKind {
    None,  // kept in a tag and written, but no frame object
    PlainText,
    NumberPair,
    Year,
    Copyright,
    Date,
    Time,
    Genre,
    Language,
    Length,
    ReadOnlyText,
    UserText,
    Comment,
    Url,
    UserUrl,
    Picture,
};

FrameKind frameKindOf(int frameId);
// The kind interface: ITextFrame for all text kinds, and so on.
const IID& kindInterfaceOf(FrameKind kind);
// Length and the read-only texts: no editor, no edits.
bool isReadOnlyKind(FrameKind kind);
// The four-letter identifier ("TIT2"), or null for a number id3lib does not know.
const char* frameIdText(int frameId);
// The frame number of a four-letter identifier, or 0 when unknown.
int frameIdOfText(const char* text);

}  // namespace tallory::metadata

#endif
