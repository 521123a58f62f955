#include "StereoKit.h"

#include "Containers.h"
#include "TestSupport.h"
#include "ToolRuns.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kit {
namespace fs = std::filesystem;
namespace {

constexpr const char* kKitVersion = "stereokit 1";

using duoscope::test::readFile;
using duoscope::test::words;
using duoscope::test::writeFile;

Bytes readBytes(const fs::path& path) {
    return duoscope::test::readBytes(path);
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
    duoscope::test::writeBytes(path, bytes);
}

std::string rateText(FrameRate rate) {
    return std::to_string(rate.num) + "/" + std::to_string(rate.den);
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

void add(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

std::vector<std::string> x264Command(const SetSpec& spec, const EncodeProfile& profile, const fs::path& input,
                                     const fs::path& output, int spsId) {
    const std::string keyint = std::to_string(spec.keyint);
    std::vector<std::string> args =
        words("x264 --quiet --demuxer raw --input-csp i420 --preset fast --crf 23 "
              "--no-scenecut --b-adapt 0 --threads 1");
    add(args, {"--input-res", sizeText(spec.width, spec.height), "--fps", rateText(spec.rate), "--keyint",
               keyint, "--min-keyint", keyint, "--sps-id", std::to_string(spsId)});
    add(args, profile.x264Arguments);
    add(args, {"-o", output.string(), input.string()});
    return args;
}

std::vector<std::string> ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> all = words("ffmpeg -nostdin -hide_banner -v error -y");
    add(all, args);
    return all;
}

void makeSources(const SetSpec& spec, const fs::path& dir) {
    const int w = spec.width, h = spec.height;
    const double seconds = static_cast<double>(spec.frames) * static_cast<double>(spec.rate.den) /
                           static_cast<double>(spec.rate.num);
    std::ostringstream graph;
    // The left eye alone gets a white block so that swapped eyes show.
    graph << "[0:v]fade=in:0:6,split[a][b];"
          << "[a]crop=" << w << ":" << h << ":" << spec.disparity << ":0,drawbox=x=" << w / 16
          << ":y=" << h / 16 << ":w=" << w / 8 << ":h=" << h / 8 << ":color=white:t=fill[l];"
          << "[b]crop=" << w << ":" << h << ":0:0[r]";
    std::ostringstream audio;
    audio << "aevalsrc=exprs=0.4*sin(2*PI*440*t)|0.4*sin(2*PI*660*t):s=48000:d=" << seconds;
    std::vector<std::string> args{"-f",
                                  "lavfi",
                                  "-i",
                                  "testsrc2=size=" + sizeText(w + spec.disparity, h) +
                                      ":rate=" + rateText(spec.rate),
                                  "-f",
                                  "lavfi",
                                  "-i",
                                  audio.str(),
                                  "-filter_complex",
                                  graph.str()};
    for (const auto& [label, file] : {std::pair{"[l]", "left_src.yuv"}, std::pair{"[r]", "right_src.yuv"}})
        add(args, {"-map", label, "-frames:v", std::to_string(spec.frames), "-pix_fmt", "yuv420p", "-f",
                   "rawvideo", (dir / file).string()});
    add(args, {"-map", "1:a", "-c:a", "pcm_s16le", (dir / "audio.wav").string()});
    run(ffmpeg(args));
    run(ffmpeg({"-i", (dir / "audio.wav").string(), "-c:a", "ac3", "-b:a", "192k", "-f", "ac3",
                (dir / "audio.ac3").string()}));
}

// The movies that are already side by side or frame-alternate.
void makeStereoMovies(const SetSpec& spec, const fs::path& dir) {
    const std::string size = sizeText(spec.width, spec.height);
    const std::string rate = rateText(spec.rate);
    auto inputs = [&](std::vector<std::string>& a) {
        for (const char* eye : {"left_src.yuv", "right_src.yuv"})
            a.insert(a.end(), {"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size, "-r", rate, "-i",
                               (dir / eye).string()});
        a.insert(a.end(), {"-i", (dir / "audio.wav").string()});
    };
    std::vector<std::string> video = words("-c:v libx264 -preset veryfast -crf 18 -pix_fmt yuv420p");
    add(video, {"-g", std::to_string(spec.keyint * 2)});
    std::vector<std::vector<std::string>> jobs;
    auto start = [&](const std::string& filter, const std::vector<std::string>& extra,
                     const std::string& file) {
        std::vector<std::string> a = ffmpeg({});
        inputs(a);
        a.insert(a.end(), {"-filter_complex", filter, "-map", "[v]", "-map", "2:a"});
        a.insert(a.end(), video.begin(), video.end());
        a.insert(a.end(), extra.begin(), extra.end());
        a.push_back((dir / file).string());
        jobs.push_back(a);
    };
    const std::string sbs = "[0:v][1:v]hstack=inputs=2[v]";
    start(sbs, {"-c:a", "ac3", "-b:a", "192k", "-metadata:s:v:0", "stereo_mode=left_right"}, "sbs_lr.mkv");
    start(sbs, {"-c:a", "aac", "-b:a", "160k", "-movflags", "+faststart"}, "sbs.mp4");
    start(sbs, {"-c:a", "aac", "-b:a", "160k"}, "sbs.mov");
    // framepack attaches frame-sequence stereo side data, which libx264 turns
    // into a frame packing SEI (type 5); left comes first.
    start("[0:v][1:v]framepack=frameseq[v]", {"-c:a", "ac3", "-b:a", "192k"}, "frame_alternate.mkv");
    runInPairs(jobs);
}

void makeProfile(const SetSpec& spec, const EncodeProfile& profile, const fs::path& dir) {
    const fs::path folder = dir / profile.name;
    encodeEyes(spec, profile, dir, folder);
    runInPairs({ffmpeg({"-i", (folder / "left.264").string(), "-f", "framemd5",
                        (folder / "left.framemd5").string()}),
                ffmpeg({"-i", (folder / "right.264").string(), "-f", "framemd5",
                        (folder / "right.framemd5").string()})});
    composeProfileFolder(folder, spec.rate, dir / "audio.ac3");
}

std::string setInfo(const SetSpec& spec) {
    std::ostringstream info;
    info << "width=" << spec.width << "\nheight=" << spec.height << "\nframes=" << spec.frames
         << "\nfps=" << rateText(spec.rate) << "\ndisparity=" << spec.disparity << "\nkeyint=" << spec.keyint
         << "\nprofiles=";
    for (size_t i = 0; i < spec.profiles.size(); ++i)
        info << (i ? " " : "") << spec.profiles[i].name;
    info << "\nmarker=left eye white block x=" << spec.width / 16 << " y=" << spec.height / 16
         << " w=" << spec.width / 8 << " h=" << spec.height / 8 << "\n";
    return info.str();
}

} // namespace

FileLock::FileLock(const fs::path& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT, 0644)) {
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) throw std::runtime_error("cannot lock " + path.string());
}

