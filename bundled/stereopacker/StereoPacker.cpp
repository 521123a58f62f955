// StereoPacker <input> <output> <quality> [<rate>]: a side-by-side movie (QuickTime or
// Matroska) to an MV-HEVC stereo movie with the input's first audio track. Progress lines
// "Frame <n>/<total> (<p>%)" go to standard output. README.md has the details.
#include "AvInput.h"
#include "PackerSupport.h"
#include "isobmff/MovieReader.h"
#include "media/hevc/StereoMovie.h"
#include "toolsupport/ToolSupport.h"

extern "C" {
#include <libavutil/log.h>
}

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace stereopacker;
namespace hevc = media::hevc;
namespace fs = std::filesystem;

namespace {

using toolsupport::log;

// Audio from a QuickTime source: sample entry and samples copied byte for byte.
struct QuickTimeAudio {
    std::unique_ptr<media::MovieReader> reader;
    size_t track = 0;
    size_t next = 0;
};

std::optional<QuickTimeAudio> quickTimeAudio(const std::string& path) {
    try {
        QuickTimeAudio a;
        a.reader = std::make_unique<media::MovieReader>(path);
        const int t = a.reader->firstTrack("soun");
        if (t < 0) return std::nullopt;
        a.track = size_t(t);
        return a;
    } catch (const std::exception&) {
        return std::nullopt; // not a QuickTime file (Matroska), handled by libav
    }
}

// A QuickTime source's chapters go on to the movie; none from other containers.
media::ChapterList quickTimeChapters(const std::string& path) {
    try {
        return media::readChapters(media::MovieReader(path));
    } catch (const std::exception&) {
        return {};
    }
}

int pack(const Arguments& args) {
    std::error_code ec;
    if (!fs::is_regular_file(args.input, ec))
        throw InputError("input '" + args.input + "' is not a readable file");
    // Compared as files, so a hard link counts as well as a symbolic one; the
    // temporary name must not hit the input either.
    for (const std::string& written : {args.output, args.output + ".partial"})
        if (fs::weakly_canonical(args.input, ec) == fs::weakly_canonical(written, ec) ||
            fs::equivalent(args.input, written, ec))
            throw InputError("the output would overwrite the input");

    VideoInput video(args.input, Packing{args.topBottom, args.half, args.rightFirst});
    const int64_t total = video.announcedFrames() > 0 ? video.announcedFrames() : video.estimatedFrames();
    log("StereoPacker: " + args.input + " -> " + args.output);
    log("  " + std::to_string(video.width()) + "x" + std::to_string(video.height()) + " per eye, " +
        std::to_string(video.fpsNum()) + "/" + std::to_string(video.fpsDen()) + " fps, " +
        std::to_string(total) + " frames");

    hevc::EncoderSettings settings;
    settings.width = video.width();
    settings.height = video.height();
    settings.fpsNum = video.fpsNum();
    settings.fpsDen = video.fpsDen();
    settings.quality = args.quality;
    if (args.rateMbps) settings.averageKbps = *args.rateMbps * 1000;
    settings.colour = video.colour();
    hevc::StereoEncoder encoder(settings);

    // Written under a temporary name and renamed when complete, so a failed or cancelled run
    // never leaves a movie that looks finished.
    const std::string partial = args.output + ".partial";
    toolsupport::setUnfinishedFile(partial);
    hevc::StereoMovieOptions movieOptions;
    movieOptions.spatial = args.spatial;
    hevc::StereoMovieWriter writer(partial, encoder, movieOptions);

    std::optional<QuickTimeAudio> qtAudio = quickTimeAudio(args.input);
    std::unique_ptr<AudioInput> avAudio;
    int audioTrack = -1;
    uint32_t audioTimescale = 1;
    if (qtAudio) {
        const media::TrackInfo& t = qtAudio->reader->tracks()[qtAudio->track];
        media::TrackConfig c;
        c.handler = "soun";
        c.timescale = t.timescale;
        c.sampleEntry = t.sampleEntry;
        c.language = t.language;
        // Keep the source's edit list (e.g. AAC priming) so audio stays in sync; segment
        // durations move from the source's movie timescale to ours (the video track's).
        if (!t.edits.empty()) {
            std::vector<media::EditEntry> edits = t.edits;
            for (auto& e : edits)
                e.segmentDuration = uint64_t(media::rescaleRounded(
                    int64_t(e.segmentDuration), qtAudio->reader->movieTimescale(), settings.fpsNum));
            c.edits = edits;
        }
        audioTimescale = t.timescale;
        audioTrack = writer.addTrack(c);
        log("  Audio: " + media::fourccToString(t.sampleEntryType) + ", " + std::to_string(t.samples.size()) +
            " samples copied");
    } else if ((avAudio = AudioInput::open(args.input))) {
        audioTimescale = avAudio->track().timescale;
        audioTrack = writer.addTrack(avAudio->track());
        log("  Audio: " + avAudio->description());
    } else {
        log("  Audio: none");
    }

    media::ChapterList chapters = quickTimeChapters(args.input);
    if (!chapters.chapters.empty()) {
        writer.movie().setChapters(chapters);
        log("  Chapters: " + std::to_string(chapters.chapters.size()));
    }

    std::vector<hevc::StereoAccessUnit> ready;
    double videoSeconds = 0;
    AudioSample pendingAudio;
    bool audioDone = audioTrack < 0;
    bool havePending = false;
    // Audio is interleaved half a second ahead of the video written so far.
    auto writeAudioUntil = [&](double seconds) {
        while (!audioDone) {
            if (qtAudio) {
                const auto& samples = qtAudio->reader->tracks()[qtAudio->track].samples;
                if (qtAudio->next >= samples.size()) {
                    audioDone = true;
                    break;
                }
                const media::SampleInfo& s = samples[qtAudio->next];
                if (double(s.decodeTime) / audioTimescale > seconds) break;
                writer.movie().addSampleFromFile(audioTrack, qtAudio->reader->fd(), s.offset, s.size,
                                                 s.decodeTime, s.presentationTime, s.duration, s.isSync);
                ++qtAudio->next;
            } else {
                if (!havePending && !(havePending = avAudio->next(pendingAudio))) {
                    audioDone = true;
                    break;
                }
                if (double(pendingAudio.time) / audioTimescale > seconds) break;
                writer.movie().addSample(audioTrack, pendingAudio.data.data(), pendingAudio.data.size(),
                                         pendingAudio.time, pendingAudio.time, pendingAudio.duration, true);
                havePending = false;
            }
        }
    };
    // Progress counts pictures that came out of the encoders, not pictures read: the encoders
    // take a second's worth of input at once before the first one comes out.
    const int64_t step = std::max<int64_t>(1, total / 1000);
    int64_t frames = 0, written = 0;
    auto writeReady = [&] {
        for (auto& au : ready) {
            writer.addAccessUnit(au);
            videoSeconds =
                std::max(videoSeconds, double(au.left.pts + 1) * settings.fpsDen / settings.fpsNum);
            if (++written % step == 0 && (total <= 0 || written < total))
                std::printf("%s\n", progressLine(written, total).c_str());
        }
        ready.clear();
        writeAudioUntil(videoSeconds + 0.5);
    };

    I420View leftEye, rightEye;
    while (video.next(leftEye, rightEye)) {
        hevc::PlanarPicture left, right;
        for (int i = 0; i < 3; ++i) {
            left.planes[i] = leftEye.planes[i];
            right.planes[i] = rightEye.planes[i];
            left.strides[i] = leftEye.strides[i];
            right.strides[i] = rightEye.strides[i];
        }
        encoder.encode(left, right, frames, ready);
        ++frames;
        writeReady();
    }
    while (encoder.drainStep(ready))
        writeReady();
    writeReady();
    writeAudioUntil(1e300);

    if (frames == 0) throw InputError("no video frames could be decoded from '" + args.input + "'");
    if (video.announcedFrames() > 0
            ? frames < video.announcedFrames()
            : (video.estimatedFrames() > 0 && frames < video.estimatedFrames() * 9 / 10 - 2))
        throw InputError("the input ended after " + std::to_string(frames) + " of " + std::to_string(total) +
                         " frames; it looks truncated");
    writer.finish();
    fs::rename(partial, args.output);
    toolsupport::setUnfinishedFile("");
    std::printf("%s\n", progressLine(frames, frames).c_str());
    if (args.half) log("  Scaling: " + toolsupport::format("%.2f", video.scalingSeconds()) + " s");
    log("✅ Done! " + std::to_string(frames) + " frames -> " + args.output);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Progress goes to a pipe: each line must reach the reader when it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGPIPE, SIG_IGN);
    av_log_set_level(AV_LOG_FATAL); // our own ERROR line carries libav's reason
    toolsupport::installInterruptCleanup();
    const auto parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (auto* message = std::get_if<std::string>(&parsed)) {
        log("ERROR: " + *message);
        return 1;
    }
    return toolsupport::runMain([&] {
        try {
            return pack(std::get<Arguments>(parsed));
        } catch (const std::exception&) {
            toolsupport::removeUnfinishedFile();
            throw;
        }
    });
}
