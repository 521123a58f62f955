// Exact argument lists of every tool run of the encode steps, in the
// VideoToolbox profile (the design's lists) and the software one, and what the
// generated scripts take from the job.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "EncodeSupport.h"
#include "EncoderProfile.h"
#include "TestSupport.h"

namespace duoscope {
namespace {

using Arguments = std::vector<std::string>;
constexpr auto vt = EncoderProfile::videoToolbox;
constexpr auto sw = EncoderProfile::software;

// The jobs below start from these, at 1920x1080, 24000/1001, High Quality, side-by-side target.
FrameAlternateScriptSpec frameAlternateSpec(const std::string& source, const std::string& output) {
    FrameAlternateScriptSpec spec;
    spec.ffmpegPath = "/usr/bin/ffmpeg";
    spec.sourcePath = source;
    spec.workFolder = "/w/fa_work";
    spec.outputPath = output;
    return spec;
}
ParallelArgumentsSpec parallelSpec(const std::string& source, const std::string& output) {
    ParallelArgumentsSpec spec;
    spec.scriptPath = "/t/fanout-run.sh";
    spec.interleavedPath = "/w/M_interleaved.264";
    spec.sourceAudioPath = source;
    spec.outputPath = output;
    spec.workFolder = "/w";
    return spec;
}

TEST(EncoderProfile, ChosenFromTheEncoderListing) {
    std::string macListing = " V....D h264_videotoolbox    VideoToolbox H.264 Encoder (codec h264)\n"
                             " V....D hevc_videotoolbox    VideoToolbox H.265 Encoder (codec hevc)\n"
                             " A....D aac_at               aac (AudioToolbox) (codec aac)\n";
    std::string debianListing = " V....D libx264              libx264 H.264 / AVC (codec h264)\n"
                                " V....D libx265              libx265 H.265 / HEVC (codec hevc)\n"
                                " A..... aac                  AAC (Advanced Audio Coding)\n";
    EXPECT_EQ(encoderProfileFromEncoderList(macListing), vt);
    EXPECT_EQ(encoderProfileFromEncoderList(debianListing), sw);
    EXPECT_EQ(encoderProfileFromEncoderList(""), sw);
    // A name that only contains the encoder's name is another encoder.
    EXPECT_EQ(encoderProfileFromEncoderList(" V..... h264_videotoolbox_x  x\n V..... hevc_videotoolbox  y\n"),
              sw);
}

// The side-by-side encode in full, once per profile; the preset rows are shared
// with the scripts and the parallel route, checked below.
TEST(EncodeSBSArguments, BothProfilesAndEveryContainer) {
    Arguments inputs{"-y"};
    for (const char* eye : {"/w/L.yuv", "/w/R.yuv"})
        inputs.insert(inputs.end(), {"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "1920x1080", "-r",
                                     "24000/1001", "-i", eye});
    inputs.insert(inputs.end(), {"-i", "/src/Movie.m2ts", "-filter_complex", "[0:v][1:v]hstack=inputs=2[sbs]",
                                 "-map", "[sbs]", "-map", "2:a:0?"});
    auto with = [&](Arguments tail) {
        Arguments all = inputs;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    SBSEncodeSpec spec{.leftView = "/w/L.yuv",
                       .rightView = "/w/R.yuv",
                       .sourceAudio = "/src/Movie.m2ts",
                       .output = "/out/Movie_SBS.mkv",
                       .sourceAudioCodec = "ac3"};
    EXPECT_EQ(encodeSBSArguments(spec, vt),
              with({"-c:v", "h264_videotoolbox", "-q:v", "80", "-metadata:s:v:0", "stereo_mode=left_right",
                    "-maxrate", "30M", "-bufsize", "60M", "-c:a", "copy", "-sn", "-dn", "-shortest",
                    "/out/Movie_SBS.mkv"}));
    // QuickTime (any case of its extension) always takes HEVC.
    spec.output = "/out/Movie_SBS.MOV";
    spec.qualityPreset = QualityPreset::low;
    EXPECT_EQ(encodeSBSArguments(spec, sw),
              with({"-c:v", "libx265", "-preset", "veryfast", "-crf", "28", "-tag:v", "hvc1",
                    "-metadata:s:v:0", "stereo_mode=left_right", "-movflags", "+faststart", "-c:a", "copy",
                    "-sn", "-dn", "-shortest", "/out/Movie_SBS.MOV"}));
    spec.output = "/out/Movie_SBS.mkv";
    spec.outputCodec = OutputCodec::h265;
    spec.qualityPreset = QualityPreset::ultraHigh;
    EXPECT_EQ(encodeSBSArguments(spec, vt),
              with({"-c:v", "hevc_videotoolbox", "-q:v", "85", "-tag:v", "hvc1", "-metadata:s:v:0",
                    "stereo_mode=left_right", "-maxrate", "35M", "-bufsize", "70M", "-c:a", "copy", "-sn",
                    "-dn", "-shortest", "/out/Movie_SBS.mkv"}));
}

TEST(EncodeRemuxArguments, SideBySideSourceAndMVHEVCStage) {
    EXPECT_EQ(
        sideBySideRemuxArguments("/in/film.mkv", "/w/film_remuxed.mov", vt),
        (Arguments{"-y", "-i", "/in/film.mkv", "-c:v", "copy", "-tag:v", "hvc1", "-c:a", "aac_at", "-b:a",
                   "448k", "-ac", "6", "-ar", "48000", "-movflags", "+faststart", "/w/film_remuxed.mov"}));
    EXPECT_EQ(
        sideBySideRemuxArguments("/in/film.mkv", "/w/film_remuxed.mov", sw),
        (Arguments{"-y", "-i", "/in/film.mkv", "-c:v", "copy", "-tag:v", "hvc1", "-c:a", "aac", "-b:a",
                   "448k", "-ac", "6", "-ar", "48000", "-movflags", "+faststart", "/w/film_remuxed.mov"}));
    EXPECT_EQ(mvhevcRemuxArguments("/w/Movie_SBS.MKV", "/w/Movie_SBS.mov"),
              (Arguments{"-y", "-i", "/w/Movie_SBS.MKV", "-c:v", "copy", "-c:a", "copy", "-tag:v", "hvc1",
                         "-movflags", "+faststart", "/w/Movie_SBS.mov"}));
}

TEST(EncodeRemuxArguments, HEVCTagOnlyWhenTheVideoMayBeHEVC) {
    Arguments remux = mvhevcRemuxArguments("/w/a.mkv", "/w/a.mov");
    EXPECT_EQ(withHEVCTagOnlyFor(remux, "hevc"), remux);
    EXPECT_EQ(withHEVCTagOnlyFor(remux, std::nullopt), remux);
    EXPECT_EQ(withHEVCTagOnlyFor(remux, "h264"), (Arguments{"-y", "-i", "/w/a.mkv", "-c:v", "copy", "-c:a",
                                                            "copy", "-movflags", "+faststart", "/w/a.mov"}));
}

// The generated scripts are run end to end elsewhere; here only what the job
// decides: which frames make which eye, the limit, and the encoder settings.
TEST(FrameAlternateScript, EyeOrderLimitAndEncoderFollowTheJob) {
    FrameAlternateScriptSpec spec = frameAlternateSpec("/in/fa.mkv", "/o/fa_SBS.mkv");
    std::string leftFirst = frameAlternateScript(spec, vt);
    EXPECT_NE(leftFirst.find("[a]select='not(mod(n\\,2))',setpts=2*N/FRAME_RATE/TB,fps=source_fps/2[left];"),
              std::string::npos);
    EXPECT_EQ(leftFirst.find(" -t "), std::string::npos);
    EXPECT_NE(leftFirst.find("-c:v h264_videotoolbox -q:v 80 -maxrate 30M -bufsize 60M"), std::string::npos);

    spec.ffmpegPath = "/t/ffmpeg";
    spec.outputPath = "/o/fa_SBS.mov";
    spec.rightFirst = true;
    spec.durationLimit = 30;
    spec.qualityPreset = QualityPreset::ultraHigh;
    spec.outputTarget = OutputTarget::visionPro;
    std::string design = frameAlternateScript(spec, vt);
    std::string software = frameAlternateScript(spec, sw);
    // The limit is the limit: the eyes run at the real rate, so 30 s of source is 30 s of movie.
    EXPECT_NE(design.find("\"$FFMPEG\" -y -t 30 -i \"$SOURCE\""), std::string::npos);
    EXPECT_NE(design.find("[a]select='not(mod(n\\,2))',setpts=2*N/FRAME_RATE/TB,fps=source_fps/2[right];"),
              std::string::npos);
    EXPECT_NE(design.find("[left][right]hstack=inputs=2[sbs]"), std::string::npos);
    EXPECT_NE(design.find("-c:v hevc_videotoolbox -q:v 85 -maxrate 35M -bufsize 70M"), std::string::npos);
    EXPECT_NE(software.find("-c:v libx265 -preset medium -crf 18 -maxrate 35M -bufsize 70M -tag:v hvc1"),
              std::string::npos);
    EXPECT_NE(software.find("-c:a aac -b:a 448k -ac 6 -ar 48000"), std::string::npos);
}

TEST(FrameAlternateScript, PathsCannotBreakOutOfTheirQuotes) {
    std::string script = frameAlternateScript(
        frameAlternateSpec("/in/a \"b\" $(touch x) `y`.mkv", "/o/it's \\ here_SBS.mkv"), vt);
    EXPECT_NE(script.find("SOURCE=\"/in/a \\\"b\\\" \\$(touch x) \\`y\\`.mkv\"\n"), std::string::npos);
    EXPECT_NE(script.find("\"/o/it's \\\\ here_SBS.mkv\" 2>"), std::string::npos);
}

TEST(PipePipelineScript, EyeSwapAndEncoderFollowTheJob) {
    PipeScriptSpec spec{.workFolder = "/w",
                        .viewpumpPath = "/t/viewpump",
                        .twinrowPath = "/t/twinrow",
                        .ffmpegPath = "/t/ffmpeg",
                        .sourceAudioPath = "/src/Movie.m2ts",
                        .outputPath = "/o/Movie_SBS.mov",
                        .rightFirst = true,
                        .outputTarget = OutputTarget::visionPro};
    std::string design = pipePipelineScript(spec, vt);
    EXPECT_NE(design.find("\"/t/twinrow\" 1920 1080 swap | \"/t/ffmpeg\""), std::string::npos);
    EXPECT_NE(design.find("-s 3840x1080 -r 24000/1001"), std::string::npos);
    EXPECT_NE(design.find("-c:v hevc_videotoolbox -q:v 80 -tag:v hvc1"), std::string::npos);

    spec.rightFirst = false;
    spec.outputTarget = OutputTarget::sbs3D;
    spec.qualityPreset = QualityPreset::low;
    std::string software = pipePipelineScript(spec, sw);
    EXPECT_NE(software.find("\"/t/twinrow\" 1920 1080 | \"/t/ffmpeg\""), std::string::npos);
    EXPECT_NE(software.find("-c:v libx265 -preset veryfast -crf 28 -tag:v hvc1"), std::string::npos);
    EXPECT_NE(software.find("-c:a copy"), std::string::npos);
}

TEST(ParallelPipelineArguments, ModesPresetsAndFlags) {
    ParallelArgumentsSpec spec = parallelSpec("/src/M.m2ts", "/o/M_SBS.mkv");
    Arguments head{"/t/fanout-run.sh",
                   "/w/M_interleaved.264",
                   "/src/M.m2ts",
                   "/o/M_SBS.mkv",
                   "--width",
                   "1920",
                   "--height",
                   "1080",
                   "--fps",
                   "24000/1001",
                   "--quality"};
    auto with = [&](Arguments tail) {
        Arguments all = head;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    EXPECT_EQ(parallelPipelineArguments(spec, vt),
              with({"80", "--audio-args", "-c:a copy", "--workdir", "/w", "--crf", "20", "--speed", "medium",
                    "--maxrate", "30"}));

    spec.qualityPreset = QualityPreset::medium;
    spec.directMVHEVC = true;
    spec.rightFirst = true;
    spec.outputTarget = OutputTarget::visionPro;
    spec.outputPath = "/o/M_SBS.mov";
    head[3] = "/o/M_SBS.mov";
    EXPECT_EQ(parallelPipelineArguments(spec, vt),
              with({"0.7", "--audio-args", "-c:a aac_at -b:a 448k -ac 6 -ar 48000", "--workdir", "/w",
                    "--mvhevc", "--swap"}));

    spec.qualityPreset = QualityPreset::ultraHigh;
    spec.dualSplitMVCPath = "/w/M.mvc";
    spec.interleavedPath = "/w/M.264";
    head[1] = "/w/M.264";
    EXPECT_EQ(parallelPipelineArguments(spec, vt),
              with({"0.88", "--audio-args", "-c:a aac_at -b:a 448k -ac 6 -ar 48000", "--workdir", "/w",
                    "--mvhevc", "--maxrate", "35", "--swap", "--dual-split", "/w/M.264", "/w/M.mvc"}));
}

// The decoded sound as 16-bit samples, to compare a copy or re-encode with its source.
std::vector<int16_t> decodedSamples(const std::filesystem::path& movie) {
    auto decoded = test::runCommand("/usr/bin/ffmpeg", {"-v", "error", "-i", movie.string(), "-map", "0:a:0",
                                                        "-f", "s16le", "-ac", "2", "-ar", "48000", "-"});
    EXPECT_EQ(decoded.status, 0) << decoded.standardError;
    std::vector<int16_t> samples(decoded.standardOutput.size() / 2);
    std::memcpy(samples.data(), decoded.standardOutput.data(), samples.size() * 2);
    return samples;
}

// Blu-ray LPCM and TrueHD, and FLAC or Opus from Matroska, are what a plain
// stream copy cannot put in one of the two containers. Judged by the sound
// that comes out, against the source's.
TEST(EncodeAudioArguments, EverySourceSoundReachesBothContainersUnchanged) {
    test::ScratchFolder work{"audio copy"};
    for (const auto& [encoder, container] : {std::pair{"pcm_bluray", "m2ts"},
                                             {"truehd", "mkv"},
                                             {"flac", "mkv"},
                                             {"libopus", "mkv"},
                                             {"ac3", "m2ts"},
                                             {"dca", "mkv"}}) {
        std::filesystem::path source = work / (std::string(encoder) + "." + container);
        auto made = test::runCommand("/usr/bin/ffmpeg",
                                     {"-v", "error", "-f", "lavfi", "-i",
                                      "aevalsrc=0.3*sin(440*2*PI*t)|0.2*sin(660*2*PI*t):s=48000:d=0.5",
                                      "-c:a", encoder, "-strict", "-2", source.string()});
        ASSERT_EQ(made.status, 0) << made.output;
        auto codec = probeAudioCodec(source);
        ASSERT_TRUE(codec) << encoder;
        const auto original = decodedSamples(source);
        ASSERT_GT(original.size(), 40000u) << encoder;
        for (const char* extension : {"mkv", "mov"}) {
            SCOPED_TRACE(*codec + " into " + extension);
            std::filesystem::path output = work / (std::string(encoder) + "_out." + extension);
            Arguments arguments{"-v", "error", "-y", "-i", source.string(), "-map", "0:a"};
            auto audio = audioCopyArguments(extension, codec);
            arguments.insert(arguments.end(), audio.begin(), audio.end());
            arguments.push_back(output.string());
            auto muxed = test::runCommand("/usr/bin/ffmpeg", arguments);
            ASSERT_EQ(muxed.status, 0) << muxed.output;
            const auto copied = decodedSamples(output);
            ASSERT_EQ(copied.size(), original.size());
            // Exact, but for a float decoder's last bit through 24-bit PCM.
            int worst = 0;
            for (size_t i = 0; i < copied.size(); ++i)
                worst = std::max(worst, std::abs(copied[i] - original[i]));
            EXPECT_LE(worst, 1);
        }
    }
}

TEST(EncodeFFmpegTime, ParsesClockValuesAndRejectsMalformedOnes) {
    EXPECT_DOUBLE_EQ(*parseClockTime("00:01:02.50"), 62.5);
    EXPECT_DOUBLE_EQ(*parseClockTime("01:00:00.00"), 3600);
    EXPECT_DOUBLE_EQ(*parseClockTime("1:2:3"), 3723);
    for (const char* bad :
         {"", "N/A", "01:02", "00:00:01:02", "aa:00:01", "00::01", "00:00:1x", "-00:00:00.02"})
        EXPECT_FALSE(parseClockTime(bad)) << bad;
    EXPECT_EQ(*timeTextOfLine("frame=  48 fps=0.0 q=-1.0 size= 256kB time=00:00:02.00 bitrate= 1.0"),
              "00:00:02.00");
    EXPECT_EQ(*timeTextOfLine("size=N/A time=00:00:09.96"), "00:00:09.96");
    EXPECT_FALSE(timeTextOfLine("frame=1 fps=0"));
    // The last value that parses wins, whatever line breaks separate them.
    EXPECT_DOUBLE_EQ(lastTimeInLog("a time=00:00:01.00 b\rc time=00:00:03.25 d\nlast time=N/A x"), 3.25);
    EXPECT_DOUBLE_EQ(lastTimeInLog("no progress yet"), 0);
    EXPECT_DOUBLE_EQ(lastTimeInLog("time=00:00:04.5"), 4.5);
}

// One argument list per new route step: StereoPacker cutting a layout and
// writing spatial metadata, the script's graph for a frame-packed source, and
// the parallel script's direct MV-HEVC mode handing the metadata on.
TEST(FramePackedRouteArguments, LayoutAndSpatialMetadata) {
    SpatialMetadata spatial{63.4, 19.24, 0.02};
    EXPECT_EQ(stereoPackerArguments("/i.mkv", "/o.mov", QualityPreset::medium,
                                    Stereo3DMode::topBottom(true, true), spatial),
              (Arguments{"/i.mkv", "/o.mov", "0.7", "--layout", "htb", "--right-first", "--hfov", "63.4",
                         "--baseline", "19.24", "--disparity-adjustment", "0.02"}));
    // Full side by side, left eye first, is what StereoPacker takes anyway.
    EXPECT_EQ(stereoPackerArguments("/i.mov", "/o.mov", QualityPreset::low, Stereo3DMode::sideBySide()),
              (Arguments{"/i.mov", "/o.mov", "0.5"}));
    EXPECT_EQ(stereoPackerArguments("/i.mov", "/o.mov", QualityPreset::ultraHigh),
              (Arguments{"/i.mov", "/o.mov", "0.88", "35"}));

    EXPECT_EQ(framePackedFilter(Stereo3DMode::sideBySide(false, true), 1920, 1080),
              "        [0:v]split[a][b];\n"
              "        [a]crop=960:1080:0:0,scale=1920:1080:flags=lanczos,setsar=1[left];\n"
              "        [b]crop=960:1080:960:0,scale=1920:1080:flags=lanczos,setsar=1[right];\n"
              "        [left][right]hstack=inputs=2[sbs]\n");
    EXPECT_EQ(framePackedFilter(Stereo3DMode::topBottom(true, false), 1920, 2160),
              "        [0:v]split[a][b];\n"
              "        [a]crop=1920:1080:0:0,setsar=1[right];\n"
              "        [b]crop=1920:1080:0:1080,setsar=1[left];\n"
              "        [left][right]hstack=inputs=2[sbs]\n");

    ParallelArgumentsSpec spec = parallelSpec("/src/M.mkv", "/o/M.mov");
    spec.qualityPreset = QualityPreset::low;
    spec.outputTarget = OutputTarget::visionPro;
    spec.directMVHEVC = true;
    SpatialMetadata baseline;
    baseline.baselineMillimetres = 65;
    Arguments arguments = parallelPipelineArguments(spec, vt, baseline);
    EXPECT_EQ(Arguments(arguments.end() - 3, arguments.end()), (Arguments{"--mvhevc", "--baseline", "65"}));
}

} // namespace
} // namespace duoscope
