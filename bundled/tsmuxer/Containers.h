// The two container readers behind Demuxer.h: MPEG transport streams
// (ISO/IEC 13818-1, with Blu-ray's 4-byte TP_extra_header) and Matroska.
// Internal to the demuxer; one call runs on the caller's thread.
#pragma once

#include "Demuxer.h"

namespace tsmuxer {

// 188 or 192 when the source starts with transport packets, else 0.
unsigned detectPacketSize(ByteSource& source);
bool looksLikeMatroska(ByteSource& source);

Listing listTransportStream(ByteSource& source, unsigned packetSize);
std::vector<ViewStats> demuxTransportStream(ByteSource& source, unsigned packetSize,
                                            const std::vector<TrackRequest>& requests,
                                            const DemuxOptions& options);

Listing listMatroska(ByteSource& source);
std::vector<ViewStats> demuxMatroska(ByteSource& source, const std::vector<TrackRequest>& requests,
                                     const DemuxOptions& options);

std::string describeTracks(const Listing& listing); // "4113 (H.264), 4114 (MVC)"

} // namespace tsmuxer
