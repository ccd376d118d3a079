// The engine's audio read: N sectors per READ CD, overlapping transfers
// matched sample-exactly against the sectors already delivered (jitter
// correction), unreadable sectors as silence in error mode, the drive's read
// offset corrected, and a secure mode that reads everything twice.
#ifndef TALLORY_CD_ENGINE_SCSI_AUDIO_READER_H
#define TALLORY_CD_ENGINE_SCSI_AUDIO_READER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cd/engine/scsi/device.h"

namespace tallory::cd::engine::scsi {

inline constexpr int kJitterOverlapSectors = 3;
// Re-reads of one transfer whose match is missing or not unique (silence,
// repeating patterns) before the engine gives up or takes the nearest match.
inline constexpr int kMaxJitterRereads = 4;
// Reads of a run's first transfer, which has nothing to match against,
// until two agree.
inline constexpr int kMaxAnchorReads = 8;
// Re-reads of a transfer the drive cut short (a residue) before it fails.
inline constexpr int kMaxShortReadRetries = 5;
// Attempts at one sector in error mode before it becomes silence.
inline constexpr int kSectorAttempts = 3;
// Secure mode: reads of a range whose first two reads differ.
inline constexpr int kMaxSecureRereads = 4;

struct AudioReadOptions {
    int jitterSetting = 0;   // JitterCorrection: 0 the model's flag, 1 off, 2 on, else off
    int errorMode = 0;       // 0: an unreadable sector fails the read; else it becomes silence
    int readOffset = 0;      // samples; positive reads later on the disc
    int32_t discEnd = -1;    // lead-out LBA: samples at or past it are silence (offset correction)
    bool secure = false;
    // Set by another thread to stop; checked after each delivery.
    const std::atomic<bool>* stop = nullptr;
    // Receives whole sectors; false stops the read (raised as -100).
    std::function<bool(const uint8_t* data, uint32_t sectors)> deliver;
    // Information lines: re-reads, sectors given up, unsure secure ranges.
    std::function<void(const std::string&)> note;
};

struct AudioReadReport {
    uint32_t transfers = 0;
    uint32_t jitterRereads = 0;
    uint32_t shortReadRetries = 0;
    uint32_t matchesOffPosition = 0;   // transfers the drive delivered off position
    std::vector<int32_t> silencedSectors;
    // Secure mode: ranges (first, last sector) whose reads never agreed.
    std::vector<std::pair<int32_t, int32_t>> unsureRanges;
    bool secureVerified = false;       // every range read twice with equal results
};

// Reads sectors start .. start + count - 1. Raises EngineError (-106, -120,
// -100, -16 ...) on failure.
AudioReadReport readAudioSectors(Device& device, int32_t start, int32_t count, const AudioReadOptions& options);

// Whether the options turn jitter correction on for that device.
bool jitterCorrectionOn(const Device& device, int jitterSetting);

}  // namespace tallory::cd::engine::scsi

#endif
