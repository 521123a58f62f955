// Whole conversions through the command line, on the kit's side-by-side and
// frame-alternate sources, checked by per-eye PSNR and eye order.
#include <gtest/gtest.h>

#include <cstdlib>

#include "CommandLineRun.h"
#include "PipelineEngine.h"
#include "StereoChecks.h"
#include "TestSupport.h"
#include "ToolLocator.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path set = kitSmallSet;
const std::string stereocheck = std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck";

class Conversion : public CommandLineRun {
  protected:
    // Every frame at the source's rate with its audio, both eyes at 35 dB
    // against the kit's sources, in the right order, in the chosen codec
    // (H.264, unless stored otherwise) or MV-HEVC.
    void expectEyes(const fs::path& movie, bool mvhevc, const fs::path& kitSet = set,
                    const std::string& rate = "24000/1001") {
        auto codec =
            runCommand("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                            "stream=codec_name", "-of", "default=nw=1:nk=1", movie.string()});
        EXPECT_EQ(codec.output.substr(0, codec.output.find('\n')), mvhevc ? "hevc" : "h264") << movie;
        auto streams =
            runCommand("/usr/bin/ffprobe", {"-v", "error", "-show_entries", "stream=codec_type,r_frame_rate",
                                            "-of", "default=nw=1", movie.string()});
        EXPECT_EQ(streams.output,
                  "codec_type=video\nr_frame_rate=" + rate + "\ncodec_type=audio\nr_frame_rate=0/0\n");
        std::vector<std::string> check{"--set", kitSet.string(), "--min-psnr", "35", movie.string()};
        fs::path right = work / "right.hevc";
        if (mvhevc) {
            ASSERT_TRUE(stereochecks::extractRightEye(movie, right));
            check.push_back(right.string());
        }
        auto eyes = runCommand(stereocheck, check);
        EXPECT_EQ(eyes.status, 0) << eyes.output;
    }

    static std::string decodedSound(const fs::path& movie) {
        return runCommand("/usr/bin/ffmpeg",
                          {"-v", "error", "-i", movie.string(), "-map", "0:a:0", "-f", "md5", "-"})
            .standardOutput;
    }

    // A tools folder of links to every built tool but the `missing` ones, with Debian's ffmpeg and ffprobe.
    static void toolsWithout(const fs::path& folder, const std::vector<std::string>& missing) {
        fs::create_directories(folder);
        for (const auto& entry : fs::directory_iterator(DUOSCOPE_TOOLS_DIR))
            if (std::find(missing.begin(), missing.end(), entry.path().filename()) == missing.end())
                fs::create_symlink(entry.path(), folder / entry.path().filename());
        for (const char* name : {"ffmpeg", "ffprobe"})
            fs::create_symlink(fs::path("/usr/bin") / name, folder / name);
    }

    ScratchFolder work{"e2e conversions"};
};

} // namespace

TEST_F(Conversion, SideBySideAndFrameAlternateSourcesToSideBySide) {
    storeTarget("SBS 3D (MKV)");
    struct Case {
        std::string source, layout, output;
    };
    for (const auto& c :
         {Case{"sbs_lr.mkv", "sbs", "Film LR_SBS.mkv"}, Case{"sbs.mp4", "sbs", "Film LR_SBS.mkv"},
          Case{"frame_alternate.mkv", "sbs", "Film LR_SBS.mkv"}}) {
        // A name with blanks and quotes on the way.
        fs::path sourceFolder = work / ("in " + c.source);
        fs::create_directories(sourceFolder);
        fs::path source = sourceFolder / ("Film LR" + fs::path(c.source).extension().string());
        fs::copy_file(set / c.source, source);
        fs::path output = work / ("out \"" + c.source + "\"");
        auto result = convert(source, output);
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("✅ Conversion complete: " + (output / c.output).string()),
                  std::string::npos)
            << result.output;
        EXPECT_EQ(entries(output), std::vector<std::string>{c.output}) << c.source;
        auto check = runCommand(stereocheck,
                                {"--set", set.string(), "--min-psnr", "35", (output / c.output).string()});
        EXPECT_EQ(check.status, 0) << c.source << ": " << check.output;
        EXPECT_EQ(readFile(source), readFile(set / c.source)) << "the source must stay untouched";
    }
}

