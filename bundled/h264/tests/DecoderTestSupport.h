// Helpers for the decoder tests: run a command, make test media with x264
// and reference checksums with ffmpeg, in a per-test work folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "TestSupport.h"

namespace h264test {

inline std::string workDir() {
    std::filesystem::path dir = std::filesystem::path(DUOSCOPE_BINARY_DIR) / "tests" / "h264_work";
    std::filesystem::create_directories(dir);
    return dir.string();
}

using duoscope::test::CommandResult;

// A command line of the decoder tests, run by the shell (standard output and
// error together), killed after ten minutes.
inline CommandResult run(const std::string& command) {
    return duoscope::test::runCommand("/bin/sh", {"-c", command});
}

using duoscope::test::readFile;

inline std::string ldecod() {
    return std::string(DUOSCOPE_TOOLS_DIR) + "/ldecod";
}

// A testsrc2 clip as y4m, made once per size and frame count.
inline std::string sourceClip(const std::string& size, int frames) {
    std::string path = workDir() + "/src_" + size + "_" + std::to_string(frames) + ".y4m";
    if (!std::filesystem::exists(path)) {
        std::string tmp = path + "." + std::to_string(getpid()) + ".part.y4m";
        run("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=" + size + ":rate=25 -frames:v " +
            std::to_string(frames) + " -pix_fmt yuv420p " + tmp);
        std::filesystem::rename(tmp, path);
    }
    return path;
}

// ffmpeg's per-frame MD5 list of base.264, written to base.md5.
inline CommandResult referenceMd5(const std::string& base) {
    return run("ffmpeg -nostdin -loglevel error -y -i " + base + ".264 -f framemd5 " + base + ".md5");
}

// ldecod on base.264 (frames to base.yuv), checked against base.md5.
inline CommandResult decodeAndVerify(const std::string& base) {
    return run(ldecod() + " -p InputFile=" + base + ".264 -p OutputFile=" + base +
               ".yuv -p VerifyMd5=" + base + ".md5");
}

// Encodes a clip with x264 and writes ffmpeg's per-frame MD5 list beside it.
// Returns false (with the tool output in log) when a tool fails.
inline bool makeStream(const std::string& name, const std::string& size, int frames,
                       const std::string& x264Options, std::string& log) {
    std::string dir = workDir();
    CommandResult enc =
        run("x264 --quiet " + x264Options + " -o " + dir + "/" + name + ".264 " + sourceClip(size, frames));
    if (enc.status != 0) {
        log = enc.output;
        return false;
    }
    CommandResult ref = referenceMd5(dir + "/" + name);
    log = ref.output;
    return ref.status == 0;
}

} // namespace h264test
