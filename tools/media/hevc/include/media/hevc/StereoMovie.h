// Writes stereo access units from StereoEncoder into a QuickTime movie: one
// 'hvc1' track holding both layers (left = layer 0 untouched, right rewritten
// into layer 1), plus any extra tracks the caller adds (audio). One thread.
#pragma once

#include "isobmff/MovieWriter.h"
#include "media/hevc/Layering.h"
#include "media/hevc/StereoEncoder.h"

namespace media::hevc {

struct StereoMovieOptions {
    VpsVariant variant = VpsVariant::A;
    bool quickTime = true;
    SpatialInfo spatial; // written into the sample entry when set
};

class StereoMovieWriter {
  public:
    // Creates the file and the video track from the encoder's parameter sets.
    StereoMovieWriter(const std::string& path, const StereoEncoder& encoder,
                      const StereoMovieOptions& options = {});

    // Further tracks (before the first access unit). Returns the track index.
    int addTrack(const TrackConfig& config) { return writer_.addTrack(config); }
    MovieWriter& movie() { return writer_; }
    int videoTrack() const { return track_; }

    void addAccessUnit(const StereoAccessUnit& au);
    void finish();

    const StereoParameterSets& parameterSets() const { return sets_; }
    const Bytes& sampleEntry() const { return entry_; }
    // The layer-1 rewrite applied to one right-eye NAL unit (slices only).
    Bytes rewriteRight(std::span<const uint8_t> nal) const;
    int64_t frames() const { return frames_; }

  private:
    EncoderSettings settings_;
    StereoMovieOptions options_;
    Sps sps_;
    Pps pps_;
    LayerRewrite rewrite_;
    StereoParameterSets sets_;
    Bytes entry_;
    MovieWriter writer_;
    int track_ = -1;
    Bytes sample_;
    int64_t frames_ = 0;
};

// A stereo movie's layer 1 (the right eye) written as a single-layer Annex B stream, layer id 0
// and the inserted slice fields removed, so that a decoder without MV-HEVC support (Debian's
// ffmpeg 5.1) can decode the right eye: how tests and the benchmark check both views. Throws
// Error when the movie has no MV-HEVC video track, IoError/FormatError from the reader.
void writeLayerOneAsSingleLayer(const std::string& moviePath, const std::string& outputPath);

} // namespace media::hevc
