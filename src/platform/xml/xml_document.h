// The XML stand-in: a document parsed by libxml2 into a plain tree of elements,
// so that readers above the platform layer never see the library.
#ifndef TALLORY_PLATFORM_XML_DOCUMENT_H
#define TALLORY_PLATFORM_XML_DOCUMENT_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallory::platform {

// Why a document could not be parsed: the parser's code, where, and its text.
struct XmlParseError {
    int code = 0;
    int line = 0;
    int column = 0;
    std::string reason;
};

struct XmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<XmlElement> children;

    // The value of the attribute called `attribute` (ASCII case ignored), or null.
    const std::string* attributeNoCase(std::string_view attribute) const;
};

// Documents nest no deeper than this; deeper elements are left out (libxml2
// itself stops at 256 levels without its HUGE option).
inline constexpr int kMaxXmlDepth = 256;

// Parses a whole document without network access or external entities. False,
// with the first error, when it is not well-formed. `url` names it in errors.
bool parseXml(std::string_view bytes, const std::string& url, XmlElement& root, XmlParseError& error);

// ASCII names compared without case, as markup written by hand varies.
bool sameNameNoCase(std::string_view a, std::string_view b);

}  // namespace tallory::platform

#endif