TEST_F(Conversion, SideBySideSourceToMVHEVC) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "StereoPacker"))
        GTEST_SKIP() << "StereoPacker is not built";
    // QuickTime, and Matroska with its millisecond timestamps: both eyes, and the exact rate.
    for (const std::string name : {"sbs", "sbs_lr"}) {
        fs::path output = work / ("mvhevc " + name);
        auto result = convert(set / (name + (name == "sbs" ? ".mov" : ".mkv")), output);
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(entries(output), std::vector<std::string>{name + "_MV-HEVC.mov"});
        auto probe = runCommand("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                                     "stream=codec_name,width,height,avg_frame_rate", "-of",
                                                     "csv=p=0", (output / (name + "_MV-HEVC.mov")).string()});
        EXPECT_EQ(probe.output, "hevc,320,176,24000/1001\n");
        expectEyes(output / (name + "_MV-HEVC.mov"), true);
    }
}

// The MVC sources through the segment-parallel script with every real tool:
// the two view files split side by side (all tools present), and the
// interleaved stream (a tools folder without twinsever and unitmerge).
TEST_F(Conversion, MVCSourcesThroughTheParallelRoutes) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "viewpump")) GTEST_SKIP() << "viewpump is not built";
    // A copy of the program finds the tools folder beside it first.
    fs::path bin = work / "bin";
    toolsWithout(bin / "tools", {"twinsever", "unitmerge"});
    fs::copy_file(duoscopeProgram, bin / "Duoscope");

    struct Case {
        std::string source, target, program, route;
    };
    const std::string dual = "✅ Using PARALLEL pipeline with DUAL-SPLIT (",
                      interleaved = "✅ Using PARALLEL pipeline (";
    for (const auto& c :
         {Case{"open_gop/movie_lpcm.m2ts", "SBS 3D (MKV)", duoscopeProgram, dual},
          Case{"cabac_b/movie_lr.mkv", "Apple Vision Pro (MV-HEVC)", duoscopeProgram, dual},
          Case{"cabac_b/movie_rl.mkv", "SBS 3D (MKV)", (bin / "Duoscope").string(), interleaved},
          Case{"open_gop/movie.m2ts", "Apple Vision Pro (MV-HEVC)", (bin / "Duoscope").string(),
               interleaved}}) {
        SCOPED_TRACE(c.source + " → " + c.target + " via " + c.route);
        storeTarget(c.target);
        fs::path output = work / "out";
        fs::remove_all(output);
        auto result = runCommand(
            c.program, {"--input", (set / c.source).string(), "--auto-convert", "--output", output.string()});
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find(c.route), std::string::npos) << result.output;
        bool mvhevc = c.target.starts_with("Apple");
        std::string name = fs::path(c.source).stem().string() + (mvhevc ? ".mov" : "_SBS.mkv");
        ASSERT_EQ(entries(output), std::vector<std::string>{name});
        expectEyes(output / name, mvhevc);
        if (c.source.ends_with("_lpcm.m2ts")) // Blu-ray LPCM, which Matroska cannot hold as it is
            EXPECT_EQ(decodedSound(output / name), decodedSound(set / c.source));
    }
}

// Blu-ray 3D's 720p titles run at 50 and 60000/1001: every frame at the exact
// rate in both targets. (Matroska keeps whole nanoseconds per frame, which
// ffprobe can only show as 60000/1001 when the denominator is small, so the
// side-by-side case is the 50 fps one.)
TEST_F(Conversion, MVCSourcesAtTheHighBluRayRates) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "viewpump")) GTEST_SKIP() << "viewpump is not built";
    for (const auto& [rate, target] :
         {std::pair{"50/1", "SBS 3D (MKV)"}, std::pair{"60000/1001", "Apple Vision Pro (MV-HEVC)"}}) {
        SCOPED_TRACE(std::string(rate) + " → " + target);
        fs::path kit = work / "kit";
        auto made = runCommand(std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereokit",
                               {"--set", "small", "--fps", rate, "--frames", "24", "--output", kit.string()});
        ASSERT_EQ(made.status, 0) << made.output;
        storeTarget(target);
        fs::path output = work / "high rate";
        fs::remove_all(output);
        auto result = convert((kit / "small/pyramid_8x8/movie.m2ts").string(), output.string());
        ASSERT_EQ(result.status, 0) << result.output;
        bool mvhevc = std::string(target).starts_with("Apple");
        fs::path movie = output / (mvhevc ? "movie.mov" : "movie_SBS.mkv");
        ASSERT_TRUE(fs::exists(movie)) << result.output;
        expectEyes(movie, mvhevc, kit / "small", rate);
    }
}

