#include "metadata/display_text.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "metadata/genre_table.h"
#include "metadata/id3_support.h"
#include "metadata/language_names.h"
#include "metadata/text_codec.h"

namespace tallory::metadata {

namespace {

bool isSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// The leading decimal digits as a number; 0 if none. Saturates instead of overflowing.
unsigned long long leadingNumber(std::u16string_view text) {
    unsigned long long v = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') break;
        v = v > 100000000000000000ull ? v : v * 10 + (c - u'0');
    }
    return v;
}

std::u16string ascii(const char* text) { return utf16FromUtf8(text); }

// strftime in the user's default locale, read as UTF-8.
std::u16string formatInUserLocale(const char* picture, const std::tm& when) {
    locale_t user = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0)) user = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    std::string format = picture;
    if (format == "time") {
        // The locale's time format without its seconds.
        format = nl_langinfo_l(T_FMT, user);
        if (format == "%r") format = nl_langinfo_l(T_FMT_AMPM, user);
        if (format == "%T") format = "%H:%M:%S";
        for (const char* seconds : {":%S", ".%S", "%S"}) {
            const size_t at = format.find(seconds);
            if (at != std::string::npos) {
                format.erase(at, std::char_traits<char>::length(seconds));
                break;
            }
        }
        if (format.empty()) format = "%H:%M";
    }
    char buffer[128];
    const size_t n = strftime_l(buffer, sizeof buffer, format.c_str(), &when, user);
    freelocale(user);
    return utf16FromUtf8(std::string_view(buffer, n));
}

std::u16string trimmed(std::u16string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return std::u16string(text);
}

std::u16string textOf(const ID3_Frame& frame, ID3_FieldID field) {
    return id3::fieldText(frame, field).value_or(std::u16string());
}

}  // namespace

std::u16string genreDisplay(std::u16string_view raw) {
    const std::u16string text = trimmed(raw);
    // ID3v2.4 4.2.3: a genre is a bare number, or RX (remix) or CR (cover).
    if (!text.empty() && text.size() <= 3 &&
        std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
        return utf16FromUtf8(genreName(static_cast<long long>(leadingNumber(text))));
    }
    if (text == u"RX") return u"Remix";
    if (text == u"CR") return u"Cover";
    std::u16string out;
    bool first = true;
    auto append = [&](std::u16string_view piece) {
        if (!first) out += u", ";
        first = false;
        out += piece;
    };
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == u'(') {
            size_t close = text.find(u')', i + 1);
            if (close == std::u16string::npos) close = text.size();
            if (i + 1 < text.size() && text[i + 1] == u'(') {
                // "((" escapes a literal text that begins with "(".
                append(std::u16string_view(text).substr(i + 2, close > i + 2 ? close - (i + 2) : 0));
            } else {
                const std::u16string_view digits = std::u16string_view(text).substr(i + 1, close - (i + 1));
                // The leading digits are the number; a piece without any names no genre.
                const bool numeric = !digits.empty() && digits[0] >= u'0' && digits[0] <= u'9';
                const long long n = numeric ? static_cast<long long>(leadingNumber(digits)) : -1;
                append(utf16FromUtf8(genreName(n)));
            }
            i = close < text.size() ? close + 1 : close;
        } else {
            size_t open = text.find(u'(', i);
            if (open == std::u16string::npos) open = text.size();
            append(std::u16string_view(text).substr(i, open - i));
            i = open;
        }
    }
    return out;
}

std::u16string dateDisplay(std::u16string_view text) {
    const unsigned long long v = leadingNumber(text);
    const int day = static_cast<int>(v / 100 % 1000000);
    const int month = static_cast<int>(v % 100);
    static const int kDaysIn2000[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (v >= 10000 || month < 1 || month > 12 || day < 1 || day > kDaysIn2000[month - 1]) return std::u16string(text);
    std::tm when{};
    when.tm_year = 100;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    return formatInUserLocale("%-d. %B", when);
}

std::u16string timeDisplay(std::u16string_view text) {
    const unsigned long long v = leadingNumber(text);
    const int hour = static_cast<int>(v / 100 % 1000000);
    const int minute = static_cast<int>(v % 100);
    if (v >= 10000 || hour > 23 || minute > 59) return std::u16string(text);
    std::tm when{};
    when.tm_year = 100;
    when.tm_mday = 1;
    when.tm_hour = hour;
    when.tm_min = minute;
    return formatInUserLocale("time", when);
}

std::u16string lengthDisplay(std::u16string_view text) {
    // An unsigned 32-bit number of milliseconds, as a C library conversion would read it.
    const unsigned long long v = leadingNumber(text);
    const uint32_t ms = v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%um %us", ms / 60000u, (ms / 1000u) % 60u);
    return ascii(buffer);
}

std::u16string languageDisplay(std::u16string_view text) {
    const char* name = languageNameOf(text);
    return name != nullptr ? ascii(name) : std::u16string(text);
}

std::u16string displayText(FrameKind kind, const ID3_Frame& frame) {
    const std::u16string text = textOf(frame, ID3FN_TEXT);
    const std::vector<std::u16string> values = id3::fieldValues(frame, ID3FN_TEXT);
    if (values.size() > 1 && kind != FrameKind::UserText && kind != FrameKind::Comment) {
        // Several values of an ID3v2.4 frame, each shown as its kind shows one.
        std::u16string out;
        for (const std::u16string& v : values) {
            if (!out.empty()) out += u", ";
            if (kind == FrameKind::Genre) {
                out += genreDisplay(v);
            } else if (kind == FrameKind::Language) {
                out += languageDisplay(v);
            } else {
                out += v;
            }
        }
        return kind == FrameKind::Copyright ? u"Copyright (c) " + out : out;
    }
    switch (kind) {
        case FrameKind::Copyright:
            return u"Copyright (c) " + text;
        case FrameKind::Date:
            return dateDisplay(text);
        case FrameKind::Time:
            return timeDisplay(text);
        case FrameKind::Genre:
            return genreDisplay(text);
        case FrameKind::Language:
            return languageDisplay(text);
        case FrameKind::Length:
            return lengthDisplay(text);
        case FrameKind::UserText: {
            // The values after the description, joined.
            std::u16string all = text;
            for (size_t i = 1; i < values.size(); ++i) all += u", " + values[i];
            return all + u" (" + textOf(frame, ID3FN_DESCRIPTION) + u")";
        }
        case FrameKind::Comment: {
            const std::u16string description = textOf(frame, ID3FN_DESCRIPTION);
            return description.empty() ? text : text + u" (" + description + u")";
        }
        case FrameKind::Url:
            return textOf(frame, ID3FN_URL);
        case FrameKind::UserUrl:
            return textOf(frame, ID3FN_URL) + u" (" + textOf(frame, ID3FN_DESCRIPTION) + u")";
        case FrameKind::Picture: {
            std::u16string out = textOf(frame, ID3FN_MIMETYPE);
            if (out.empty()) return out;
            std::u16string description = textOf(frame, ID3FN_DESCRIPTION);
            if (description.empty()) description = u"no desc.";
            char size[32];
            std::snprintf(size, sizeof size, ", %zu bytes)", id3::fieldBinarySize(frame, ID3FN_DATA));
            return out + u" (" + description + ascii(size);
        }
        default:
            return text;
    }
}

}  // namespace tallory::metadata
