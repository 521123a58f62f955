// Blu-ray 3D disc backups through the command line: the kit's disc folders and
// ISO image, both targets and every decode route, judged by frames, rate,
// per-eye PSNR against the kit's sources, eye order and chapters; and the
// damaged discs, which must fail with their cause and leave nothing behind.
#include <gtest/gtest.h>

#include <fstream>

#include "CommandLineRun.h"
#include "PipelineEngine.h"
#include "StereoChecks.h"
#include "TestSupport.h"
#include "ToolLocator.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path discs = kitSmallSet / "discs";
const std::string stereocheck = std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck";
// The 3D title: three clips of 24, 12 and 12 frames, four chapters.
constexpr int titleFrames = 48;

class Disc : public CommandLineRun {
  protected:
    // The frames, the rate and the sound in its language, both eyes against the kit's sources in
    // the right order. (A QuickTime movie's chapters are a data stream of their own.)
    void expectEyes(const fs::path& movie, bool mvhevc, int frames, const std::string& language = "eng") {
        auto streams =
            runCommand("/usr/bin/ffprobe", {"-v", "error", "-show_entries", "stream=codec_type,r_frame_rate",
                                            "-of", "default=nw=1", movie.string()});
        std::string videoAndSound = streams.standardOutput;
        const std::string chapterStream = "codec_type=data\nr_frame_rate=0/0\n";
        if (auto at = videoAndSound.find(chapterStream); at != std::string::npos)
            videoAndSound.erase(at, chapterStream.size());
        EXPECT_EQ(videoAndSound,
                  "codec_type=video\nr_frame_rate=24000/1001\ncodec_type=audio\nr_frame_rate=0/0\n");
        auto tag = runCommand("/usr/bin/ffprobe",
                              {"-v", "error", "-select_streams", "a", "-show_entries", "stream_tags=language",
                               "-of", "default=nw=1:nk=1", movie.string()});
        EXPECT_EQ(tag.standardOutput, language + "\n");
        std::vector<std::string> check{"--set",    kitSmallSet.string(),   "--min-psnr",  "35",
                                       "--frames", std::to_string(frames), movie.string()};
        fs::path right = work / "right.hevc";
        if (mvhevc) {
            ASSERT_TRUE(stereochecks::extractRightEye(movie, right));
            check.push_back(right.string());
        }
        auto eyes = runCommand(stereocheck, check);
        EXPECT_EQ(eyes.status, 0) << eyes.output;
    }
    static std::vector<double> chapterStarts(const fs::path& movie) {
        auto listing = runCommand("/usr/bin/ffprobe", {"-v", "error", "-show_entries", "chapter=start_time",
                                                       "-of", "csv=p=0", movie.string()});
        std::vector<double> starts;
        std::istringstream lines(listing.standardOutput);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) starts.push_back(std::stod(line));
        return starts;
    }
    // A copy of a kit disc folder to damage.
    fs::path copyOfDisc(const std::string& name) {
        fs::path copy = work / ("damaged " + name);
        fs::remove_all(copy);
        fs::copy(discs / name, copy, fs::copy_options::recursive);
        return copy;
    }
    // A tools folder of every built tool but the `missing` ones, with Duoscope beside it.
    fs::path programWithout(const std::string& name, const std::vector<std::string>& missing) {
        fs::path bin = work / name;
        fs::create_directories(bin / "tools");
        for (const auto& entry : fs::directory_iterator(DUOSCOPE_TOOLS_DIR))
            if (std::find(missing.begin(), missing.end(), entry.path().filename()) == missing.end())
                fs::create_symlink(entry.path(), bin / "tools" / entry.path().filename());
        for (const char* tool : {"ffmpeg", "ffprobe"})
            fs::create_symlink(fs::path("/usr/bin") / tool, bin / "tools" / tool);
        fs::copy_file(duoscopeProgram, bin / "Duoscope");
        return bin / "Duoscope";
    }
    void expectFailure(const std::vector<std::string>& arguments, const std::string& cause,
                       const fs::path& output) {
        auto result = runCommand(duoscopeProgram, arguments);
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find(cause), std::string::npos) << result.output;
        if (fs::exists(output)) EXPECT_TRUE(entries(output).empty()) << result.output;
    }

    ScratchFolder work{"disc e2e"};
};

// Folder and image, both targets, through the default (parallel) route.
TEST_F(Disc, FolderAndImageConvertForBothTargets) {
    const auto discFiles = entries(discs);
    // The image is read the same whatever the target.
    for (const auto& [source, target] : {std::pair{"film3d", "sbs"}, std::pair{"film3d.iso", "mvhevc"},
                                         std::pair{"film3d/BDMV", "mvhevc"}}) {
        SCOPED_TRACE(std::string(source) + " → " + target);
        fs::path output = work / "out";
        fs::remove_all(output);
        auto result = convert((discs / source).string(), output.string(), {"--target", target});
        ASSERT_EQ(result.status, 0) << result.output;
        bool mvhevc = std::string(target) == "mvhevc";
        fs::path movie = output / (mvhevc ? "film3d.mov" : "film3d_SBS.mkv");
        ASSERT_TRUE(fs::exists(movie)) << result.output;
        EXPECT_EQ(entries(output).size(), 1u) << result.output;
        expectEyes(movie, mvhevc, titleFrames);
        EXPECT_EQ(chapterStarts(movie), (std::vector<double>{0, 0.5, 1.001, 1.501}));
    }
    // Nothing was written next to the image or into the folder.
    EXPECT_EQ(entries(discs), discFiles);
}

