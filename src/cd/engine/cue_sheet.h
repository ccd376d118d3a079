// Cue sheet handling: the lines the engine writes for a track list, and the
// checks that turn them, line by line, into a disc layout.
#ifndef TALLORY_CD_ENGINE_CUE_SHEET_H
#define TALLORY_CD_ENGINE_CUE_SHEET_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cd/engine/disc_layout.h"

namespace tallory::cd::engine {

// One entry of the track list the recording hands to the engine.
struct TrackListEntry {
    std::string path;
    std::string title;               // empty: none
    bool titleFromFileName = false;  // no title: use the file name without folder and extension
    uint32_t pregap = 0;             // sectors
    uint32_t postgap = 0;
    uint16_t sectorSize = kAudioSectorSize;
    CueFileKind fileType = CueFileKind::Binary;
    TrackModeKind mode = TrackModeKind::Audio;
    bool dcp = false, fourChannel = false, preEmphasis = false, scms = false;
    bool isrcWanted = false;
    std::string isrc;
};

struct DiscInfo {
    bool catalogWanted = false;
    std::string catalog;
    std::string title;
    int firstTrackNumber = 1;
};

// The cue sheet lines of a track list, in order. Quoted texts escape a double
// quote and a backslash with a backslash, so that any title survives.
std::vector<std::string> makeCueSheetLines(const DiscInfo& disc, const std::vector<TrackListEntry>& tracks);

// Quotes a text for a cue sheet line.
std::string quoteCueText(const std::string& text);

// Applies cue sheet lines in order. Each call returns 0 or the negative engine
// code of the first check that failed; after a failure the builder keeps
// failing with that code.
class CueSheetBuilder {
public:
    CueSheetBuilder();
    ~CueSheetBuilder();
    CueSheetBuilder(const CueSheetBuilder&) = delete;
    CueSheetBuilder& operator=(const CueSheetBuilder&) = delete;

    [[nodiscard]] int apply(const std::string& line);
    // Closes the last track and adds the lead-out.
    [[nodiscard]] int finish();
    // Valid after finish() returned 0.
    const DiscLayout& layout() const;
    DiscLayout takeLayout();
    // 1-based number of the line that failed, 0 when finish() failed.
    unsigned long failedLine() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Lays out a disc from cue sheet lines; throws EngineError with the code of
// the failed check (and the line, as the detail -116) on the first failure.
DiscLayout layOutDisc(const std::vector<std::string>& lines);

}  // namespace tallory::cd::engine

#endif
