// Helpers for tests that generate media with ffmpeg and check it with ffmpeg.
#pragma once

#include "TestSupport.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testmedia {

// Runs a shell command (through the shared runner, with its timeout); returns
// its standard output, and standard error too when mergeStderr.
inline std::string run(const std::string& cmd, int* status = nullptr, bool mergeStderr = false) {
    const auto result = duoscope::test::runCommand("/bin/sh", {"-c", cmd});
    if (status) *status = result.status;
    return mergeStderr ? result.output : result.standardOutput;
}

// Runs a shell command line with standard output and error kept apart (and together in `output`).
inline duoscope::test::CommandResult runShell(const std::string& cmd) {
    return duoscope::test::runCommand("/bin/sh", {"-c", cmd});
}

inline std::string q(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

// A fresh folder under the build tree's test folder, private to this process (CTest may run
// several cases of one suite at once) and removed when the process ends.
inline std::filesystem::path scratch(const std::string& name) {
    struct Owned {
        std::vector<std::filesystem::path> dirs;
        ~Owned() {
            std::error_code ec;
            for (auto& d : dirs)
                std::filesystem::remove_all(d, ec);
        }
    };
    static Owned owned;
    auto dir = std::filesystem::path(DUOSCOPE_BINARY_DIR) / "tests" / "scratch" /
               (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    owned.dirs.push_back(dir);
    return dir;
}

// Side-by-side I420 frames: left eye = testsrc2, right eye = the same scene shifted 8 pixels
// (disparity) with a white box only the right eye sees.
inline std::string sbsFilter(int w, int h, const std::string& rate) {
    return "testsrc2=size=" + std::to_string(w + 8) + "x" + std::to_string(h) + ":rate=" + rate +
           ",split[a][b];[a]crop=" + std::to_string(w) + ":" + std::to_string(h) +
           ":0:0[l];[b]crop=" + std::to_string(w) + ":" + std::to_string(h) +
           ":8:0,drawbox=x=" + std::to_string(w / 8) + ":y=" + std::to_string(h / 8) +
           ":w=" + std::to_string(w / 6) + ":h=" + std::to_string(h / 6) +
           ":color=white:t=fill[r];[l][r]hstack,format=yuv420p";
}

inline bool makeSbsYuv(const std::filesystem::path& out, int w, int h, int frames,
                       const std::string& rate = "24") {
    int st = 0;
    run("ffmpeg -nostdin -y -f lavfi -i '" + sbsFilter(w, h, rate) + "' -frames:v " + std::to_string(frames) +
            " -f rawvideo " + q(out),
        &st);
    return st == 0;
}

using duoscope::test::framemd5Lines;

// The frames' MD5s of the first video stream of an ffmpeg input.
inline std::vector<std::string> frameHashes(const std::string& inputArgs) {
    return duoscope::test::frameMd5s(
        run("ffmpeg -nostdin -v error " + inputArgs + " -map 0:v:0 -f framemd5 -"));
}

// Average PSNR (dB) of a decoded stream against raw I420 frames of the given size.
inline double psnr(const std::string& decodedArgs, const std::filesystem::path& rawYuv, int w, int h) {
    const std::string out =
        run("ffmpeg -nostdin -v info " + decodedArgs + " -f rawvideo -pix_fmt yuv420p -s " +
                std::to_string(w) + "x" + std::to_string(h) + " -i " + q(rawYuv) +
                " -lavfi '[0:v]settb=1/25,setpts=N[a];[1:v]settb=1/25,setpts=N[b];[a][b]psnr' -f null -",
            nullptr, true);
    const size_t p = out.find("average:");
    if (p == std::string::npos) return 0;
    return std::stod(out.substr(p + 8));
}

// Packet hashes of the first audio stream (column 6 of framemd5; later columns hold side data).
inline std::vector<std::string> audioHashes(const std::filesystem::path& f) {
    const std::string out = run("ffmpeg -nostdin -v error -i " + q(f) + " -map 0:a:0 -c copy -f framemd5 -");
    std::vector<std::string> v;
    for (const std::string& line : framemd5Lines(out)) {
        size_t field = 0;
        for (int i = 0; i < 5 && field != std::string::npos; ++i)
            field = line.find(',', field + 1);
        if (field == std::string::npos) continue;
        const size_t stop = line.find(',', field + 1);
        v.push_back(line.substr(field + 1, stop == std::string::npos ? std::string::npos : stop - field - 1));
    }
    return v;
}

using duoscope::test::readBytes;

} // namespace testmedia