// The right-eye-base disc swaps its eyes back through the named-pipe and disk
// routes; a limit cuts frames and chapters; the French sound is taken when asked for.
TEST_F(Disc, RightEyeBaseThroughThePipeAndDiskRoutesWithALimit) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "viewpump")) GTEST_SKIP() << "viewpump is not built";
    fs::path program = programWithout("pipe", {"fanout-run.sh"});
    fs::path output = work / "pipe out";
    auto result = runCommand(program.string(),
                             {"--input", (discs / "film3d_right").string(), "--auto-convert", "--output",
                              output.string(), "--target", "sbs", "--duration", "1", "--audio-lang", "fra"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("using single-threaded FIFO pipeline"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("sound: fra AC-3"), std::string::npos) << result.output;
    expectEyes(output / "film3d_right_SBS.mkv", false, 24, "fra");
    EXPECT_EQ(chapterStarts(output / "film3d_right_SBS.mkv"), (std::vector<double>{0, 0.5}));

    fs::path diskTools = program.parent_path() / "tools";
    fs::remove(diskTools / "viewpump");
    duoscope::setPriorityToolFolder(diskTools, true);
    for (auto target : {duoscope::OutputTarget::sbs3D, duoscope::OutputTarget::visionPro}) {
        fs::path diskOutput = work / "disk out";
        fs::remove_all(diskOutput);
        std::vector<std::string> log;
        duoscope::PipelineEngine engine;
        engine.verboseLogging = true;
        engine.onLog = [&](const std::string& line) { log.push_back(line); };
        duoscope::ConversionJob job;
        job.sourceURL = discs / "film3d_right";
        job.outputDirectory = diskOutput;
        job.outputTarget = target;
        job.qualityPreset = duoscope::QualityPreset::medium;
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
        fs::path movie = diskOutput / (mvhevc ? "film3d_right.mov" : "film3d_right_SBS.mkv");
        expectEyes(movie, mvhevc, titleFrames);
        EXPECT_EQ(chapterStarts(movie), (std::vector<double>{0, 0.5, 1.001, 1.501}));
    }
    duoscope::setPriorityToolFolder({});
}

// A base clip inside a disc folder converts with its own dependent clip; a playlist file picks its title.
TEST_F(Disc, ABaseClipOrAPlaylistInsideTheFolder) {
    fs::path output = work / "clip";
    auto result =
        convert((discs / "film3d/BDMV/STREAM/00002.m2ts").string(), output.string(), {"--target", "sbs"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("its dependent view is 00012.m2ts"), std::string::npos) << result.output;
    auto frames = runCommand("/usr/bin/ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                                  "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0",
                                                  (output / "film3d_00002_SBS.mkv").string()});
    EXPECT_TRUE(frames.standardOutput.starts_with("12")) << frames.standardOutput;

    auto analysis =
        runCommand(duoscopeProgram, {"--analyze", (discs / "film3d/BDMV/PLAYLIST/00002.mpls").string()});
    EXPECT_EQ(analysis.status, 1);
    EXPECT_NE(analysis.output.find("00002.mpls) is not stereoscopic 3D"), std::string::npos)
        << analysis.output;
    auto listing = runCommand(duoscopeProgram, {"--list-titles", (discs / "film3d.iso").string()});
    ASSERT_EQ(listing.status, 0) << listing.output;
    EXPECT_NE(
        listing.output.find("00001.mpls  0:00:02  3 clips  4 chapters  3D: yes  audio: eng AC-3, fra AC-3  "
                            "(default)"),
        std::string::npos)
        << listing.output;
    EXPECT_NE(listing.output.find("00002.mpls  0:00:01  1 clip  1 chapter  3D: no"), std::string::npos)
        << listing.output;
}

// Each damaged disc fails before any work with its cause, and leaves nothing.
TEST_F(Disc, DamagedDiscsSayWhyAndLeaveNothing) {
    fs::path output = work / "failed";
    fs::path missing = copyOfDisc("film3d");
    fs::remove(missing / "BDMV/STREAM/00012.m2ts");
    expectFailure({"--input", missing.string(), "--auto-convert", "--output", output.string()},
                  "the 3D clip 00012.m2ts named by playlist 00001.mpls is missing", output);

    fs::path empty = copyOfDisc("film3d_right");
    fs::resize_file(empty / "BDMV/STREAM/00013.m2ts", 0);
    expectFailure({"--input", empty.string(), "--auto-convert", "--output", output.string()},
                  "the 3D clip 00013.m2ts named by playlist 00001.mpls is empty", output);
    fs::path cut = copyOfDisc("film3d");
    fs::resize_file(cut / "BDMV/STREAM/00002.m2ts", fs::file_size(cut / "BDMV/STREAM/00002.m2ts") - 100);
    expectFailure({"--input", cut.string(), "--auto-convert", "--output", output.string()},
                  "00002.m2ts named by playlist 00001.mpls is cut short", output);

    expectFailure({"--analyze", (discs / "film2d").string()}, "no stereoscopic 3D title on this disc",
                  output);
    // A disc still under AACS is refused as it is, whatever could decrypt it.
    expectFailure(
        {"--input", (discs / "film3d_aacs").string(), "--auto-convert", "--output", output.string()},
        "is encrypted (AACS); Duoscope never decrypts", output);

    fs::path junk = work / "junk.iso";
    std::ofstream(junk) << std::string(1 << 16, 'x');
    expectFailure({"--input", junk.string(), "--auto-convert", "--output", output.string()},
                  "readable UDF image", output);

    // A disc folder is never an output folder, not even a new folder inside it.
    fs::path inside = missing / "Converted";
    expectFailure({"--input", missing.string(), "--auto-convert", "--output", inside.string()},
                  "lies inside the disc folder", output);
    EXPECT_FALSE(fs::exists(inside));
}

} // namespace