// The MVC sources through the two routes that run our decoder directly: the
// named pipe into viewpump and twinrow (a program whose tools folder has no
// fanout-run.sh), and the disk route through ldecod's two view files (an
// engine whose only tools folder has no viewpump).
TEST_F(Conversion, MVCSourcesThroughTheNamedPipeAndDiskRoutes) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "viewpump")) GTEST_SKIP() << "viewpump is not built";
    fs::path bin = work / "bin";
    toolsWithout(bin / "tools", {"fanout-run.sh"});
    fs::copy_file(duoscopeProgram, bin / "Duoscope");
    for (const auto& [source, target] : {std::pair{"cabac_b/movie_rl.mkv", "SBS 3D (MKV)"},
                                         std::pair{"cabac_b/movie.m2ts", "Apple Vision Pro (MV-HEVC)"},
                                         std::pair{"cabac_b/movie_lr.mkv", "Apple Vision Pro (MV-HEVC)"}}) {
        SCOPED_TRACE(std::string(source) + " → " + target + " through the named pipe");
        storeTarget(target);
        fs::path output = work / "pipe";
        fs::remove_all(output);
        auto result =
            runCommand((bin / "Duoscope").string(),
                       {"--input", (set / source).string(), "--auto-convert", "--output", output.string()});
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("using single-threaded FIFO pipeline"), std::string::npos)
            << result.output;
        bool mvhevc = std::string(target).starts_with("Apple");
        std::string name = fs::path(source).stem().string() + (mvhevc ? ".mov" : "_SBS.mkv");
        ASSERT_TRUE(fs::exists(output / name)) << result.output;
        expectEyes(output / name, mvhevc);
    }

    fs::path diskTools = work / "disk tools";
    toolsWithout(diskTools, {"viewpump"});
    duoscope::setPriorityToolFolder(diskTools, true);
    for (const auto& [source, target] :
         {std::pair{"cabac_b/movie_rl.mkv", duoscope::OutputTarget::visionPro},
          std::pair{"open_gop/movie_lpcm.m2ts", duoscope::OutputTarget::visionPro},
          std::pair{"cabac_b/movie_lr.mkv", duoscope::OutputTarget::sbs3D}}) {
        SCOPED_TRACE(std::string(source) + " through the disk route");
        fs::path output = work / "disk";
        fs::remove_all(output);
        std::vector<std::string> log;
        duoscope::PipelineEngine engine;
        engine.verboseLogging = true;
        engine.onLog = [&](const std::string& line) { log.push_back(line); };
        duoscope::ConversionJob job{.sourceURL = set / source,
                                    .outputDirectory = output,
                                    .qualityPreset = duoscope::QualityPreset::medium,
                                    .outputTarget = target};
        std::string error;
        try {
            engine.convert(job, std::nullopt, [](duoscope::ConversionStage, double) {}, {});
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        std::string joined;
        for (const auto& line : log)
            joined += line + "\n";
        ASSERT_EQ(error, "") << joined;
        EXPECT_NE(joined.find("Decoding MVC to YUV (disk-based fallback)"), std::string::npos) << joined;
        bool mvhevc = target == duoscope::OutputTarget::visionPro;
        std::string name = fs::path(source).stem().string() + (mvhevc ? ".mov" : "_SBS.mkv");
        ASSERT_TRUE(fs::exists(output / name)) << joined;
        expectEyes(output / name, mvhevc);
    }
    duoscope::setPriorityToolFolder({});
}
