#include "metadata/id3_support.h"

#include <id3/readers.h>
#include <id3/writer.h>

#include <cstring>
#include <new>

#include "metadata/text_codec.h"

namespace tallory::metadata::id3 {

namespace {

char16_t swapped(char16_t unit) { return static_cast<char16_t>((unit << 8) | (unit >> 8)); }

bool isUtf16(ID3_TextEnc encoding) { return encoding == ID3TE_UTF16 || encoding == ID3TE_UTF16BE; }

// The fields of the frame kinds that carry the frame's text encoding.
constexpr ID3_FieldID kEncodableFields[] = {ID3FN_DESCRIPTION, ID3FN_TEXT};

// Appends into a vector and refuses to grow past its limit.
class BoundedWriter final : public ID3_Writer {
public:
    explicit BoundedWriter(size_t limit) : limit_(limit) {}
    void close() override {}
    void flush() override {}
    pos_type getCur() override { return static_cast<pos_type>(bytes_.size()); }
    size_type writeChars(const char_type buf[], size_type len) override {
        const size_t room = limit_ - bytes_.size();
        if (len > room) {
            overflowed_ = true;
            len = static_cast<size_type>(room);
        }
        bytes_.insert(bytes_.end(), buf, buf + len);
        return len;
    }
    size_type writeChars(const char buf[], size_type len) override {
        return writeChars(reinterpret_cast<const char_type*>(buf), len);
    }
    bool overflowed() const { return overflowed_; }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    size_t limit_;
    bool overflowed_ = false;
    std::vector<uint8_t> bytes_;
};

std::string urlLatin1(std::u16string_view text) {
    if (fitsLatin1(text)) return latin1FromUtf16(text);
    // A URL field has no encoding byte: keep other characters as percent-encoded UTF-8.
    std::string out;
    static const char kHex[] = "0123456789ABCDEF";
    const std::string utf8 = utf8FromUtf16(text);
    for (unsigned char c : utf8) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

void storeUtf16(ID3_Field& field, std::u16string_view text) {
    std::u16string units(text);
    for (char16_t& u : units) u = swapped(u);
    // id3lib's unicode_t is a 16-bit unit; the string is NUL-terminated.
    field.Set(reinterpret_cast<const unicode_t*>(units.c_str()));
}

void moveFrameToUtf16(ID3_Frame& frame) {
    for (ID3_FieldID id : kEncodableFields) {
        ID3_Field* field = frame.GetField(id);
        if (field == nullptr || !field->IsEncodable() || isUtf16(field->GetEncoding())) continue;
        const std::u16string current = fieldText(frame, id).value_or(std::u16string());
        field->SetEncoding(ID3TE_UTF16);
        storeUtf16(*field, current);
    }
    if (ID3_Field* encoding = frame.GetField(ID3FN_TEXTENC)) encoding->Set(static_cast<uint32>(ID3TE_UTF16));
}

}  // namespace

void forEachFrame(const ID3_Tag& tag, const std::function<bool(ID3_Frame&)>& fn) {
    // The non-const iterator: frames are handed out for editing.
    ID3_Tag::Iterator* it = const_cast<ID3_Tag&>(tag).CreateIterator();
    if (it == nullptr) return;
    for (ID3_Frame* frame = it->GetNext(); frame != nullptr; frame = it->GetNext()) {
        if (!fn(*frame)) break;
    }
    // The iterator's base class has no virtual destructor; the object behind it has
    // only trivially destructible members, so its storage is freed without one.
    ::operator delete(static_cast<void*>(it));
}

ID3_Frame* firstFrame(const ID3_Tag& tag, ID3_FrameID id) {
    ID3_Frame* found = nullptr;
    forEachFrame(tag, [&](ID3_Frame& frame) {
        if (frame.GetID() != id) return true;
        found = &frame;
        return false;
    });
    return found;
}

bool copyFrame(const ID3_Frame& from, ID3_Frame& to) {
    if (&from == &to) return true;
    const auto bytes = renderFrame(from);
    if (bytes && !bytes->empty()) {
        // Parsed by the header layout it was rendered with (ID3v2.2 frames have 6-byte headers).
        to.SetSpec(from.GetSpec());
        ID3_MemoryReader reader(bytes->data(), bytes->size());
        if (to.Parse(reader) && to.GetID() == from.GetID()) return true;
    }
    to.Clear();
    to.SetID(from.GetID());
    return false;
}

ID3_Frame* cloneFrame(const ID3_Frame& frame) {
    ID3_Frame* copy = new (std::nothrow) ID3_Frame;
    if (copy != nullptr) (void)copyFrame(frame, *copy);
    return copy;
}

std::optional<std::u16string> fieldText(const ID3_Frame& frame, ID3_FieldID id) {
    const ID3_Field* field = frame.GetField(id);
    if (field == nullptr || field->GetType() != ID3FTY_TEXTSTRING) return std::nullopt;
    const size_t bytes = field->Size();
    if (isUtf16(field->GetEncoding())) {
        const unicode_t* raw = field->GetRawUnicodeText();
        std::u16string out;
        if (raw == nullptr) return out;
        // Size() counts bytes here; the first item ends at the first NUL unit.
        for (size_t i = 0; i < bytes / 2 && raw[i] != 0; ++i) out += swapped(static_cast<char16_t>(raw[i]));
        // A byte-order mark that survived parsing is not text.
        if (!out.empty() && out.front() == 0xFEFF) out.erase(0, 1);
        return out;
    }
    const char* raw = field->GetRawText();
    if (raw == nullptr) return std::u16string();
    size_t n = 0;
    while (n < bytes && raw[n] != 0) ++n;
    if (field->GetEncoding() == ID3TE_UTF8) return utf16FromUtf8(std::string_view(raw, n));
    return utf16FromLatin1(std::string_view(raw, n));
}

std::vector<std::u16string> fieldValues(const ID3_Frame& frame, ID3_FieldID id) {
    std::vector<std::u16string> values;
    const ID3_Field* field = frame.GetField(id);
    if (field == nullptr || field->GetType() != ID3FTY_TEXTSTRING) return values;
    const size_t bytes = field->Size();
    std::u16string current;
    auto finish = [&] {
        if (!current.empty() && current.front() == 0xFEFF) current.erase(0, 1);
        values.push_back(std::move(current));
        current.clear();
    };
    if (isUtf16(field->GetEncoding())) {
        const unicode_t* raw = field->GetRawUnicodeText();
        if (raw == nullptr) return values;
        for (size_t i = 0; i < bytes / 2; ++i) {
            if (raw[i] == 0) {
                finish();
            } else {
                current += swapped(static_cast<char16_t>(raw[i]));
            }
        }
    } else {
        const char* raw = field->GetRawText();
        if (raw == nullptr) return values;
        const bool utf8 = field->GetEncoding() == ID3TE_UTF8;
        std::string piece;
        for (size_t i = 0; i < bytes; ++i) {
            if (raw[i] != 0) {
                piece += raw[i];
                continue;
            }
            values.push_back(utf8 ? utf16FromUtf8(piece) : utf16FromLatin1(piece));
            piece.clear();
        }
        if (!piece.empty()) values.push_back(utf8 ? utf16FromUtf8(piece) : utf16FromLatin1(piece));
        return values;
    }
    if (!current.empty()) finish();
    return values;
}

bool setFieldText(ID3_Frame& frame, ID3_FieldID id, std::u16string_view text) {
    ID3_Field* field = frame.GetField(id);
    if (field == nullptr || field->GetType() != ID3FTY_TEXTSTRING) return false;
    if (!field->IsEncodable()) {
        const std::string latin1 = id == ID3FN_URL ? urlLatin1(text) : latin1FromUtf16(text);
        field->Set(latin1.c_str());
        return true;
    }
    ID3_TextEnc encoding = field->GetEncoding();
    if (encoding == ID3TE_ISO8859_1 && !fitsLatin1(text)) {
        moveFrameToUtf16(frame);
        encoding = field->GetEncoding();
    }
    if (isUtf16(encoding)) {
        storeUtf16(*field, text);
    } else if (encoding == ID3TE_UTF8) {
        field->Set(utf8FromUtf16(text).c_str());
    } else {
        field->Set(latin1FromUtf16(text).c_str());
    }
    return true;
}

int frameEncoding(const ID3_Frame& frame) {
    const ID3_Field* field = frame.GetField(ID3FN_TEXTENC);
    return field == nullptr ? -1 : static_cast<int>(field->Get());
}

std::optional<uint32_t> fieldInt(const ID3_Frame& frame, ID3_FieldID id) {
    const ID3_Field* field = frame.GetField(id);
    if (field == nullptr || field->GetType() != ID3FTY_INTEGER) return std::nullopt;
    return field->Get();
}

void setFieldInt(ID3_Frame& frame, ID3_FieldID id, uint32_t value) {
    ID3_Field* field = frame.GetField(id);
    if (field != nullptr && field->GetType() == ID3FTY_INTEGER) field->Set(static_cast<uint32>(value));
}

size_t fieldBinarySize(const ID3_Frame& frame, ID3_FieldID id) {
    const ID3_Field* field = frame.GetField(id);
    if (field == nullptr || field->GetType() != ID3FTY_BINARY) return 0;
    return field->Size();
}

ID3_Frame* frameFromBytes(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 10 || bytes.size() >= (size_t{1} << 28)) return nullptr;
    std::vector<uint8_t> wrapped = {'I', 'D', '3', 3, 0, 0};
    const size_t n = bytes.size();
    for (int shift = 21; shift >= 0; shift -= 7) wrapped.push_back(static_cast<uint8_t>((n >> shift) & 0x7F));
    wrapped.insert(wrapped.end(), bytes.begin(), bytes.end());
    ID3_Tag parsed;
    ID3_MemoryReader reader(wrapped.data(), wrapped.size());
    parsed.Parse(reader);
    ID3_Frame* found = nullptr;
    forEachFrame(parsed, [&](ID3_Frame& frame) {
        found = &frame;
        return false;
    });
    if (found == nullptr) return nullptr;
    // The parsed tag owns its frames; hand one out by taking it from the tag.
    return parsed.RemoveFrame(found);
}

ID3_Frame* newTextFrame(const char* id, const std::vector<std::u16string>& values) {
    if (id == nullptr || std::strlen(id) != 4) return nullptr;
    bool latin1 = true;
    for (const std::u16string& v : values) latin1 = latin1 && fitsLatin1(v);
    std::vector<uint8_t> body{static_cast<uint8_t>(latin1 ? 0 : 1)};
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) body.insert(body.end(), latin1 ? 1 : 2, 0);
        if (latin1) {
            for (char16_t c : values[i]) body.push_back(static_cast<uint8_t>(c));
            continue;
        }
        body.push_back(0xFF);
        body.push_back(0xFE);
        for (char16_t c : values[i]) {
            body.push_back(static_cast<uint8_t>(c & 0xFF));
            body.push_back(static_cast<uint8_t>(c >> 8));
        }
    }
    std::vector<uint8_t> frame(id, id + 4);
    const auto n = static_cast<uint32_t>(body.size());
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(n >> shift));
    frame.push_back(0);
    frame.push_back(0);
    frame.insert(frame.end(), body.begin(), body.end());
    return frameFromBytes(frame);
}

