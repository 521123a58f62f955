// layerforge: raw side-by-side I420 frames on standard input -> MV-HEVC stereo movie.
// Usage and design notes: README.md.
#include "LayerforgeOptions.h"
#include "media/hevc/StereoMovie.h"
#include "toolsupport/ToolSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

using namespace layerforge;
namespace hevc = media::hevc;

namespace {

using toolsupport::log;

// An eye's picture tagged with its stereo view (1 left, 2 right) and video layer id.
struct TaggedPicture {
    const hevc::PlanarPicture* picture;
    int stereoView;
    int layerId;
};

struct TaggedBufferGroup {
    TaggedPicture members[2];
};

} // namespace

// Pairs the left and right pictures with their eye and layer tags, in encoder order.
extern "C" TaggedBufferGroup* CreateMVHEVCTaggedBufferGroup(const hevc::PlanarPicture* left,
                                                            const hevc::PlanarPicture* right) {
    if (!left || !right || !left->planes[0] || !right->planes[0]) return nullptr;
    return new TaggedBufferGroup{{{left, 1, 0}, {right, 2, 1}}};
}

namespace {

struct Run {
    Options o;
    std::unique_ptr<hevc::StereoEncoder> encoder;
    std::unique_ptr<hevc::StereoMovieWriter> writer;
    std::vector<hevc::StereoAccessUnit> ready;
    int64_t frameCount = 0;
    std::chrono::steady_clock::time_point startTime;

    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
    }

    // A run that fails must not leave a half-written movie behind.
    [[noreturn]] void fail(const std::string& message) {
        log("ERROR: " + message);
        writer.reset();
        encoder.reset();
        std::error_code ec;
        std::filesystem::remove(o.outputPath, ec);
        std::exit(1);
    }

