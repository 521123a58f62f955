#include "media/hevc/StereoMovie.h"

#include "isobmff/MovieReader.h"

#include <fstream>

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
    const Bytes& sps = headerOfType(headers, hevcnal::sequenceParameterSet);
    const Bytes& pps = headerOfType(headers, hevcnal::pictureParameterSet);
    sps_ = parseSps(unescapeRbsp(std::span(sps).subspan(2)), 0);
    pps_ = parsePps(unescapeRbsp(std::span(pps).subspan(2)));
    rewrite_.variant = options.variant;
    sets_.vps = makeStereoVps(sps_, options.variant);
    sets_.sps0 = sps;
    sets_.pps0 = pps;
    sets_.sei = makeReferenceDisplaysSei();
    sets_.sps1 = rewriteSps(headerOfType(encoder.headers(1), hevcnal::sequenceParameterSet), rewrite_);
    sets_.pps1 = rewritePps(headerOfType(encoder.headers(1), hevcnal::pictureParameterSet), rewrite_);
    entry_ = buildStereoSampleEntry(sets_, sps_.displayWidth(), sps_.displayHeight(), settings_.colour,
                                    options.spatial);

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

void writeLayerOneAsSingleLayer(const std::string& moviePath, const std::string& outputPath) {
    MovieReader movie(moviePath);
    const int t = movie.firstTrack("vide");
    if (t < 0) throw Error(moviePath + ": no video track");
    const VisualSampleEntry entry = parseVisualSampleEntry(movie.tracks()[size_t(t)].sampleEntry);
    if (!entry.child("hvcC") || !entry.child("lhvC")) throw Error(moviePath + ": not an MV-HEVC movie");
    const HevcConfig hvcc = parseHvcC(*entry.child("hvcC"));
    const HevcConfig lhvc = parseLhvC(*entry.child("lhvC"));
    if (!hvcc.array(hevcnal::videoParameterSet) || !lhvc.array(hevcnal::sequenceParameterSet) ||
        !lhvc.array(hevcnal::pictureParameterSet))
        throw Error(moviePath + ": parameter sets missing");
    const Bytes& vps = hvcc.array(hevcnal::videoParameterSet)->nals.at(0);
    const Bytes& sps = lhvc.array(hevcnal::sequenceParameterSet)->nals.at(0);
    const Bytes& pps = lhvc.array(hevcnal::pictureParameterSet)->nals.at(0);
    const LayerContext context = parseVps(unescapeRbsp(std::span(vps).subspan(2))).layer1Context();
    const Sps parsedSps = parseSps(unescapeRbsp(std::span(sps).subspan(2)), 1);
    const Pps parsedPps = parsePps(unescapeRbsp(std::span(pps).subspan(2)));
    std::ofstream out(outputPath, std::ios::binary);
    auto put = [&](const Bytes& nal) {
        static const char startCode[4] = {0, 0, 0, 1};
        out.write(startCode, 4);
        out.write(reinterpret_cast<const char*>(nal.data()), std::streamsize(nal.size()));
    };
    put(vps);
    put(withLayerId(sps, 0));
    put(withLayerId(pps, 0));
    Bytes sample;
    for (size_t i = 0; i < movie.tracks()[size_t(t)].samples.size(); ++i) {
        movie.readSample(size_t(t), i, sample);
        for (auto nal : splitLengthPrefixed(sample))
            if (nalLayerId(nal) == 1 && isVcl(nalType(nal)))
                put(layerSliceToBase(nal, parsedSps, parsedPps, context));
    }
    if (!out) throw Error("cannot write " + outputPath);
}

} // namespace media::hevc
