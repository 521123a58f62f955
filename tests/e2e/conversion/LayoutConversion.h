// What the layout conversion tests share: the kit's eyes packed by ffmpeg into
// one layout, the eyes the conversion should give back, and a conversion to
// both targets judged by shape, rate, every frame, eye order and PSNR.
#pragma once

#include <gtest/gtest.h>

#include "CommandLineRun.h"
#include "StereoChecks.h"
#include "TestSupport.h"

namespace duoscope::test {

namespace fs = std::filesystem;

inline const std::string stereocheck = std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck";

struct Layout {
    std::string name;   // file name and what the case shows
    std::string filter; // ffmpeg graph from [l][r] (the eyes) to [v]
    std::string tag;    // Matroska stereo_mode, or "" for none
    std::string sar;    // sample aspect ratio to store, or ""
    bool isHalf = false;
    bool sideBySide = true;
};

class LayoutConversion : public CommandLineRun {
  protected:
    struct Set {
        fs::path folder;
        int width = 0, height = 0, frames = 0;
    };

    // The layout's source movie and the two eyes as the conversion should
    // give them back: a half eye is squeezed by ffmpeg's default scaler and
    // stretched back with Lanczos, as the routes do.
    fs::path pack(const Set& set, const Layout& layout, fs::path& leftReference, fs::path& rightReference) {
        std::string size = std::to_string(set.width) + "x" + std::to_string(set.height);
        std::string frames = std::to_string(set.frames);
        auto raw = [&](const std::string& eye) {
            return std::vector<std::string>{
                "-f", "rawvideo", "-pix_fmt",   "yuv420p", "-s",
                size, "-r",       "24000/1001", "-i",      (set.folder / (eye + "_src.yuv")).string()};
        };
        fs::path source = work / (layout.name + ".mkv");
        std::vector<std::string> arguments{"-v", "error", "-y"};
        for (const char* eye : {"left", "right"})
            for (auto& a : raw(eye))
                arguments.push_back(a);
        std::string graph = "[0:v]null[l];[1:v]null[r];" + layout.filter;
        if (!layout.sar.empty()) graph += ",setsar=" + layout.sar;
        arguments.insert(arguments.end(),
                         {"-i", (set.folder / "audio.ac3").string(), "-filter_complex", graph + "[v]", "-map",
                          "[v]", "-map", "2:a", "-frames:v", frames, "-c:v", "libx264", "-preset", "veryfast",
                          "-crf", "14", "-c:a", "copy"});
        if (!layout.tag.empty())
            arguments.insert(arguments.end(), {"-metadata:s:v:0", "stereo_mode=" + layout.tag});
        arguments.push_back(source.string());
        auto made = runCommand("/usr/bin/ffmpeg", arguments);
        EXPECT_EQ(made.status, 0) << made.output;

        for (const char* eye : {"left", "right"}) {
            fs::path reference = work / (layout.name + "_" + eye + ".yuv");
            std::string squeeze = layout.sideBySide
                                      ? std::to_string(set.width / 2) + ":" + std::to_string(set.height)
                                      : std::to_string(set.width) + ":" + std::to_string(set.height / 2);
            std::vector<std::string> scale{"-v", "error", "-y"};
            for (auto& a : raw(eye))
                scale.push_back(a);
            scale.insert(scale.end(),
                         {"-frames:v", frames, "-vf",
                          layout.isHalf ? "scale=" + squeeze + ",scale=" + size + ":flags=lanczos" : "null",
                          "-f", "rawvideo", "-pix_fmt", "yuv420p", reference.string()});
            auto scaled = runCommand("/usr/bin/ffmpeg", scale);
            EXPECT_EQ(scaled.status, 0) << scaled.output;
            (std::string(eye) == "left" ? leftReference : rightReference) = reference;
        }
        return source;
    }

    // Both targets from one source: the shape, the rate, every frame and both eyes in order.
    void convertToBothTargets(const Set& set, const fs::path& source, const fs::path& left,
                              const fs::path& right, const std::string& what,
                              std::vector<std::string> extra = {}) {
        std::string size = std::to_string(set.width) + "x" + std::to_string(set.height);
        std::string frames = std::to_string(set.frames);
        std::string stem = source.stem().string();
        for (bool mvhevc : {false, true}) {
            storeTarget(mvhevc ? "Apple Vision Pro (MV-HEVC)" : "SBS 3D (MKV)");
            fs::path output = work / (stem + (mvhevc ? " mvhevc" : " sbs"));
            auto result = convert(source, output, extra);
            ASSERT_EQ(result.status, 0) << what << ": " << result.output;
            fs::path movie = output / (stem + (mvhevc ? "_MV-HEVC.mov" : "_SBS.mkv"));
            ASSERT_TRUE(fs::exists(movie)) << what << ": " << result.output;
            auto probe =
                runCommand("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                                "stream=width,height,sample_aspect_ratio,r_frame_rate", "-of",
                                                "csv=p=0", movie.string()});
            int width = mvhevc ? set.width : 2 * set.width;
            // The display shape: square samples, each eye at the source eye's full size.
            std::string shape = std::to_string(width) + "," + std::to_string(set.height);
            EXPECT_TRUE(probe.output.starts_with(shape + ",1:1,24000/1001") ||
                        probe.output.starts_with(shape + ",N/A,24000/1001"))
                << what << (mvhevc ? " MV-HEVC: " : " SBS: ") << probe.output;
            std::vector<std::string> check{"--left",     left.string(), "--right",     right.string(),
                                           "--size",     size,          "--frames",    frames,
                                           "--min-psnr", "34",          movie.string()};
            if (mvhevc) {
                fs::path rightEye = output / "right.hevc";
                ASSERT_TRUE(stereochecks::extractRightEye(movie, rightEye));
                check.push_back(rightEye.string());
            }
            auto eyes = runCommand(stereocheck, check);
            EXPECT_EQ(eyes.status, 0) << what << (mvhevc ? " MV-HEVC: " : " SBS: ") << eyes.output;
        }
    }

    ScratchFolder work{"layout conversions"};
};

} // namespace duoscope::test