FileLock::~FileLock() {
    close(fd_);
}

void encodeEyes(const SetSpec& spec, const EncodeProfile& profile, const fs::path& setDir,
                const fs::path& folder) {
    fs::create_directories(folder);
    runInPairs({x264Command(spec, profile, setDir / "left_src.yuv", folder / "left.264", 0),
                x264Command(spec, profile, setDir / "right_src.yuv", folder / "right.264", 1)});
}

EncodeProfile defaultProfile() {
    return {"cabac_b", {"--profile", "high", "--bframes", "2", "--b-pyramid", "none", "--ref", "2"}};
}

SetSpec standardSet(const std::string& name) {
    SetSpec spec;
    spec.name = name;
    const EncodeProfile cabacB = defaultProfile();
    if (name == "small") {
        spec.profiles = {
            cabacB,
            {"cavlc_p",
             {"--profile", "baseline", "--bframes", "0", "--ref", "1", "--no-cabac", "--weightp", "0",
              "--no-8x8dct"}},
            {"cavlc_b",
             {"--profile", "main", "--no-cabac", "--bframes", "2", "--b-pyramid", "none", "--ref", "2"}},
            {"pyramid_8x8",
             {"--profile", "high", "--bframes", "3", "--b-pyramid", "normal", "--8x8dct", "--ref", "4"}},
            {"weighted",
             {"--profile", "high", "--bframes", "2", "--b-pyramid", "none", "--ref", "3", "--weightp", "2",
              "--weightb"}},
            // Blu-ray encoders cut pictures into several slices.
            {"slices4",
             {"--profile", "high", "--bframes", "2", "--b-pyramid", "none", "--ref", "2", "--slices", "4"}},
            // Non-IDR I pictures start each GOP after the first; leading B pictures refer across.
            {"open_gop",
             {"--profile", "high", "--bframes", "2", "--b-pyramid", "none", "--ref", "2", "--open-gop"}},
        };
        return spec;
    }
    if (name == "hd") {
        spec.width = 1920;
        spec.height = 1080;
        spec.frames = 48;
        spec.disparity = 48;
        spec.keyint = 24;
        spec.profiles = {cabacB};
        return spec;
    }
    throw std::invalid_argument("unknown set \"" + name + "\" (small or hd)");
}