std::string frameIdString(const ID3_Frame& frame) {
    const char* id = frame.GetTextID();
    return id != nullptr && std::strlen(id) == 4 ? std::string(id) : std::string();
}

std::string recordingTime(const ID3_Tag& tag) {
    std::string text;
    forEachFrame(tag, [&](ID3_Frame& frame) {
        if (frameIdString(frame) != "TDRC") return true;
        if (auto value = fieldText(frame, ID3FN_TEXT)) {
            text = utf8FromUtf16(*value);
            return false;
        }
        // A frame id3lib does not know is one binary field: the encoding byte,
        // then the text. A time is ASCII in every ID3v2 encoding, so its
        // characters are the printable bytes (UTF-16's zero bytes and BOM skipped).
        ID3_Field* data = frame.GetField(ID3FN_DATA);
        if (data == nullptr || data->GetType() != ID3FTY_BINARY || data->Size() < 2) return false;
        const uchar* bytes = data->GetRawBinary();
        for (size_t i = 1; i < data->Size(); ++i) {
            if (bytes[i] >= 0x20 && bytes[i] < 0x7F) text.push_back(static_cast<char>(bytes[i]));
        }
        return false;
    });
    return text;
}

std::optional<std::vector<uint8_t>> renderFrame(const ID3_Frame& frame) {
    try {
        BoundedWriter writer(kMaxRenderedBytes);
        frame.Render(writer);
        if (writer.overflowed()) return std::nullopt;
        return std::move(writer.bytes());
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace tallory::metadata::id3
