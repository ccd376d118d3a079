// ASX-syntax metafiles (".wax"): the href of the first Ref of every Entry
// under the Asx root, through libxml2's XPath.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "core/ui_bridge.h"
#include "playlist/playlist.h"

namespace tallory::playlist {

namespace {

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct ContextFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
struct XPathContextFree {
    void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};
struct XPathObjectFree {
    void operator()(xmlXPathObject* o) const { xmlXPathFreeObject(o); }
};

void initParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// The parser goes on after its first error; the first one is the one worth showing.
thread_local XmlParseError* firstError = nullptr;

std::string trimmedReason(const char* message);

void keepFirstError(void*, xmlError* e) {
    if (firstError == nullptr || e == nullptr || firstError->code != 0 || e->level < XML_ERR_ERROR) return;
    firstError->code = e->code;
    firstError->line = e->line;
    firstError->column = e->int2;
    firstError->reason = trimmedReason(e->message);
}

std::string trimmedReason(const char* message) {
    std::string reason = message != nullptr ? message : "";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return reason;
}

}  // namespace

bool parseAsx(std::string_view bytes, const std::string& url, std::vector<std::string>& out, XmlParseError& error) {
    initParser();
    if (bytes.size() > kMaxPlaylistBytes) return true;
    std::unique_ptr<xmlParserCtxt, ContextFree> parser(xmlNewParserCtxt());
    if (!parser) return true;
    // No network, no external entities, no messages on standard error: the caller reports.
    int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    error = XmlParseError{};
    firstError = &error;
    parser->sax->serror = keepFirstError;
    std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(parser.get(), bytes.data(), static_cast<int>(bytes.size()),
                                                           url.c_str(), nullptr, options));
    firstError = nullptr;
    if (!doc || parser->wellFormed == 0) {
        const xmlError* e = xmlCtxtGetLastError(parser.get());
        if (error.code == 0 && e != nullptr) {
            error.code = e->code;
            error.line = e->line;
            error.column = e->int2;
            error.reason = trimmedReason(e->message);
        }
        return false;
    }
    std::unique_ptr<xmlXPathContext, XPathContextFree> xpath(xmlXPathNewContext(doc.get()));
    if (!xpath) return true;
    xpath->node = reinterpret_cast<xmlNode*>(doc.get());
    std::unique_ptr<xmlXPathObject, XPathObjectFree> entries(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>("Asx//Entry"), xpath.get()));
    if (!entries || entries->nodesetval == nullptr) return true;
    for (int i = 0; i < entries->nodesetval->nodeNr; ++i) {
        xmlNode* entry = entries->nodesetval->nodeTab[i];
        std::unique_ptr<xmlXPathObject, XPathObjectFree> refs(
            xmlXPathNodeEval(entry, reinterpret_cast<const xmlChar*>("Ref"), xpath.get()));
        if (!refs || refs->nodesetval == nullptr || refs->nodesetval->nodeNr == 0) continue;
        xmlChar* href = xmlGetProp(refs->nodesetval->nodeTab[0], reinterpret_cast<const xmlChar*>("href"));
        // A Ref without an href names nothing: no entry.
        if (href == nullptr) continue;
        std::string value(reinterpret_cast<const char*>(href));
        xmlFree(href);
        if (fitsEntryBuffer(value)) out.push_back(std::move(value));
    }
    return true;
}

bool AsxPlaylist::readEntries(const std::string& path, std::vector<std::string>& out) {
    std::string bytes;
    // An unreadable file leaves the list empty, as an unavailable parser would.
    if (!readWholeFile(path, bytes)) return true;
    XmlParseError error;
    if (!parseAsx(bytes, path, out, error) && error.code != 0 && error.line > 0) {
        char text[2048];
        std::snprintf(text, sizeof text, kParseErrorFormat, path.c_str(), error.line, error.column,
                      static_cast<unsigned>(error.code), error.reason.c_str());
        core::ui::messageBox(nullptr, text, kParseErrorCaption, MB_OK | MB_ICONERROR);
    }
    return true;
}

}  // namespace tallory::playlist