    [[noreturn]] void gotoFinish() {
        // A movie without a single picture would look like a finished conversion.
        if (frameCount == 0) fail("no complete frame on standard input; nothing was written");
        try {
            encoder->flush(ready);
            for (auto& au : ready)
                writer->addAccessUnit(au);
            ready.clear();
            writer->finish();
        } catch (const std::exception& e) {
            fail(std::string("Writer failed: ") + e.what());
        }
        toolsupport::setUnfinishedFile("");
        const double secs = elapsed();
        const double fps = secs > 0 ? double(frameCount) / secs : 0.0;
        log("✅ Done! " + std::to_string(frameCount) + " frames in " + formatTime(secs) + " (" +
            toolsupport::format("%.1f", fps) + " fps)");
        std::error_code ec;
        const auto size = std::filesystem::file_size(o.outputPath, ec);
        log("Output: " + o.outputPath + " (" + std::to_string(ec ? 0 : size / 1000000) + " MB)");
        std::exit(0);
    }
};

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (toolsupport::answersVersion(argc, argv, "layerforge")) return 0;
    const ParseResult parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (std::holds_alternative<ShowUsage>(parsed)) {
        log(kUsage1);
        log(kUsage2);
        return 1;
    }
    if (auto* bad = std::get_if<BadOption>(&parsed)) {
        log("ERROR: " + bad->message);
        return 1;
    }
    Run run;
    run.o = std::get<Options>(parsed);
    const Options& o = run.o;
    // A cancelled run must not leave a movie that looks complete.
    toolsupport::setUnfinishedFile(o.outputPath);
    toolsupport::installInterruptCleanup();
    const int64_t width = o.width, height = o.height;
    const int64_t sbsWidth = width * 2;
    const int64_t frameBytes = sbsWidth * height * 3 / 2;
    {
        std::error_code ec;
        if (std::filesystem::exists(o.outputPath, ec)) std::filesystem::remove(o.outputPath, ec);
    }
    log("layerforge: " + std::to_string(width) + "x" + std::to_string(height) + " per eye, " +
        std::to_string(o.fpsNum) + "/" + std::to_string(o.fpsDen) + " fps");
    log("  SBS frame: " + std::to_string(sbsWidth) + "x" + std::to_string(height) + ", " +
        std::to_string(frameBytes) + " bytes/frame");
    log("  Quality: " + shortestDecimal(o.quality) + ", maxrate: " +
        (o.maxBitrateMbps ? std::to_string(*o.maxBitrateMbps) + " Mbps" : std::string("none")));
    log(std::string("  Swap eyes: ") + (o.swap ? "true" : "false"));
    log("  Output: " + o.outputPath);

    hevc::EncoderSettings settings;
    settings.width = o.width;
    settings.height = o.height;
    settings.fpsNum = static_cast<uint32_t>(o.fpsNum);
    settings.fpsDen = static_cast<uint32_t>(o.fpsDen);
    settings.quality = o.quality;
    settings.threads = o.threads;
    try {
        if (o.maxBitrateMbps) settings.averageKbps = static_cast<uint32_t>(*o.maxBitrateMbps * 1000);
        run.encoder = std::make_unique<hevc::StereoEncoder>(settings);
        hevc::StereoMovieOptions movieOptions;
        movieOptions.spatial = o.spatial;
        run.writer = std::make_unique<hevc::StereoMovieWriter>(o.outputPath, *run.encoder, movieOptions);
    } catch (const std::exception& e) {
        run.fail(std::string("Failed to create AVAssetWriter: ") + e.what());
    }
    if (o.maxBitrateMbps) {
        log("  Bitrate mode: " + std::to_string(*o.maxBitrateMbps) + " Mbps average");
    } else {
        log("  Quality mode: " + shortestDecimal(o.quality));
    }

    const size_t eyeY = size_t(width) * size_t(height), eyeC = size_t(width / 2) * size_t(height / 2);
    const size_t eyeBytes = eyeY + 2 * eyeC;
    std::vector<uint8_t> frameBuf(static_cast<size_t>(frameBytes)), leftYUV(eyeBytes), rightYUV(eyeBytes);
    run.startTime = std::chrono::steady_clock::now();
    log("Encoding from stdin...");

    const size_t sbsY = size_t(sbsWidth) * size_t(height);
    const size_t sbsC = size_t(sbsWidth / 2) * size_t(height / 2);
    for (;;) {
        size_t got = 0;
        while (got < frameBuf.size()) {
            const ssize_t n = ::read(STDIN_FILENO, frameBuf.data() + got, frameBuf.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        if (got == 0) run.gotoFinish();
        if (got < frameBuf.size()) {
            log("WARNING: Partial frame at EOF (" + std::to_string(got) + "/" + std::to_string(frameBytes) +
                " bytes), discarding");
            run.gotoFinish();
        }
        // Split each plane's rows into the two eyes.
        auto split = [&](size_t srcOff, size_t dstOff, size_t rows, size_t eyeRow) {
            const uint8_t* src = frameBuf.data() + srcOff;
            for (size_t y = 0; y < rows; ++y) {
                std::memcpy(leftYUV.data() + dstOff + y * eyeRow, src + y * 2 * eyeRow, eyeRow);
                std::memcpy(rightYUV.data() + dstOff + y * eyeRow, src + y * 2 * eyeRow + eyeRow, eyeRow);
            }
        };
        split(0, 0, size_t(height), size_t(width));
        split(sbsY, eyeY, size_t(height / 2), size_t(width / 2));
        split(sbsY + sbsC, eyeY + eyeC, size_t(height / 2), size_t(width / 2));

        auto picture = [&](const std::vector<uint8_t>& yuv) {
            hevc::PlanarPicture p;
            p.planes[0] = yuv.data();
            p.planes[1] = yuv.data() + eyeY;
            p.planes[2] = yuv.data() + eyeY + eyeC;
            p.strides[0] = o.width;
            p.strides[1] = p.strides[2] = o.width / 2;
            return p;
        };
        const hevc::PlanarPicture leftPic = picture(o.swap ? rightYUV : leftYUV);
        const hevc::PlanarPicture rightPic = picture(o.swap ? leftYUV : rightYUV);
        std::unique_ptr<TaggedBufferGroup> group(CreateMVHEVCTaggedBufferGroup(&leftPic, &rightPic));
        if (!group)
            run.fail("CreateMVHEVCTaggedBufferGroup failed at frame " + std::to_string(run.frameCount));

        try {
            run.encoder->encode(*group->members[0].picture, *group->members[1].picture, run.frameCount,
                                run.ready);
            for (auto& au : run.ready)
                run.writer->addAccessUnit(au);
            run.ready.clear();
        } catch (const std::exception& e) {
            run.fail("append failed at frame " + std::to_string(run.frameCount) + ": " + e.what());
        }
        ++run.frameCount;
        if (run.frameCount % 100 == 0) {
            log("Frame " + std::to_string(run.frameCount) + " — " +
                toolsupport::format("%.1f", double(run.frameCount) / run.elapsed()) + " fps");
        }
    }
}
