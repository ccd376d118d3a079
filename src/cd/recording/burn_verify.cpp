#include "cd/recording/burn_verify.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cd/engine/scsi/audio_reader.h"
#include "core/report.h"
#include "platform/files/temp_file.h"

namespace tallory::cd::recording {

namespace es = engine::scsi;

namespace {

constexpr uint32_t kSectorBytes = 2352;
constexpr uint32_t kSampleBytes = 4;
constexpr uint32_t kSamplesPerSector = kSectorBytes / kSampleBytes;
// Sectors read per call of the reader: large enough to keep the drive busy.
constexpr int32_t kReadChunkSectors = 75 * 10;

std::string msf(uint32_t sectors) {
    char t[24];
    std::snprintf(t, sizeof t, "%02u:%02u.%02u", sectors / 4500, sectors / 75 % 60, sectors % 75);
    return t;
}

}  // namespace

void RangeCollector::add(uint32_t sample) {
    if (open_ && sample <= current_.lastSample + kRangeJoinSamples) {
        current_.lastSample = std::max(current_.lastSample, sample);
        return;
    }
    if (open_) ranges_.push_back(current_);
    open_ = true;
    current_ = DifferingRange{track_, sample, sample, 0, 0};
}

void RangeCollector::compare(uint32_t at, const uint8_t* expected, const uint8_t* actual, uint32_t count) {
    // Whole blocks first: most of a good disc is equal, and memcmp is fast.
    constexpr uint32_t kBlock = kSamplesPerSector;
    for (uint32_t i = 0; i < count; i += kBlock) {
        const uint32_t n = std::min(kBlock, count - i);
        if (std::memcmp(expected + size_t(i) * kSampleBytes, actual + size_t(i) * kSampleBytes,
                        size_t(n) * kSampleBytes) == 0)
            continue;
        for (uint32_t j = i; j < i + n; ++j)
            if (std::memcmp(expected + size_t(j) * kSampleBytes, actual + size_t(j) * kSampleBytes, kSampleBytes) != 0)
                add(at + j);
    }
}

void RangeCollector::markDiffering(uint32_t first, uint32_t last) {
    if (last < first) return;
    add(first);
    current_.lastSample = std::max(current_.lastSample, last);
}

std::vector<DifferingRange> RangeCollector::finish() {
    if (open_) ranges_.push_back(current_);
    open_ = false;
    for (DifferingRange& r : ranges_) {
        r.firstSector = start_ + int32_t(r.firstSample / kSamplesPerSector);
        r.lastSector = start_ + int32_t(r.lastSample / kSamplesPerSector);
    }
    return std::move(ranges_);
}

bool verifyBurnedDisc(es::Device& reader, int readOffset, const std::vector<engine::TrackListEntry>& tracks,
                      IConvProgress* progress, const std::atomic<bool>* stop, RecordOutcome& outcome,
                      std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    uint8_t raw[804];
    uint32_t length = 0;
    reader.readToc(raw, sizeof raw, &length);
    std::vector<es::TocEntry> toc;
    int first = 0, last = 0;
    std::string reason;
    if (!es::parseToc({raw, length}, toc, &first, &last, &reason))
        return fail("the burned disc's table of contents cannot be used: " + reason);
    if (toc.size() != tracks.size() + 1)
        return fail("the burned disc has " + std::to_string(toc.size() - 1) + " tracks; " +
                    std::to_string(tracks.size()) + " were written");
    const int32_t leadOut = toc.back().lba;

    uint64_t totalSectors = uint64_t(leadOut - toc.front().lba);
    progress->SetAction("Verifying:");
    progress->SetPos(0);
    progress->SetRange(uint32_t(totalSectors));

    std::vector<uint8_t> expected(size_t(kReadChunkSectors) * kSectorBytes);
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const int number = int(i) + 1;
        const int32_t start = toc[i].lba;
        const int32_t sectors = toc[i + 1].lba - start;
        char item[32];
        std::snprintf(item, sizeof item, "Track %d", number);
        progress->SetItem(item, 0);

        platform::UniqueFile file(std::fopen(tracks[i].path.c_str(), "rb"));
        if (!file) return fail("cannot open the converted track " + tracks[i].path + " for comparison");
        struct stat st{};
        const uint64_t sourceBytes = ::fstat(fileno(file.get()), &st) == 0 ? uint64_t(st.st_size) : 0;
        const uint64_t sourceSamples = sourceBytes / kSampleBytes;
        const uint64_t discSamples = uint64_t(sectors) * kSamplesPerSector;

        RangeCollector ranges(number, start);
        // The disc holds the source padded with silence to a whole sector;
        // a length that differs beyond that is a difference too.
        const uint64_t paddedSectors = (sourceBytes + kSectorBytes - 1) / kSectorBytes;
        if (uint64_t(sectors) < paddedSectors)
            ranges.markDiffering(uint32_t(discSamples), uint32_t(sourceSamples - 1));

        uint32_t sample = 0;
        es::AudioReadOptions o;
        o.errorMode = 1;  // an unreadable sector becomes silence: it shows as a difference, not an end
        o.readOffset = readOffset;
        o.discEnd = leadOut;
        o.stop = stop;
        o.deliver = [&](const uint8_t* data, uint32_t count) {
            const uint32_t samples = count * kSamplesPerSector;
            const size_t bytes = size_t(samples) * kSampleBytes;
            if (expected.size() < bytes) expected.resize(bytes);
            const size_t got = std::fread(expected.data(), 1, bytes, file.get());
            std::fill(expected.begin() + std::ptrdiff_t(got), expected.begin() + std::ptrdiff_t(bytes), 0);
            ranges.compare(sample, expected.data(), data, samples);
            sample += samples;
            progress->Advance(count);
            return progress->IsCancelled() == 0;
        };
        for (int32_t at = 0; at < sectors; at += kReadChunkSectors) {
            const int32_t n = std::min(kReadChunkSectors, sectors - at);
            const es::AudioReadReport r = es::readAudioSectors(reader, start + at, n, o);
            for (int32_t s : r.silencedSectors)
                core::report(progress, "e", "Track %d: sector %d could not be read back", number, s);
        }
        outcome.samplesCompared += discSamples;
        ++outcome.tracksCompared;
        for (const DifferingRange& d : ranges.finish()) {
            core::report(progress, "e", "Track %d differs from its source at samples %u to %u (%s to %s, sectors %d to %d)",
                         d.track, d.firstSample, d.lastSample, msf(d.firstSample / kSamplesPerSector).c_str(),
                         msf(d.lastSample / kSamplesPerSector).c_str(), d.firstSector, d.lastSector);
            outcome.differences.push_back(d);
        }
    }
    outcome.verified = true;
    return true;
}

}  // namespace tallory::cd::recording
