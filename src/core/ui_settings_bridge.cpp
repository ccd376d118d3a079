#include "core/ui_settings_bridge.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/batch_sounds.h"
#include "core/export_guard.h"
#include "formats/mp3/mp3_target.h"
#include "formats/ogg/ogg_settings.h"
#include "formats/wav/wav_target.h"
#include "formats/wm/wma_target.h"
#include "platform/media/media_writer.h"

namespace tallory::core::ui {

namespace {

namespace acm = platform::acm;
using formats::mp3::Mp3Settings;
using formats::ogg::OggSettings;
using formats::wav::WavSettings;
using formats::wm::WmaSettings;

static_assert(sizeof(TalloryMp3SettingsRecord) == sizeof(Mp3Settings), "the MP3 record mirrors Mp3Settings");
static_assert(sizeof(TalloryOggSettingsRecord) == sizeof(OggSettings), "the Ogg record mirrors OggSettings");
static_assert(sizeof(TalloryWmaSettingsRecord) == sizeof(WmaSettings), "the WMA record mirrors WmaSettings");

bool classOf(IConvTarget* target, const CLSID& expected) {
    CLSID cls{};
    return target != nullptr && target->GetClassId(&cls) && cls == expected;
}

void copyText(const std::string& text, char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return;
    size_t n = std::min(text.size(), static_cast<size_t>(capacity - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// --- Wave ---------------------------------------------------------------

TalloryWaveSettingsRecord toRecord(const WavSettings& s) {
    TalloryWaveSettingsRecord r{};
    r.formatTag = s.formatTag;
    // A stored format too large for the record is one the dialog cannot list
    // either, so it would select "Automatic Detection" all the same.
    if (!s.format.empty() && s.format.size() <= sizeof r.format) {
        r.formatSize = static_cast<uint16_t>(s.format.size());
        std::memcpy(r.format, s.format.data(), s.format.size());
    }
    return r;
}

WavSettings fromRecord(const TalloryWaveSettingsRecord& r) {
    WavSettings s;
    s.formatTag = r.formatTag;
    size_t size = std::min<size_t>(r.formatSize, sizeof r.format);
    if (size >= sizeof(WAVEFORMATEX)) s.format = acm::blobFromBytes(r.format, size);
    return s;
}

bool storeWave(const void* record) {
    return guardExport("storeDefault", false, [&] {
        return fromRecord(*static_cast<const TalloryWaveSettingsRecord*>(record)).storeDefaults();
    });
}

// --- MP3, Ogg Vorbis, Windows Media --------------------------------------

template <class Record, class Settings>
Record toPlain(const Settings& s) {
    Record r;
    std::memcpy(&r, &s, sizeof r);
    return r;
}

template <class Settings, class Record>
Settings fromPlain(const Record& r) {
    Settings s;
    std::memcpy(static_cast<void*>(&s), &r, sizeof s);
    return s;
}

bool storeMp3(const void* record) {
    return guardExport("storeDefault", false, [&] {
        return formats::mp3::storeDefaultSettings(
            fromPlain<Mp3Settings>(*static_cast<const TalloryMp3SettingsRecord*>(record)));
    });
}

bool storeWma(const void* record) {
    return guardExport("storeDefault", false, [&] {
        return formats::wm::saveWmaSettings(
            fromPlain<WmaSettings>(*static_cast<const TalloryWmaSettingsRecord*>(record)));
    });
}

// Only constant bitrate exists here: the encoder has no VBR passes.
int wmaCodecCount() {
    return guardExport("wmaCodecCount", 0, [] { return platform::media::wmaCodecCount(); });
}

bool wmaCodecName(int codec, char* buffer, int capacity) {
    return guardExport("wmaCodecName", false, [&] {
        std::string name = platform::media::wmaCodecName(codec);
        if (name.empty()) return false;
        copyText(name, buffer, capacity);
        return true;
    });
}

int wmaFormatCount(int codec, int mode) {
    return guardExport("wmaFormatCount", 0, [&] {
        return mode == 0 ? static_cast<int>(platform::media::wmaCodecFormats(codec).size()) : 0;
    });
}

bool wmaFormatText(int codec, int mode, int index, char* buffer, int capacity) {
    return guardExport("wmaFormatText", false, [&] {
        const auto& list = platform::media::wmaCodecFormats(codec);
        if (mode != 0 || index < 0 || static_cast<size_t>(index) >= list.size()) return false;
        copyText(list[static_cast<size_t>(index)].description, buffer, capacity);
        return true;
    });
}

TalloryFormatDialogContext baseContext(bool defaultMode, void* record) {
    TalloryFormatDialogContext c{};
    c.size = sizeof c;
    c.defaultMode = defaultMode;
    c.settings = record;
    return c;
}

// Every target of the list that is of the edited class gets the result.
template <class Apply>
void applyToAll(const TalloryTargetDialogContext& t, const CLSID& cls, Apply apply) {
    if (classOf(t.target, cls)) apply(t.target);
    for (IConvTarget** other = t.others; other != nullptr && *other != nullptr; ++other) {
        if (*other != t.target && classOf(*other, cls)) apply(*other);
    }
}

}  // namespace

bool showFormatDialog(const TalloryUiHooks& hooks, int kind, HWND parent, TalloryTargetDialogContext* t) {
    if (hooks.showDialog == nullptr || t == nullptr) return false;
    const bool def = t->defaultMode;
    if (!def && t->target == nullptr) return false;
    switch (kind) {
        case TALLORY_DIALOG_WAVE_SETTINGS: {
            if (!def && !classOf(t->target, CLSID_WavTarget)) return false;
            auto* target = def ? nullptr : static_cast<formats::wav::WavTarget*>(t->target);
            TalloryWaveSettingsRecord r = toRecord(def ? WavSettings::loadDefaults() : target->settings());
            TalloryFormatDialogContext c = baseContext(def, &r);
            c.storeDefault = storeWave;
            if (!hooks.showDialog(kind, parent, &c)) return false;
            if (!def) {
                applyToAll(*t, CLSID_WavTarget, [&](IConvTarget* x) {
                    static_cast<formats::wav::WavTarget*>(x)->setSettings(fromRecord(r));
                });
            }
            return true;
        }
        case TALLORY_DIALOG_MP3_SETTINGS: {
            if (!def && !classOf(t->target, CLSID_Mp3Target)) return false;
            auto* target = def ? nullptr : static_cast<formats::mp3::Mp3Target*>(t->target);
            auto r = toPlain<TalloryMp3SettingsRecord>(def ? formats::mp3::loadDefaultSettings() : target->settings());
            TalloryFormatDialogContext c = baseContext(def, &r);
            c.storeDefault = storeMp3;
            if (!hooks.showDialog(kind, parent, &c)) return false;
            if (!def) {
                applyToAll(*t, CLSID_Mp3Target, [&](IConvTarget* x) {
                    static_cast<formats::mp3::Mp3Target*>(x)->setSettings(fromPlain<Mp3Settings>(r));
                });
            }
            return true;
        }
        case TALLORY_DIALOG_WMA_SETTINGS: {
            if (!def && !classOf(t->target, CLSID_WmaTarget)) return false;
            auto* target = def ? nullptr : static_cast<formats::wm::WmaTarget*>(t->target);
            auto r = toPlain<TalloryWmaSettingsRecord>(def ? formats::wm::loadWmaSettings() : target->settings());
            TalloryFormatDialogContext c = baseContext(def, &r);
            c.storeDefault = storeWma;
            c.wmaCodecCount = wmaCodecCount;
            c.wmaCodecName = wmaCodecName;
            c.wmaFormatCount = wmaFormatCount;
            c.wmaFormatText = wmaFormatText;
            if (!hooks.showDialog(kind, parent, &c)) return false;
            if (!def) {
                applyToAll(*t, CLSID_WmaTarget, [&](IConvTarget* x) {
                    static_cast<formats::wm::WmaTarget*>(x)->setSettings(fromPlain<WmaSettings>(r));
                });
            }
            return true;
        }
        case TALLORY_DIALOG_OGG_SETTINGS: {
            // Ogg Vorbis settings are built-in defaults, never stored.
            OggSettings s;
            IOggSettings* access = nullptr;
            if (!def) {
                if (FAILED(t->target->QueryInterface(IID_IOggSettings, reinterpret_cast<void**>(&access))) ||
                    access == nullptr) {
                    return false;
                }
                access->GetSettings(&s);
                access->Release();
            }
            auto r = toPlain<TalloryOggSettingsRecord>(s);
            TalloryFormatDialogContext c = baseContext(def, &r);
            if (!hooks.showDialog(kind, parent, &c)) return false;
            if (!def) {
                const OggSettings chosen = fromPlain<OggSettings>(r);
                applyToAll(*t, CLSID_OggTarget, [&](IConvTarget* x) {
                    IOggSettings* o = nullptr;
                    if (SUCCEEDED(x->QueryInterface(IID_IOggSettings, reinterpret_cast<void**>(&o))) && o != nullptr) {
                        o->PutSettings(&chosen);
                        o->Release();
                    }
                });
            }
            return true;
        }
        default:
            return false;
    }
}

bool isFormatDialog(int kind) {
    return kind == TALLORY_DIALOG_WAVE_SETTINGS || kind == TALLORY_DIALOG_MP3_SETTINGS ||
           kind == TALLORY_DIALOG_WMA_SETTINGS || kind == TALLORY_DIALOG_OGG_SETTINGS;
}

}  // namespace tallory::core::ui

extern "C" TALLORY_API bool TalloryPlayNamedSound(const char* name) noexcept {
    return tallory::core::guardExport("TalloryPlayNamedSound", false, [&] {
        return name != nullptr && tallory::core::playNamedSound(name);
    });
}
