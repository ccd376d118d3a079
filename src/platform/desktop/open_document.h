// Opening a document with the desktop's default handler (xdg-open).
#ifndef TALLORY_PLATFORM_DESKTOP_OPEN_DOCUMENT_H
#define TALLORY_PLATFORM_DESKTOP_OPEN_DOCUMENT_H

#include <string>

namespace tallory::platform {

// Starts "xdg-open path" (found on PATH). quiet sends its output to /dev/null,
// as no error dialog may appear without an owner window. Waits for it to end;
// true if it was started.
bool openDocument(const std::string& path, bool quiet);

}  // namespace tallory::platform

#endif
