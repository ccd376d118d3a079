#include "cd/engine/scsi/audio_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>

namespace tallory::cd::engine::scsi {

namespace {

constexpr uint32_t kSector = 2352;
// Transfers in a row that deliver no whole sector before the read gives up.
constexpr int kMaxStalledTransfers = 8;

std::string sectorText(const char* fmt, long a, long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

void noteLine(const AudioReadOptions& o, const std::string& line) {
    if (o.note) o.note(line);
}

// One transfer with the engine's error handling. Short transfers are
// retried. In error mode an unreadable sector ends the transfer: the sectors
// before it are read again as one command (one drive position for all of
// them) and the sector, after kSectorAttempts, joins `silenced`. Returns the
// sectors of `out` that hold data; anything else raises -106.
uint32_t transfer(Device& dev, int32_t lba, uint32_t n, uint8_t* out, const AudioReadOptions& o, AudioReadReport& rep,
                  std::set<int32_t>& silenced) {
    uint32_t detail[6] = {};
    auto attempt = [&](int32_t at, uint32_t count, uint8_t* to) {
        int32_t code = 0;
        for (int i = 0;; ++i) {
            code = dev.readAudio(at, count, to, detail);
            if (code != kErrOverrun || i >= kMaxShortReadRetries) break;
            ++rep.shortReadRetries;
        }
        ++rep.transfers;
        if (code == kErrBufferTooBig) throw EngineError(kErrBufferTooBig);
        return code;
    };
    auto raise = [&](int32_t code, int32_t first, int32_t lastSector) {
        const auto& r = dev.record();
        throw EngineError(kErrReadAudio, {uint32_t(first), uint32_t(lastSector), r.hostAdapter, r.target, r.lun})
            .withDetail(code, detail, 6);
    };
    const auto senseLba = [&] { return int64_t(-1); };
    (void)senseLba;
    int32_t code = attempt(lba, n, out);
    if (code == 0) return n;
    if ((code != kErrMedium && code != kErrBlank) || o.errorMode == 0) raise(code, lba, lba + int32_t(n) - 1);
    // Find the first sector that does not read.
    int32_t bad = -1;
    std::vector<uint8_t> one(kSector);
    for (uint32_t i = 0; i < n && bad < 0; ++i) {
        const int32_t c = attempt(lba + int32_t(i), 1, one.data());
        if (c == kErrMedium || c == kErrBlank) bad = lba + int32_t(i);
        else if (c != 0) raise(c, lba + int32_t(i), lba + int32_t(i));
    }
    if (bad < 0) {
        // Every sector reads alone: read the whole range once more.
        code = attempt(lba, n, out);
        if (code != 0) raise(code, lba, lba + int32_t(n) - 1);
        return n;
    }
    bool readable = false;
    for (int i = 1; i < kSectorAttempts && !readable; ++i) readable = attempt(bad, 1, one.data()) == 0;
    if (!readable && silenced.insert(bad).second) {
        rep.silencedSectors.push_back(bad);
        noteLine(o, sectorText("Sector %ld could not be read and was replaced by silence", bad));
    }
    const uint32_t before = uint32_t(bad - lba);
    if (before == 0) return 0;
    code = attempt(lba, before, out);
    if (code != 0) raise(code, lba, bad - 1);
    return before;
}

// All positions p in `data` where the saved sectors end at p + 2352, searched
// from the expected position earlier then later as the window allows.
std::vector<uint32_t> findMatches(const uint8_t* data, uint32_t n, uint32_t overlap, const std::vector<uint8_t>& saved,
                                  std::size_t limit) {
    std::vector<uint32_t> hits;
    const uint8_t* last = saved.data() + saved.size() - kSector;
    const uint32_t expected = (overlap - 1) * kSector;
    const uint32_t laterPositions = std::min<uint32_t>(overlap, n > overlap + 1 ? n - overlap - 1 : 0) * 588;
    auto test = [&](uint32_t p) {
        if (p + kSector > n * kSector) return;
        if (std::memcmp(data + p, last, kSector) != 0) return;
        // The bytes before the match must be the sectors saved before the last.
        const std::size_t before = std::min<std::size_t>(p, saved.size() - kSector);
        if (before > 0 && std::memcmp(data + p - before, last - before, before) != 0) return;
        hits.push_back(p);
    };
    for (uint32_t p = expected;; p -= 4) {
        test(p);
        if (hits.size() >= limit || p < 4) break;
    }
    for (uint32_t i = 1; i <= laterPositions && hits.size() < limit; ++i) test(expected + 4 * i);
    return hits;
}

bool allZero(const uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// The plain read of whole sectors with jitter correction.
void readPlain(Device& dev, int32_t start, int32_t count, const AudioReadOptions& o, AudioReadReport& rep,
               const std::function<void(const uint8_t*, uint32_t)>& sink) {
    const uint32_t perTransfer = dev.transferSize() / kSector;
    const bool jitter = jitterCorrectionOn(dev, o.jitterSetting);
    if (perTransfer == 0 || (jitter && perTransfer < kJitterOverlapSectors + 1)) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "Transfer size of %u bytes holds %u sectors; reading audio with jitter correction needs %d",
                      dev.transferSize(), perTransfer, kJitterOverlapSectors + 1);
        throw EngineError(kErrText, {}, text);
    }
    std::vector<uint8_t> buf(std::size_t(perTransfer) * kSector);
    std::vector<uint8_t> again(buf.size());
    std::vector<uint8_t> saved;  // the last delivered sectors, up to the overlap
    std::set<int32_t> silenced;  // sectors given up in error mode
    const int32_t last = start + count - 1;
    int32_t current = start;
    int stalled = 0;
    bool inSilence = false;  // noted once per silent stretch
    while (current <= last) {
        const uint32_t overlap = jitter ? uint32_t(saved.size() / kSector) : 0;
        const uint32_t wanted = uint32_t(std::min<int64_t>(perTransfer, int64_t(last) + overlap - current + 1));
        if (silenced.count(current) != 0) {
            // A sector given up: silence, and the overlap starts over after it.
            std::fill(again.begin(), again.begin() + kSector, uint8_t(0));
            sink(again.data(), 1);
            saved.clear();
            ++current;
            continue;
        }
        const int32_t from = current - int32_t(overlap);
        uint32_t n = transfer(dev, from, wanted, buf.data(), o, rep, silenced);
        if (n <= overlap) {
            if (silenced.count(current) == 0 && ++stalled > kMaxStalledTransfers) throw EngineError(kErrJitter);
            continue;
        }
        const uint8_t* deliverFrom = buf.data();
        uint32_t sectors = n;
        if (jitter && overlap == 0) {
            // The first transfer has nothing to match against: take it when a
            // second read agrees, so a drive off position here shows.
            std::vector<std::vector<uint8_t>> reads;
            reads.emplace_back(buf.begin(), buf.begin() + std::ptrdiff_t(n) * kSector);
            bool agreed = false;
            for (int attempt = 0; attempt < kMaxAnchorReads && !agreed; ++attempt) {
                const uint32_t m = transfer(dev, from, n, again.data(), o, rep, silenced);
                if (m != n) continue;
                for (const auto& r : reads)
                    if (std::memcmp(r.data(), again.data(), r.size()) == 0) agreed = true;
                if (agreed) {
                    std::memcpy(buf.data(), again.data(), std::size_t(n) * kSector);
                } else {
                    ++rep.jitterRereads;
                    reads.emplace_back(again.begin(), again.begin() + std::ptrdiff_t(n) * kSector);
                }
            }
            if (!agreed)
                noteLine(o, sectorText("Jitter correction: sectors %ld to %ld never read the same twice", from,
                                       from + long(n) - 1));
        } else if (jitter) {
            std::vector<uint32_t> hits;
            int rereads = 0;
            for (;;) {
                hits = findMatches(buf.data(), n, overlap, saved, 2);
                // Over silence no re-read can tell the position: take the nearest at once.
                if (hits.size() == 1 || allZero(saved.data(), saved.size())) break;
                if (rereads >= kMaxJitterRereads) break;
                ++rereads;
                ++rep.jitterRereads;
                n = transfer(dev, from, n, buf.data(), o, rep, silenced);
                if (n <= overlap) break;
            }
            if (n <= overlap) {
                if (silenced.count(current) == 0 && ++stalled > kMaxStalledTransfers) throw EngineError(kErrJitter);
                continue;
            }
            if (hits.empty()) throw EngineError(kErrJitter);
            uint32_t match = hits.front();
            if (hits.size() > 1 || allZero(saved.data(), saved.size())) {
                // Silence (or a repeating pattern) around the overlap: no
                // position can be told; take the expected one if it matches.
                const auto all = findMatches(buf.data(), n, overlap, saved, SIZE_MAX);
                const uint32_t expected = (overlap - 1) * kSector;
                match = *std::min_element(all.begin(), all.end(), [&](uint32_t a, uint32_t b) {
                    return std::abs(int64_t(a) - expected) < std::abs(int64_t(b) - expected);
                });
                if (!inSilence)
                    noteLine(o, rereads > 0 ? sectorText("Jitter correction: %ld re-reads at sector %ld found no unique "
                                                         "match; the nearest was taken",
                                                         rereads, current)
                                            : sectorText("Jitter correction: silence from about sector %ld on; positions "
                                                         "there cannot be checked",
                                                         current));
                inSilence = true;
            } else {
                inSilence = false;
            }
            if (match != (overlap - 1) * kSector) ++rep.matchesOffPosition;
            const uint32_t begin = match + kSector;
            deliverFrom = buf.data() + begin;
            sectors = (n * kSector - begin) / kSector;
        }
        sectors = uint32_t(std::min<int64_t>(sectors, int64_t(last) - current + 1));
        if (sectors == 0) {
            if (++stalled > kMaxStalledTransfers) throw EngineError(kErrJitter);
            continue;
        }
        stalled = 0;
        sink(deliverFrom, sectors);
        if (jitter) {
            const uint32_t keep = std::min<uint32_t>(kJitterOverlapSectors, sectors);
            if (keep < kJitterOverlapSectors && !saved.empty()) {
                // Keep the older saved sectors in front of the new ones.
                std::vector<uint8_t> merged(saved.end() - std::min<std::size_t>(saved.size(), (kJitterOverlapSectors - keep) * kSector), saved.end());
                merged.insert(merged.end(), deliverFrom + (sectors - keep) * kSector, deliverFrom + sectors * kSector);
                saved.swap(merged);
            } else {
                saved.assign(deliverFrom + (sectors - keep) * kSector, deliverFrom + sectors * kSector);
            }
            // The overlap can never reach before the read's own start.
            while (saved.size() / kSector > uint32_t(current + int32_t(sectors) - start)) saved.erase(saved.begin(), saved.begin() + kSector);
        }
        current += int32_t(sectors);
    }
}

// Sectors start..start+count-1 shifted by the read offset: the bytes come
// from the neighbouring sectors, silence past the disc's edges.
void readShifted(Device& dev, int32_t start, int32_t count, const AudioReadOptions& o, AudioReadReport& rep,
                 const std::function<void(const uint8_t*, uint32_t)>& sink) {
    if (o.readOffset == 0) return readPlain(dev, start, count, o, rep, sink);
    const int64_t total = int64_t(count) * kSector;
    const int64_t firstByte = int64_t(start) * kSector + int64_t(o.readOffset) * 4;
    const int64_t endByte = firstByte + total;
    const int64_t discEndSector = o.discEnd > 0 ? o.discEnd : INT32_MAX;
    std::vector<uint8_t> carry;
    int64_t taken = 0;  // output bytes produced so far
    auto push = [&](const uint8_t* p, std::size_t n) {
        if (p == nullptr) carry.insert(carry.end(), n, uint8_t(0));
        else carry.insert(carry.end(), p, p + n);
        taken += int64_t(n);
        const std::size_t whole = carry.size() / kSector;
        if (whole > 0) {
            sink(carry.data(), uint32_t(whole));
            carry.erase(carry.begin(), carry.begin() + std::ptrdiff_t(whole * kSector));
        }
    };
    // Silence before the disc's first sample.
    if (firstByte < 0) push(nullptr, std::size_t(std::min<int64_t>(-firstByte, total)));
    const int64_t readFirst = std::max<int64_t>(firstByte, 0) / kSector;
    const int64_t readLast = std::min<int64_t>((endByte + kSector - 1) / kSector - 1, discEndSector - 1);
    if (taken < total && readFirst <= readLast) {
        int64_t skip = firstByte + taken - readFirst * kSector;
        readPlain(dev, int32_t(readFirst), int32_t(readLast - readFirst + 1), o, rep,
                  [&](const uint8_t* data, uint32_t sectors) {
                      const int64_t bytes = int64_t(sectors) * kSector;
                      const int64_t from = std::min(skip, bytes);
                      skip -= from;
                      const int64_t take = std::min(bytes - from, total - taken);
                      if (take > 0) push(data + from, std::size_t(take));
                  });
    }
    // Silence past the disc's last sample.
    if (taken < total) push(nullptr, std::size_t(total - taken));
}

}  // namespace

bool jitterCorrectionOn(const Device& device, int jitterSetting) {
    if (jitterSetting == 0) return (device.record().featureFlags & kFeatureJitterCorrection) != 0;
    return jitterSetting == 2;
}

AudioReadReport readAudioSectors(Device& dev, int32_t start, int32_t count, const AudioReadOptions& o) {
    AudioReadReport rep;
    if (count <= 0) return rep;
    auto deliver = [&](const uint8_t* data, uint32_t sectors) {
        if (o.deliver && !o.deliver(data, sectors)) throw EngineError(kErrUserAborted);
        if (o.stop != nullptr && o.stop->load(std::memory_order_acquire)) throw EngineError(kErrUserAborted);
    };
    if (!o.secure) {
        readShifted(dev, start, count, o, rep, deliver);
        return rep;
    }
    // Secure: ranges read twice (test and copy), re-read until two agree.
    const int32_t chunk = int32_t(std::max<uint32_t>(dev.transferSize() / kSector, 1)) * 8;
    rep.secureVerified = true;
    std::vector<std::vector<uint8_t>> reads;
    for (int32_t at = start; at < start + count; at += chunk) {
        const int32_t n = std::min(chunk, start + count - at);
        reads.clear();
        std::size_t agreed = SIZE_MAX;
        for (int attempt = 0; attempt < 2 + kMaxSecureRereads && agreed == SIZE_MAX; ++attempt) {
            std::vector<uint8_t> bytes;
            bytes.reserve(std::size_t(n) * kSector);
            readShifted(dev, at, n, o, rep, [&](const uint8_t* data, uint32_t sectors) {
                bytes.insert(bytes.end(), data, data + std::size_t(sectors) * kSector);
            });
            for (std::size_t i = 0; i < reads.size() && agreed == SIZE_MAX; ++i)
                if (reads[i] == bytes) agreed = i;
            reads.push_back(std::move(bytes));
            if (agreed == SIZE_MAX && reads.size() == 2)
                noteLine(o, sectorText("Secure mode: sectors %ld to %ld differ between two reads; re-reading", at, at + n - 1));
        }
        if (agreed == SIZE_MAX) {
            rep.secureVerified = false;
            rep.unsureRanges.push_back({at, at + n - 1});
            noteLine(o, sectorText("Secure mode: sectors %ld to %ld never read the same twice", at, at + n - 1));
            agreed = reads.size() - 1;
        }
        deliver(reads[agreed].data(), uint32_t(n));
    }
    return rep;
}

}  // namespace tallory::cd::engine::scsi
