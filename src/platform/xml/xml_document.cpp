#include "platform/xml/xml_document.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <memory>
#include <mutex>

namespace tallory::platform {

namespace {

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct ContextFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

void initParser() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// The parser goes on after its first error; the first one is the one worth showing.
thread_local XmlParseError* firstError = nullptr;

std::string trimmedReason(const char* message) {
    std::string reason = message != nullptr ? message : "";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return reason;
}

void keepFirstError(void*, xmlError* e) {
    if (firstError == nullptr || e == nullptr || firstError->code != 0 || e->level < XML_ERR_ERROR) return;
    firstError->code = e->code;
    firstError->line = e->line;
    firstError->column = e->int2;
    firstError->reason = trimmedReason(e->message);
}

std::string text(const xmlChar* s) { return s != nullptr ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }

void copyElement(const xmlNode* node, XmlElement& out, int depth) {
    out.name = text(node->name);
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
        xmlChar* value = xmlNodeListGetString(node->doc, a->children, 1);
        out.attributes.emplace_back(text(a->name), text(value));
        xmlFree(value);
    }
    if (depth >= kMaxXmlDepth) return;
    for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        out.children.emplace_back();
        copyElement(child, out.children.back(), depth + 1);
    }
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

}  // namespace

bool sameNameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

const std::string* XmlElement::attributeNoCase(std::string_view attribute) const {
    for (const auto& [name, value] : attributes) {
        if (sameNameNoCase(name, attribute)) return &value;
    }
    return nullptr;
}

bool parseXml(std::string_view bytes, const std::string& url, XmlElement& root, XmlParseError& error) {
    initParser();
    error = XmlParseError{};
    root = XmlElement{};
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        error.code = XML_ERR_NO_MEMORY;
        error.reason = "the document is too large";
        return false;
    }
    std::unique_ptr<xmlParserCtxt, ContextFree> parser(xmlNewParserCtxt());
    if (!parser) {
        error.code = XML_ERR_NO_MEMORY;
        error.reason = "out of memory";
        return false;
    }
    // No network, no external entities, no messages on standard error: the caller reports.
    int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
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
        if (error.code == 0) error.code = XML_ERR_DOCUMENT_EMPTY;
        return false;
    }
    const xmlNode* top = xmlDocGetRootElement(doc.get());
    if (top != nullptr) copyElement(top, root, 1);
    return true;
}

}  // namespace tallory::platform
