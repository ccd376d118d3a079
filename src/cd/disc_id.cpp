#include "cd/disc_id.h"

namespace tallory::cd {

namespace {

int digitSum(int32_t v) {
    int s = 0;
    for (; v > 0; v /= 10) s += v % 10;
    return s;
}

constexpr uint32_t kSkipSamples = 5 * 588;  // five sectors at a track's outer edge

}  // namespace

uint32_t freedbDiscId(const std::vector<TocTrack>& tracks, int32_t leadOut) {
    if (tracks.empty()) return 0;
    int sum = 0;
    for (const TocTrack& t : tracks) sum += digitSum((t.lba + 150) / 75);
    const int32_t seconds = (leadOut + 150) / 75 - (tracks.front().lba + 150) / 75;
    return (uint32_t(sum % 255) << 24) | (uint32_t(seconds & 0xFFFF) << 8) | uint32_t(tracks.size() & 0xFF);
}

uint32_t packedMsf(uint32_t sectors) {
    return ((sectors / 4500) << 16) | (((sectors / 75) % 60) << 8) | (sectors % 75);
}

uint32_t discSerial(const std::vector<TocTrack>& tracks) {
    uint32_t s = 0;
    for (const TocTrack& t : tracks)
        if (t.audio) s += packedMsf(uint32_t(t.lba + 150));
    return s;
}

AccurateRipIds accurateRipIds(const std::vector<TocTrack>& tracks, int32_t leadOut) {
    AccurateRipIds ids;
    ids.freedb = freedbDiscId(tracks, leadOut);
    int n = 0;
    for (const TocTrack& t : tracks) {
        if (!t.audio) continue;
        ++n;
        ids.id1 += uint32_t(t.lba);
        ids.id2 += uint32_t(t.lba > 0 ? t.lba : 1) * uint32_t(n);
    }
    ids.id1 += uint32_t(leadOut);
    ids.id2 += uint32_t(leadOut) * uint32_t(n + 1);
    ids.audioTracks = n;
    return ids;
}

AccurateRipChecksum::AccurateRipChecksum(uint32_t totalSamples, bool firstTrack, bool lastTrack)
    : from_(firstTrack ? kSkipSamples : 0),
      to_(lastTrack ? (totalSamples > kSkipSamples ? totalSamples - kSkipSamples : 0) : totalSamples) {}

void AccurateRipChecksum::add(const uint8_t* pcm, std::size_t bytes) {
    auto one = [&](const uint8_t* p) {
        const uint32_t sample = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        const uint32_t multiplier = ++position_;  // 1-based
        if (multiplier >= from_ && multiplier <= to_) {
            v1_ += multiplier * sample;
            const uint64_t product = uint64_t(multiplier) * sample;
            v2_ += uint32_t(product >> 32) + uint32_t(product);
        }
    };
    std::size_t i = 0;
    while (partialBytes_ > 0 && i < bytes) {
        partial_[partialBytes_++ & 3] = pcm[i++];  // the mask keeps g++ sure of the bound
        if (partialBytes_ == 4) {
            one(partial_);
            partialBytes_ = 0;
        }
    }
    for (; i + 4 <= bytes; i += 4) one(pcm + i);
    for (; i < bytes; ++i) partial_[partialBytes_++ & 3] = pcm[i];
}

}  // namespace tallory::cd
