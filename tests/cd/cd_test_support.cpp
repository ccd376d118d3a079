#include "cd_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace cdtest {

using namespace tallory::platform::scsi;

std::string makeTempFolder(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/tallory-" + tag + "-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return templ;
}

Image makeImage(const std::vector<TrackSpec>& tracks, uint32_t seed, const std::string& tag) {
    Image img;
    img.folder = makeTempFolder(tag);
    img.removal = std::shared_ptr<void>(nullptr, [folder = img.folder](void*) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    img.binPath = img.folder + "/" + tag + ".bin";
    img.cuePath = img.folder + "/" + tag + ".cue";
    std::mt19937 rng(seed);
    std::string cue = "FILE \"" + tag + ".bin\" BINARY\n";
    int number = 1;
    int session = 1;
    for (const TrackSpec& t : tracks) {
        if (t.session != session) {
            session = t.session;
            cue += "REM SESSION " + std::string(session < 10 ? "0" : "") + std::to_string(session) + "\n";
        }
        const int64_t trackStartByte = int64_t(img.bin.size());
        const int32_t total = t.pregapSectors + t.sectors;
        char line[128];
        std::snprintf(line, sizeof line, "  TRACK %02d %s\n", number, t.data ? "MODE1/2352" : "AUDIO");
        cue += line;
        auto msf = [](int64_t frames) {
            char b[16];
            std::snprintf(b, sizeof b, "%02d:%02d:%02d", int(frames / 4500), int(frames / 75 % 60), int(frames % 75));
            return std::string(b);
        };
        const int64_t frameOfTrack = trackStartByte / 2352;
        if (t.pregapSectors > 0) cue += "    INDEX 00 " + msf(frameOfTrack) + "\n";
        cue += "    INDEX 01 " + msf(frameOfTrack + t.pregapSectors) + "\n";
        img.bin.resize(img.bin.size() + std::size_t(total) * 2352);
        uint8_t* p = img.bin.data() + trackStartByte;
        for (int32_t s = 0; s < total; ++s) {
            uint8_t* sec = p + std::size_t(s) * 2352;
            if (t.data) {
                sec[0] = 0;
                for (int i = 1; i < 11; ++i) sec[i] = 0xFF;
                sec[11] = 0;
                sec[15] = 1;
                for (int i = 16; i < 2352; ++i) sec[i] = uint8_t(rng());
            } else if (s - t.pregapSectors < t.silentSectors && s >= t.pregapSectors) {
                // digital silence
            } else {
                for (int i = 0; i < 2352; ++i) sec[i] = uint8_t(rng());
            }
        }
        img.trackOffset.push_back(trackStartByte + int64_t(t.pregapSectors) * 2352);
        img.trackSectors.push_back(t.sectors);
        ++number;
    }
    std::ofstream(img.binPath, std::ios::binary).write(reinterpret_cast<const char*>(img.bin.data()),
                                                       std::streamsize(img.bin.size()));
    std::ofstream(img.cuePath) << cue;
    return img;
}

ScsiResult run(ScsiTransport& t, std::vector<uint8_t> cdb, std::vector<uint8_t>* data, DataDirection dir) {
    ScsiCommand c;
    c.cdb = cdb;
    if (data != nullptr && !data->empty()) {
        c.direction = dir;
        c.data = data->data();
        c.dataLength = uint32_t(data->size());
    }
    return t.execute(c);
}

SenseInfo senseOf(const ScsiResult& r) { return parseSense(r.senseBytes()); }

void clearAttention(ScsiTransport& t) {
    for (int i = 0; i < 4; ++i)
        if (run(t, {0x00, 0, 0, 0, 0, 0}).good()) return;
}

}  // namespace cdtest
