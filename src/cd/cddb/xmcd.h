// The freedb protocol's texts: the xmcd entry list (read and written), the
// match lines of a query answer, and the pieces of a request.
#ifndef TALLORY_CD_CDDB_XMCD_H
#define TALLORY_CD_CDDB_XMCD_H

#include <string>
#include <vector>

#include "tallory/cd.h"

namespace tallory::cd::cddb {

struct XmcdEntry {
    std::string key;    // empty for a comment
    std::string value;  // unescaped
};

// Lines of at most 256 characters (longer ones are split there); "#" lines
// are comments; values of a key seen before (any case) are joined to it.
std::vector<XmcdEntry> parseXmcd(const std::string& text);
// Key "=" value chunks of at most 253 - key length characters, escapes never
// cut in two, "\r\n" after each line, two more at the end.
std::string writeXmcd(const std::vector<XmcdEntry>& entries);
// The joined value of `key` (any case), or null.
const std::string* findValue(const std::vector<XmcdEntry>& entries, const std::string& key);

// One query answer line "category discid artist / title"; false when a part is missing.
bool parseMatchLine(const std::string& line, CDDBMatch& match, bool exact);
// The matches of a whole query answer: 200 one exact match; 210 exact matches
// and 211 inexact ones up to a "." line (a list without it is no answer).
// False when the answer is not one of those, or cut off.
bool parseQueryAnswer(const std::string& answer, std::vector<CDDBMatch>& matches, int* status);
// A read answer: "210 ..." then the entry up to the "." line; false when
// the status differs or the closing line is missing.
bool parseReadAnswer(const std::string& answer, std::string& entry);

// Form encoding of the "hello" part: "@" and spaces after the first character become "+".
std::string plusEncode(const std::string& text);

}  // namespace tallory::cd::cddb

#endif
