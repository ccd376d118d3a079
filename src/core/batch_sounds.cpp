#include "core/batch_sounds.h"

#include <cstring>

#include "core/settings_store.h"
#include "platform/audioout/sound_player.h"
#include "platform/files/file_system.h"
#include "tallory/formats.h"

namespace tallory::core {

namespace {

class CollectingSink final : public IConvSink {
public:
    explicit CollectingSink(std::vector<uint8_t>& pcm) : pcm_(pcm) {}
    bool Write(const void* data, uint32_t byteCount) override {
        size_t room = kMaxSoundBytes - pcm_.size();
        size_t n = byteCount < room ? byteCount : room;
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        pcm_.insert(pcm_.end(), bytes, bytes + n);
        return pcm_.size() < kMaxSoundBytes;
    }

private:
    std::vector<uint8_t>& pcm_;
};

}  // namespace

bool decodeSound(const std::string& path, WAVEFORMATEX& format, std::vector<uint8_t>& pcm) {
    FormatInfo info;
    if (FAILED(ConvGetFormatOf(&info, path.c_str())) || info.sourceClass == nullptr) return false;
    IConvSource* source = nullptr;
    if (FAILED(ConvCreateObject(*info.sourceClass, &IID_IConvSource, reinterpret_cast<void**>(&source))) ||
        source == nullptr) {
        return false;
    }
    bool ok = source->SetPath(path.c_str()) && source->Open();
    if (ok) {
        ok = source->GetFormat(&format);
        CollectingSink sink(pcm);
        // A sound cut at the size limit still plays.
        if (ok && !source->Run(&sink) && pcm.size() < kMaxSoundBytes) ok = false;
        source->Close();
    }
    source->Release();
    return ok && !pcm.empty();
}

bool playNamedSound(const char* name) {
    std::string path = settings::readString("Sounds", name, "");
    if (path.empty() || !platform::pathExists(path)) return false;
    WAVEFORMATEX format{};
    std::vector<uint8_t> pcm;
    if (!decodeSound(path, format, pcm)) return false;
    return platform::playSound(format, std::move(pcm));
}

void stopSounds() { platform::stopSound(); }

void waitForSounds() { platform::waitForSound(); }

}  // namespace tallory::core
