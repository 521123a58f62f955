// The two container readers behind Demuxer.h: MPEG transport streams
// (ISO/IEC 13818-1, with Blu-ray's 4-byte TP_extra_header) and Matroska.
// Internal to the demuxer; one call runs on the caller's thread.
#pragma once

#include "Demuxer.h"

namespace tsmuxer {

struct PacketLayout {
    unsigned packetSize = 0; // 188 or 192; 0 when the source is no transport stream
    size_t leadingBytes = 0; // bytes before the first whole packet
};
PacketLayout detectPacketSize(ByteSource& source);
bool looksLikeMatroska(ByteSource& source);

Listing listTransportStream(ByteSource& source, PacketLayout layout);
std::vector<ViewStats> demuxTransportStream(ByteSource& source, PacketLayout layout,
                                            const std::vector<TrackRequest>& requests,
                                            const DemuxOptions& options);

Listing listMatroska(ByteSource& source);
std::vector<ViewStats> demuxMatroska(ByteSource& source, const std::vector<TrackRequest>& requests,
                                     const DemuxOptions& options);

std::string describeTracks(const Listing& listing); // "4113 (H.264), 4114 (MVC)"

} // namespace tsmuxer
