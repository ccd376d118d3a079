#include "cd/engine/scsi/engine_error.h"

#include <cstdio>
#include <cstring>

namespace tallory::cd::engine::scsi {

std::string formatMessage(const char* format, const uint32_t* args, int argCount, const std::string& text) {
    std::string out;
    int next = 0;
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            ++p;
            continue;
        }
        // %[0][width][l]conv
        const char* q = p + 1;
        bool zero = false;
        int width = 0;
        if (*q == '0') {
            zero = true;
            ++q;
        }
        while (*q >= '0' && *q <= '9') width = width * 10 + (*q++ - '0');
        while (*q == 'l') ++q;
        char buf[32];
        const uint32_t v = next < argCount ? args[next] : 0;
        switch (*q) {
            case 's': out += text; break;
            case 'u': std::snprintf(buf, sizeof buf, zero ? "%0*u" : "%*u", width, v); out += buf; ++next; break;
            case 'd': std::snprintf(buf, sizeof buf, zero ? "%0*d" : "%*d", width, int32_t(v)); out += buf; ++next; break;
            case 'X': std::snprintf(buf, sizeof buf, zero ? "%0*X" : "%*X", width, v); out += buf; ++next; break;
            case 'x': std::snprintf(buf, sizeof buf, zero ? "%0*x" : "%*x", width, v); out += buf; ++next; break;
            default: out.append(p, std::size_t(q - p) + (*q != 0 ? 1 : 0)); break;
        }
        if (*q == 0) break;
        p = q;
    }
    return out;
}

EngineError::EngineError(int32_t code, std::initializer_list<uint32_t> args, std::string text) : text_(std::move(text)) {
    record_.code = code;
    for (uint32_t a : args) {
        if (record_.argCount >= 8) break;
        record_.args[record_.argCount++] = a;
    }
}

EngineError& EngineError::withDetail(int32_t detailCode, std::initializer_list<uint32_t> args) {
    return withDetail(detailCode, args.begin(), int(args.size()));
}

EngineError& EngineError::withDetail(int32_t detailCode, const uint32_t* args, int count) {
    record_.detailCode = detailCode;
    record_.detailArgCount = 0;
    for (int i = 0; i < count && i < 8; ++i) record_.detailArgs[record_.detailArgCount++] = args[i];
    return *this;
}

std::string EngineError::mainText() const {
    if (record_.code == kErrUserAborted) return {};
    return formatMessage(messageText(record_.code), record_.args, record_.argCount, text_);
}

std::string EngineError::detailText() const {
    if (record_.detailCode == 0) return {};
    return formatMessage(messageText(record_.detailCode), record_.detailArgs, record_.detailArgCount);
}

const char* EngineError::what() const noexcept {
    try {
        what_ = mainText();
        const std::string detail = detailText();
        if (!detail.empty()) what_ += (what_.empty() ? "" : ": ") + detail;
        if (what_.empty()) what_ = "engine error " + std::to_string(record_.code);
    } catch (...) {
        return "engine error";
    }
    return what_.c_str();
}

}  // namespace tallory::cd::engine::scsi
