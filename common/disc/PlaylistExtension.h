// Reads what a Blu-ray playlist (.mpls) says that libbluray does not pass on:
// each play-item's connection condition, and the clips of the MVC dependent
// view named by the SubPath entries extension. Pure functions over bytes; any
// thread may call them.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace disc {

// A playlist that does not hold together; the text names the field and byte offset.
class PlaylistError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct PlaylistItem {
    std::string clipName; // five digits, e.g. "00001"
    // 1: not seamless (cut at IN/OUT); 5 and 6: seamless, the stream runs on.
    unsigned connectionCondition = 0;
    uint32_t inTime = 0; // 45 kHz
    uint32_t outTime = 0;
};

struct PlaylistFacts {
    std::vector<PlaylistItem> playItems;
    // One per play-item, in the same order, from the sub-path of type 8; empty
    // when the playlist has no MVC dependent view.
    std::vector<PlaylistItem> dependentClips;
    bool hasDependentView() const { return !dependentClips.empty(); }
};

// Throws PlaylistError on anything it cannot trust: a bad header, a length that
// runs past its parent, a clip that is not "M2TS", a dependent-view sub-path
// whose items do not match the play-items one for one.
PlaylistFacts parsePlaylist(std::span<const uint8_t> bytes);

} // namespace disc
