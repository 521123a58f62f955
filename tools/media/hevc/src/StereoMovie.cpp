#include "media/hevc/StereoMovie.h"

namespace media::hevc {

namespace {

const Bytes& headerOfType(const std::vector<Bytes>& headers, int type) {
    for (auto& h : headers)
        if (nalType(h) == type) return h;
    throw Error("encoder headers lack NAL type " + std::to_string(type));
}

void appendLengthPrefixed(Bytes& out, std::span<const uint8_t> nal) {
    const uint32_t n = static_cast<uint32_t>(nal.size());
    out.push_back(uint8_t(n >> 24));
    out.push_back(uint8_t(n >> 16));
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
    out.insert(out.end(), nal.begin(), nal.end());
}

MovieWriterOptions writerOptions(const StereoMovieOptions& o) {
    MovieWriterOptions w;
    w.quickTime = o.quickTime;
    return w;
}

} // namespace

StereoMovieWriter::StereoMovieWriter(const std::string& path, const StereoEncoder& encoder,
                                     const StereoMovieOptions& options)
    : settings_(encoder.settings()), options_(options), writer_(path, writerOptions(options)) {
    const auto& headers = encoder.headers(0);
    const Bytes& sps = headerOfType(headers, kSps);
    const Bytes& pps = headerOfType(headers, kPps);
    sps_ = parseSps(unescapeRbsp(std::span(sps).subspan(2)), 0);
    pps_ = parsePps(unescapeRbsp(std::span(pps).subspan(2)));
    rewrite_.variant = options.variant;
    sets_.vps = makeStereoVps(sps_, options.variant);
    sets_.sps0 = sps;
    sets_.pps0 = pps;
    sets_.sei = makeReferenceDisplaysSei();
    sets_.sps1 = rewriteSps(headerOfType(encoder.headers(1), kSps), rewrite_);
    sets_.pps1 = rewritePps(headerOfType(encoder.headers(1), kPps), rewrite_);
    entry_ = buildStereoSampleEntry(sets_, sps_.displayWidth(), sps_.displayHeight(), settings_.colour);

    TrackConfig video;
    video.handler = "vide";
    video.timescale = settings_.fpsNum;
    video.width = sps_.displayWidth();
    video.height = sps_.displayHeight();
    video.sampleEntry = entry_;
    track_ = writer_.addTrack(video);
}

Bytes StereoMovieWriter::rewriteRight(std::span<const uint8_t> nal) const {
    return rewriteSlice(nal, sps_, pps_, rewrite_);
}

void StereoMovieWriter::addAccessUnit(const StereoAccessUnit& au) {
    sample_.clear();
    for (const Bytes& nal : au.left.nals)
        appendLengthPrefixed(sample_, nal);
    for (const Bytes& nal : au.right.nals) {
        // Only the right eye's slices go into layer 1; its SEI would describe the single-layer stream.
        if (!isVcl(nalType(nal))) continue;
        appendLengthPrefixed(sample_, rewriteRight(nal));
    }
    const int64_t den = settings_.fpsDen;
    writer_.addSample(track_, sample_.data(), sample_.size(), au.left.dts * den, au.left.pts * den,
                      static_cast<uint32_t>(den), au.left.keyframe);
    ++frames_;
}

void StereoMovieWriter::finish() {
    writer_.finish();
}

} // namespace media::hevc