std::string executableStamp(const std::string& setName) {
    // FNV-1a over the executable: a rebuilt kit that writes different media
    // has different code, so its sets are made again.
    const Bytes self = readBytes("/proc/self/exe");
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t byte : self) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    std::ostringstream stamp;
    stamp << kKitVersion << " set=" << setName << " exe=" << std::hex << hash << "\n";
    return stamp.str();
}

void composeProfileFolder(const fs::path& folder, FrameRate rate, const fs::path& audioAc3) {
    const Bytes left = readBytes(folder / "left.264");
    const Bytes right = readBytes(folder / "right.264");
    const Bytes ac3 = audioAc3.empty() ? Bytes{} : readBytes(audioAc3);

    const MvcComposition lr = composeMvc(left, right, rate);
    writeBytes(folder / "base.264", lr.base);
    writeBytes(folder / "dependent.mvc", lr.dependent);
    writeBytes(folder / "interleaved.264", lr.interleaved);
    writeFile(folder / "access_units.txt", describeAccessUnits(lr));
    int64_t firstPts = INT64_MAX;
    for (const auto& unit : lr.units)
        firstPts = std::min(firstPts, unit.pts);
    const std::vector<AudioFrame> audio = ac3.empty() ? std::vector<AudioFrame>{} : splitAc3(ac3, firstPts);
    writeBytes(folder / "movie.m2ts", writeTransportStream(lr, audio, true));
    writeBytes(folder / "movie.ts", writeTransportStream(lr, audio, false));
    // Blu-ray titles often carry LPCM, which Matroska cannot hold as it is.
    if (!ac3.empty()) {
        const Bytes wav = readBytes(audioAc3.parent_path() / "audio.wav");
        const LpcmAudio lpcm = blurayLpcm(wavSamples(wav), firstPts);
        writeBytes(folder / "movie_lpcm.m2ts",
                   writeTransportStream(lr, lpcm.frames, true, AudioStreamType::lpcm));
    }
    writeBytes(folder / "movie_lr.mkv", writeMatroska(lr, audio, MatroskaStereoMode::blockLeftFirst, rate));

    const MvcComposition rl = composeMvc(right, left, rate);
    writeBytes(folder / "base_rl.264", rl.base);
    writeBytes(folder / "dependent_rl.mvc", rl.dependent);
    writeBytes(folder / "movie_rl.mkv", writeMatroska(rl, audio, MatroskaStereoMode::blockRightFirst, rate));
}

bool makeSet(const SetSpec& spec, const fs::path& outputRoot, const std::string& stamp, bool force,
             const Log& log) {
    fs::create_directories(outputRoot);
    FileLock lock(outputRoot / ("." + spec.name + ".lock"));
    const fs::path finalDir = outputRoot / spec.name;
    if (!force && fs::exists(finalDir / "kit.stamp") && readFile(finalDir / "kit.stamp") == stamp) {
        log("stereokit: " + finalDir.string() + " is up to date");
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        std::ostringstream text;
        text.precision(1);
        text << std::fixed << static_cast<double>(ms.count()) / 1000.0 << " s";
        return text.str();
    };
    const fs::path work = outputRoot / (spec.name + ".partial");
    fs::remove_all(work);
    fs::create_directories(work);
    log("stereokit: making set " + spec.name + " (" + sizeText(spec.width, spec.height) + ", " +
        std::to_string(spec.frames) + " frames) in " + work.string());
    makeSources(spec, work);
    log("stereokit: sources done (" + elapsed() + ")");
    for (const auto& profile : spec.profiles) {
        makeProfile(spec, profile, work);
        log("stereokit: profile " + profile.name + " done (" + elapsed() + ")");
    }
    makeStereoMovies(spec, work);
    log("stereokit: side-by-side and frame-alternate movies done (" + elapsed() + ")");
    writeFile(work / "set.info", setInfo(spec));
    writeFile(work / "kit.stamp", stamp);
    fs::remove_all(finalDir);
    fs::rename(work, finalDir);
    log("stereokit: set " + spec.name + " ready in " + finalDir.string() + " (" + elapsed() + ")");
    return true;
}

} // namespace kit
