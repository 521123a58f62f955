#include "TestMedia.h"

#include "MovieWriter.h"

#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace media::testing {

namespace fs = std::filesystem;

CommandResult run(const std::vector<std::string>& args) {
    int pipeFd[2];
    if (::pipe(pipeFd) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFd[1]);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFd[1]);
    CommandResult result;
    if (rc != 0) {
        ::close(pipeFd[0]);
        result.output = "cannot start " + args[0];
        return result;
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0)
        result.output.append(buf, size_t(n));
    ::close(pipeFd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ScratchDir::ScratchDir(const std::string& name) {
    path = fs::temp_directory_path() / ("joiners-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(path);
    fs::create_directories(path);
}
ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void makeHevcMovie(const std::string& path, const HevcOptions& o) {
    std::string params = "log-level=error:bframes=" + std::to_string(o.bframes) +
                         ":keyint=" + std::to_string(o.keyint) + ":min-keyint=" + std::to_string(o.keyint) +
                         ":scenecut=0:open-gop=0";
    auto r = run(
        {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
         o.pattern + "=size=" + std::to_string(o.width) + "x" + std::to_string(o.height) + ":rate=" + o.rate,
         "-frames:v", std::to_string(o.frames), "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
         params, "-tag:v", "hvc1", path});
    if (r.status != 0) throw std::runtime_error("ffmpeg failed: " + r.output);
}

std::vector<uint8_t> fakeLhvC(uint8_t marker) {
    BoxWriter w;
    w.beginBox("lhvC");
    w.u8(1);       // configurationVersion
    w.u16(0xF000); // min_spatial_segmentation_idc
    w.u8(0xFC);    // parallelismType
    w.u8(0xCB);    // 1 temporal layer, 4-byte lengths
    w.u8(1);       // one array: a vendor-neutral marker NAL the decoders never see
    w.u8(0xA1);
    w.u16(1);
    w.u16(2);
    w.u8(0x42);
    w.u8(marker);
    w.endBox();
    return w.take();
}

std::vector<uint8_t> fakeVexu() {
    BoxWriter w;
    w.beginBox("vexu");
    w.beginBox("eyes");
    w.beginFullBox("stri", 0, 0);
    w.u8(3);
    w.endBox();
    w.beginFullBox("hero", 0, 0);
    w.u8(1);
    w.endBox();
    w.endBox();
    w.endBox();
    return w.take();
}

void makeStereoSegment(const std::string& hevcMovie, const std::string& out, const SegmentOptions& o) {
    MovieReader in(hevcMovie);
    int v = in.firstTrack("vide");
    if (v < 0) throw std::runtime_error("no video in " + hevcMovie);
    const TrackInfo& t = in.tracks()[size_t(v)];
    auto boxes = parseBoxes(t.sampleEntry.data(), t.sampleEntry.size());
    if (boxes.size() != 1 || !boxes[0].isContainer) throw std::runtime_error("unexpected sample entry");
    Box& entry = boxes[0];
    entry.type = fourcc(o.entryType);
    std::vector<Box> kids;
    for (auto& c : entry.children) {
        if (c.type == fourcc("hvcC")) {
            kids.push_back(c);
            if (o.withLhvC) {
                auto l = fakeLhvC(o.lhvCMarker);
                kids.push_back(parseBoxes(l.data(), l.size())[0]);
            }
        } else if (o.withVexu) {
            kids.push_back(c);
        }
    }
    if (o.withVexu) {
        auto x = fakeVexu();
        kids.push_back(parseBoxes(x.data(), x.size())[0]);
    }
    entry.children = std::move(kids);
    std::vector<uint8_t> entryBytes;
    writeBox(entry, entryBytes);

    MovieWriter w(out);
    int tv = w.addTrack({"vide", t.timescale, t.width, t.height, entryBytes, t.language, std::nullopt});
    std::vector<uint8_t> buf;
    for (size_t i = 0; i < t.samples.size(); ++i) {
        const SampleInfo& s = t.samples[i];
        in.readSample(size_t(v), i, buf);
        w.addSample(tv, buf.data(), buf.size(), s.decodeTime + t.presentationShift,
                    s.presentationTime + t.presentationShift, s.duration, s.isSync);
    }
    w.finish();
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::string> decodedFrameMd5(const std::string& path) {
    auto r = run({"ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "framemd5", "-"});
    if (r.status != 0) throw std::runtime_error("ffmpeg decode failed: " + r.output);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < r.output.size()) {
        size_t nl = r.output.find('\n', pos);
        if (nl == std::string::npos) nl = r.output.size();
        std::string line = r.output.substr(pos, nl - pos);
        // Keep only the picture hash: timestamps differ between a segment and the joined movie.
        if (!line.empty() && line[0] != '#') lines.push_back(line.substr(line.rfind(',') + 1));
        pos = nl + 1;
    }
    return lines;
}

std::vector<std::vector<uint8_t>> videoSamples(const std::string& path) {
    MovieReader m(path);
    int v = m.firstTrack("vide");
    std::vector<std::vector<uint8_t>> out;
    if (v < 0) return out;
    for (size_t i = 0; i < m.tracks()[size_t(v)].samples.size(); ++i) {
        out.emplace_back();
        m.readSample(size_t(v), i, out.back());
    }
    return out;
}

std::string toolPath(const std::string& name) {
    return (fs::path(DUOSCOPE_TOOLS_DIR) / name).string();
}

} // namespace media::testing
