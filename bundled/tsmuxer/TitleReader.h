// One view of a Blu-ray disc title read as one transport stream: its clips
// back to back, every timestamp moved onto the title's own time line so that
// a non-seamless join (where a clip's clock starts again) runs on, and the
// pictures outside each play-item's IN/OUT left out. The base view's other
// streams (sound, subtitles) can go to a side file, sound outside IN/OUT left
// out there too. Used by one thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Demuxer.h"
#include "disc/BluRayDisc.h"

namespace tsmuxer {

struct TitleView {
    std::string discPath;
    unsigned playlist = 0;
    std::optional<std::string> clip; // only this play-item
    bool isDependent = false;
    std::string otherStreamsFile; // base view only; empty: none kept
};

// Throws DemuxError naming the disc, playlist or clip that is wrong.
std::unique_ptr<ByteSource> openTitleView(const TitleView& view);

} // namespace tsmuxer
