// ASX-syntax metafiles (".wax"): the href of the first Ref of every Entry
// under the Asx root. Element and attribute names are matched without case:
// "<asx><entry><ref href>" is as common as "<Asx><Entry><Ref HREF>".
#include <cstdio>
#include <vector>

#include "core/ui_bridge.h"
#include "platform/xml/xml_document.h"
#include "playlist/playlist.h"

namespace tallory::playlist {

using platform::sameNameNoCase;
using platform::XmlElement;

bool parseAsx(std::string_view bytes, const std::string& url, std::vector<std::string>& out, XmlParseError& error,
              size_t* refused) {
    if (bytes.size() > kMaxPlaylistBytes) return true;
    XmlElement root;
    if (!platform::parseXml(bytes, url, root, error)) return false;
    if (!sameNameNoCase(root.name, "Asx")) return true;
    // Every Entry below the root, at any depth, in document order.
    std::vector<const XmlElement*> pending;
    for (auto it = root.children.rbegin(); it != root.children.rend(); ++it) pending.push_back(&*it);
    while (!pending.empty()) {
        const XmlElement* e = pending.back();
        pending.pop_back();
        if (sameNameNoCase(e->name, "Entry")) {
            for (const XmlElement& ref : e->children) {
                if (!sameNameNoCase(ref.name, "Ref")) continue;
                // A Ref without an href names nothing: no entry.
                if (const std::string* href = ref.attributeNoCase("href")) {
                    if (fitsEntryBuffer(*href)) {
                        out.push_back(*href);
                    } else if (refused != nullptr) {
                        ++*refused;
                    }
                }
                break;
            }
        }
        for (auto it = e->children.rbegin(); it != e->children.rend(); ++it) pending.push_back(&*it);
    }
    return true;
}

bool AsxPlaylist::readEntries(const std::string& path, std::vector<std::string>& out) {
    std::string bytes;
    // An unreadable file leaves the list empty, as an unavailable parser would.
    if (!readWholeFile(path, bytes)) return true;
    XmlParseError error;
    size_t refused = 0;
    if (!parseAsx(bytes, path, out, error, &refused)) {
        char text[2048];
        std::snprintf(text, sizeof text, kParseErrorFormat, path.c_str(), error.line, error.column,
                      static_cast<unsigned>(error.code), error.reason.c_str());
        core::ui::messageBox(nullptr, text, kParseErrorCaption, MB_OK | MB_ICONERROR);
        return false;
    }
    reportRefused(path, refused);
    return true;
}

}  // namespace tallory::playlist
