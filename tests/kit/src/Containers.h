// Container writers of the stereo test media kit: a Blu-ray style MPEG
// transport stream (188- or 192-byte packets) and a single-track 3D Matroska
// file, both carrying an MVC composition and AC-3 audio; plus the AC-3 frame
// splitter they need. Pure functions over memory; any thread.
#pragma once

#include "MvcComposer.h"

namespace kit {

struct AudioFrame {
    std::span<const uint8_t> data;
    int64_t pts = 0; // 90 kHz
};

// Splits a raw AC-3 stream (48 kHz) into frames, timing them from firstPts.
std::vector<AudioFrame> splitAc3(std::span<const uint8_t> stream, int64_t firstPts90k);

// Blu-ray LPCM (stream type 0x80): the payloads own their bytes, and the frames point into them.
struct LpcmAudio {
    std::vector<Bytes> payloads;
    std::vector<AudioFrame> frames;
};
// 16-bit stereo 48 kHz samples (little-endian, interleaved, as in a WAV data
// chunk) in 5 ms frames, each with the 4-byte Blu-ray LPCM header.
LpcmAudio blurayLpcm(std::span<const uint8_t> samples, int64_t firstPts90k);
// The sample bytes of a PCM WAV file.
std::span<const uint8_t> wavSamples(std::span<const uint8_t> wav);

// The PIDs and stream types of a Blu-ray 3D title.
inline constexpr uint16_t kPmtPid = 0x0100, kPcrPid = 0x1001, kBaseVideoPid = 0x1011,
                          kDependentVideoPid = 0x1012, kAudioPid = 0x1100;

enum class AudioStreamType : uint8_t { ac3 = 0x81, lpcm = 0x80 };
Bytes writeTransportStream(const MvcComposition& video, const std::vector<AudioFrame>& audio, bool m2ts,
                           AudioStreamType audioType = AudioStreamType::ac3);

// What one clip of a disc carries: a run of access units of one or both
// views, audio on any number of PIDs (each the same frames).
struct TransportStreamContent {
    size_t firstUnit = 0, endUnit = SIZE_MAX; // decode order
    bool withBase = true, withDependent = true;
    int64_t timeShift90k = 0; // added to every video PTS/DTS (a clip on its own time base)
    std::vector<uint16_t> audioPids{kAudioPid};
    AudioStreamType audioType = AudioStreamType::ac3;
};
struct WrittenTransportStream {
    Bytes bytes;
    // Per access unit of the run: the packet number where the PES of its
    // first written view starts (what an entry point map names).
    std::vector<uint32_t> unitPackets;
};
WrittenTransportStream writeTransportStream(const MvcComposition& video, const std::vector<AudioFrame>& audio,
                                            bool m2ts, const TransportStreamContent& content);

uint32_t mpegCrc32(std::span<const uint8_t> data);

enum class MatroskaStereoMode { blockLeftFirst = 13, blockRightFirst = 14 };

Bytes writeMatroska(const MvcComposition& video, const std::vector<AudioFrame>& audio,
                    MatroskaStereoMode mode, FrameRate rate);

// Matroska/EBML variable-length size (minimal length).
Bytes ebmlSize(uint64_t size);

} // namespace kit
