#include "cli_values.h"

namespace tallory::cli {

int frameIdOf(std::string code) {
    for (char& c : code) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    for (const FrameName& f : kFrameNames) {
        if (code == f.code) return f.id;
    }
    return 0;
}

const char* codeOf(int id) {
    for (const FrameName& f : kFrameNames) {
        if (f.id == id) return f.code;
    }
    return "????";
}

namespace {

// The code point of the UTF-8 sequence at s[i] and its length; 0 when the
// bytes there are not one valid sequence (RFC 3629).
size_t decodeUtf8(const std::string& s, size_t i, char32_t& c) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        c = b;
        return 1;
    }
    const size_t n = b >= 0xF5 ? 0 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    c = b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const auto t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        c = (c << 6) | (t & 0x3F);
    }
    static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[n] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return 0;
    return n;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::u16string fromUtf8(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        char32_t c = 0;
        size_t n = decodeUtf8(s, i, c);
        if (n == 0) {
            c = static_cast<unsigned char>(s[i]);  // not UTF-8: taken as ISO-8859-1
            n = 1;
        }
        i += n;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string toUtf8(const char16_t* s) {
    std::string out;
    for (size_t i = 0; s[i] != 0; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::string toHex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool fromHex(const std::string& text, std::vector<unsigned char>& out) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return true;
}

OptionValue splitOption(const std::string& option) {
    OptionValue o;
    const size_t eq = option.find('=');
    o.name = option.substr(0, eq);
    if (eq != std::string::npos) {
        o.value = option.substr(eq + 1);
        o.hasValue = true;
    }
    return o;
}

}  // namespace tallory::cli
