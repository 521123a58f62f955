// segmentrun: segment-parallel MVC decode and encode, the program behind
// fanout-run.sh (see the usage text and README.md).
//
// Phase 1 cuts the stream (interleaved, or the two view files with
// --dual-split) at access units where decoding can start afresh; Phase 2 has
// GNU parallel run fanout-worker.sh (viewpump | twinrow | encoder) once per
// segment, here or on the --hosts over SSH; Phase 3 joins the encoded segments
// without re-encoding. Only compressed bytes reach the disk: each segment's
// bytes, cut shortly before its worker starts, and its encoded result.
// Standard output carries the lines the engine reads; a failure is one
// "ERROR: " line on standard error and "FAILED: " on standard output.
#include "HostList.h"
#include "JobLog.h"
#include "Process.h"

#include "SegmentPlan.h"
#include "ToolSupport.h"
#include "UnitMerge.h"
#include "toolsupport/ToolSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

using namespace segmentrun;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using toolsupport::Failure;

namespace {

constexpr const char* usage =
    "Usage: fanout-run.sh <stream.264> <audio source> <output> --width W --height H --fps NUM/DEN\n"
    "    --quality Q --audio-args ARGS --workdir DIR [--mvhevc] [--maxrate MBPS] [--swap]\n"
    "    [--dual-split BASE MVC] [--hfov DEGREES] [--baseline MM] [--disparity-adjustment X]\n"
    "    [--workers N] [--segment-size AUS] [--frame-md5] [--hosts LIST|@FILE]\n"
    "    [--crf N --speed PRESET] [--threads N]\n"
    "  --threads N: encoder threads of each worker (default: this machine's cores / workers)\n";

// The few programs a host needs are found on its search path or where the
// package puts them; this machine's jobs (":" in the host list) use the worker
// beside this program, on the segment files where they lie: parallel starts
// them in a --workdir folder of the scratch folder, and nothing travels.
constexpr const char* remoteWorker =
    "w=$1; shift; if [ \"${PARALLEL_SSHLOGIN:-:}\" = : ]; then cd .. || exit 1; else w=fanout-worker.sh; fi\n"
    "PATH=$PATH:/usr/libexec/duoscope/tools exec \"$w\" \"$@\"";
constexpr const char* remoteVersion =
    "PATH=$PATH:/usr/libexec/duoscope/tools; fanout-worker.sh --version && nproc";

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string elapsed(Clock::time_point since) {
    return toolsupport::format("%.1f", std::chrono::duration<double>(Clock::now() - since).count());
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool isDigits(const std::string& text) {
    return !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

std::string withoutErrorMark(std::string text) {
    return text.starts_with("ERROR: ") ? text.substr(7) : text;
}

std::string absolute(const std::string& path) {
    return path.starts_with('/') ? path : fs::current_path().string() + "/" + path;
}

struct Job {
    std::size_t k;
    streamtools::Segment segment;
};

class Run {
  public:
    explicit Run(std::string toolsFolder) : toolsFolder_(std::move(toolsFolder)) {}
    int execute(const std::vector<std::string>& arguments);
    void finish();

  private:
    [[noreturn]] void fail(const std::string& message);
    // A value option's text; "" when it was not given, as for an empty value.
    std::string& option(const std::string& name) { return option_[name]; }
    bool readArguments(const std::vector<std::string>& arguments);
    void checkArguments();
    std::string tool(const std::string& name);
    void checkHosts();
    void shareConnections(const std::vector<std::string>& candidates);
    void planSegments();
    void chooseEncoder();
    void startAudio();
    void runSegments();
    void cutSegment(const Job& job, const fs::path& into);
    bool readJobLog();
    void reportProgress();
    [[noreturn]] void failParallel();
    void join();

    std::string toolsFolder_;
    std::map<std::string, std::string> option_;
    std::string input_, audioSource_, output_, outputFolder_, dualBase_, dualMvc_;
    std::vector<std::string> spatialArgs_;
    bool isMvhevc_ = false, isSwapped_ = false, isFrameMd5_ = false;
    unsigned long width_ = 0, height_ = 0, fpsNum_ = 1, fpsDen_ = 1, workers_ = 1, cores_ = 1, slots_ = 1;
    unsigned long threads_ = 1;
    Clock::time_point started_ = Clock::now();

    fs::path scratch_, partial_;
    std::vector<std::string> hosts_, ssh_;
    std::string remoteFolder_;
    // One SSH connection per host that every later ssh of the run shares
    // (connection sharing), in a folder of its own: a short path, as a socket
    // name must be.
    fs::path connections_;
    std::vector<Process> sharedConnections_;
    std::vector<streamtools::PlannedUnit> units_;
    std::vector<std::uint64_t> offsets_, mvcOffsets_; // of each access unit in the stream(s)
    std::vector<streamtools::Segment> plan_;
    std::string mode_, workerMode_, extension_;
    std::vector<std::string> encoderArgs_;
    Process audio_;
    bool hasAudio_ = false;

    std::vector<Job> jobs_; // in the order given to parallel: its sequence numbers
    std::vector<JobRecord> records_;
    std::string jobLogRest_;
    std::size_t jobLogRead_ = 0, reported_ = 0;
};

void Run::fail(const std::string& message) {
    std::string text = message;
    // A tool that meets a full disk often cannot even write down why.
    struct statvfs disk {};
    const std::string& workdir = option("--workdir");
    if (!workdir.empty() && ::statvfs(workdir.c_str(), &disk) == 0 &&
        std::uint64_t(disk.f_bavail) * disk.f_frsize < 1048576)
        text += " (No space left on device in " + workdir + ")";
    throw Failure{"ERROR: " + text};
}

bool Run::readArguments(const std::vector<std::string>& arguments) {
    if (arguments.size() < 3) return false;
    input_ = arguments[0], audioSource_ = arguments[1], output_ = arguments[2];
    option("--codec") = "hevc";
    static const std::vector<std::string> valued = {
        "--width",   "--height",       "--fps",   "--quality", "--audio-args", "--workdir", "--maxrate",
        "--workers", "--segment-size", "--codec", "--hosts",   "--crf",        "--speed",   "--threads"};
    for (std::size_t i = 3; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool isSpatial =
            argument == "--hfov" || argument == "--baseline" || argument == "--disparity-adjustment";
        if (isSpatial || std::find(valued.begin(), valued.end(), argument) != valued.end()) {
            if (i + 1 >= arguments.size()) fail(argument + " needs a value");
            // layerforge checks the spatial values; every segment carries the same boxes.
            if (isSpatial)
                spatialArgs_.insert(spatialArgs_.end(), {argument, arguments[i + 1]});
            else
                option(argument) = arguments[i + 1];
            ++i;
        } else if (argument == "--mvhevc") {
            isMvhevc_ = true;
        } else if (argument == "--swap") {
            isSwapped_ = true;
        } else if (argument == "--frame-md5") {
            isFrameMd5_ = true;
        } else if (argument == "--dual-split") {
            if (i + 2 >= arguments.size()) fail("--dual-split needs the base and the MVC stream");
            dualBase_ = arguments[i + 1], dualMvc_ = arguments[i + 2];
            i += 2;
        } else {
            fail("unknown argument: " + argument);
        }
    }
    return true;
}

void Run::checkArguments() {
    auto value = [&](const char* name) { return option(name); };
    const std::string width = value("--width"), height = value("--height");
    if (!isDigits(width) || !isDigits(height) || std::stoul(width) == 0 || std::stoul(height) == 0 ||
        std::stoul(width) % 2 != 0 || std::stoul(height) % 2 != 0)
        fail("--width and --height must be positive even numbers (got '" + width + "' x '" + height + "')");
    width_ = std::stoul(width), height_ = std::stoul(height);
    const std::string fps = value("--fps");
    std::smatch parts;
    if (!std::regex_match(fps, parts, std::regex("([0-9]{1,9})(/([0-9]{1,9}))?")))
        fail("--fps must be NUM/DEN (got '" + fps + "')");
    fpsNum_ = std::stoul(parts[1]), fpsDen_ = parts[3].matched ? std::stoul(parts[3]) : 1;
    if (fpsNum_ == 0 || fpsDen_ == 0) fail("--fps must be positive (got '" + fps + "')");
    if (!std::regex_match(value("--quality"), std::regex("[0-9]+(\\.[0-9]+)?")))
        fail("--quality must be a number (got '" + value("--quality") + "')");
    if (!value("--maxrate").empty() && !isDigits(value("--maxrate")))
        fail("--maxrate must be a whole number of Mbit/s (got '" + value("--maxrate") + "')");
    for (const char* name : {"--workers", "--segment-size", "--threads"})
        if (!value(name).empty() && (!isDigits(value(name)) || std::stoul(value(name)) == 0))
            fail(std::string(name) + " must be a positive number");
    if (value("--codec") != "hevc" && value("--codec") != "h264")
        fail("--codec must be hevc or h264 (got '" + value("--codec") + "')");
    const std::string workdir = value("--workdir");
    if (workdir.empty() || !fs::is_directory(workdir) || ::access(workdir.c_str(), W_OK) != 0)
        fail("work folder '" + workdir + "' is not a writable folder");
    auto isReadable = [](const std::string& path) { return ::access(path.c_str(), R_OK) == 0; };
    if (!dualBase_.empty()) {
        for (const auto& stream : {dualBase_, dualMvc_})
            if (!fs::is_regular_file(stream) || !isReadable(stream)) fail("cannot read stream " + stream);
    } else if (!isReadable(input_) || fs::is_directory(input_)) {
        fail("cannot read stream " + input_);
    }
    // Workers run in folders of their own, so every path is made absolute first.
    input_ = absolute(input_), output_ = absolute(output_), audioSource_ = absolute(audioSource_);
    option("--workdir") = absolute(workdir);
    if (!dualBase_.empty()) dualBase_ = absolute(dualBase_), dualMvc_ = absolute(dualMvc_);
    outputFolder_ = output_.substr(0, output_.rfind('/'));
    if (outputFolder_.empty()) outputFolder_ = "/";
    if (!fs::is_directory(outputFolder_) || ::access(outputFolder_.c_str(), W_OK) != 0)
        fail("output folder '" + outputFolder_ + "' is not a writable folder");
}

std::optional<std::string> onSearchPath(const std::string& name) {
    // Started with an empty search path, the few programs run by name would
    // fail in ways that say nothing about the cause.
    const char* path = std::getenv("PATH");
    std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0 &&
            !fs::is_directory(folder + "/" + name))
            return folder + "/" + name;
    return std::nullopt;
}

// Our own programs lie beside this one; ffmpeg comes from the system.
std::string Run::tool(const std::string& name) {
    const std::string beside = toolsFolder_ + "/" + name;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
    if (auto found = onSearchPath(name)) return *found;
    fail(name + " not found (looked in " + toolsFolder_ + " and on PATH)");
}

int Run::execute(const std::vector<std::string>& arguments) {
    if (!readArguments(arguments)) return toolsupport::usageError(usage);
    checkArguments();
    for (const char* name : {"unitprobe", "segmentjoin", "ffmpeg", "fanout-worker.sh"})
        tool(name);
    if (!onSearchPath("parallel")) fail("GNU parallel not found on PATH (Debian package parallel)");
    if (isMvhevc_ && !isFrameMd5_) tool("reelchain");
    cpu_set_t allowed;
    cores_ = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    workers_ = option("--workers").empty() ? cores_ : std::stoul(option("--workers"));

    // Everything this run makes lives in one private folder of the work
    // folder, and the movie gets the output's name only when it is complete.
    std::string scratch = option("--workdir") + "/fanout.XXXXXX";
    if (!::mkdtemp(scratch.data())) fail("cannot create a folder in " + option("--workdir"));
    scratch_ = scratch;
    // The movie is made in the private folder when a rename can move it from
    // there (a kill that leaves no time to clean up then leaves nothing in the
    // output folder), else under a hidden name beside the output.
    struct stat scratchStatus {
    }, outputStatus{};
    const bool isSameDisk = ::stat(scratch.c_str(), &scratchStatus) == 0 &&
                            ::stat(outputFolder_.c_str(), &outputStatus) == 0 &&
                            scratchStatus.st_dev == outputStatus.st_dev;
    const std::string name = fs::path(output_).filename().string(), pid = std::to_string(::getpid());
    const auto dot = name.rfind('.');
    partial_ = fs::path(isSameDisk ? scratch : outputFolder_) /
               (dot == std::string::npos ? "." + name + ".fanout-" + pid
                                         : "." + name.substr(0, dot) + ".fanout-" + pid + name.substr(dot));

    if (!option("--hosts").empty()) checkHosts();
    planSegments();
    chooseEncoder();
    if (isMvhevc_ && !isFrameMd5_) startAudio();
    runSegments();
    join();
    say("COMPLETE: " + std::to_string(units_.size()) + " frames in " + std::to_string(plan_.size()) +
        " segments");
    say("Total time: " + elapsed(started_) + "s");
    say("Output: " + output_ + " (" + std::to_string(toolsupport::fileSize(output_) / 1000000) + " MB)");
    return 0;
}

// With --hosts the segments also run on other machines. Each is first asked
// over SSH for the version of its tools: a machine that cannot be reached,
// lacks the tools or has another version of them would spoil or lose its
// segments, so it is left out with one line saying why.
void Run::checkHosts() {
    const std::string list = option("--hosts");
    std::vector<std::string> candidates;
    if (list.starts_with('@')) {
        if (::access(list.c_str() + 1, R_OK) != 0) fail("cannot read the host list " + list.substr(1));
        candidates = hostsFromFile(readText(list.substr(1)));
    } else {
        candidates = hostsFromList(list);
    }
    if (candidates.empty()) fail("the host list is empty");
    // The command may carry options ("ssh -F config"), as parallel's --ssh does.
    const char* sshCommand = std::getenv("PARALLEL_SSH");
    ssh_ = words(sshCommand && *sshCommand ? sshCommand : "ssh");
    if (ssh_.empty()) ssh_ = {"ssh"};
    if (ssh_[0].find('/') == std::string::npos) ssh_[0] = tool(ssh_[0]);
    remoteFolder_ = ".duoscope-" + scratch_.filename().string();
    shareConnections(candidates);

    const fs::path versionFile = scratch_ / "version";
    const int versionStatus =
        Process(Launch({tool("fanout-worker.sh"), "--version"}, versionFile, versionFile)).wait();
    std::string ourVersion = readText(versionFile);
    while (ourVersion.ends_with('\n'))
        ourVersion.pop_back();
    if (versionStatus != 0) fail("cannot tell the version of this machine's tools: " + ourVersion);

    std::vector<Process> checks(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::string target = hostTarget(candidates[i]);
        if (target.empty()) fail("empty host in the host list");
        if (target == ":") continue;
        const std::string answer = scratch_ / ("host" + std::to_string(i));
        Launch launch(ssh_, answer, answer);
        append(launch.arguments,
               {"-o", "BatchMode=yes", "-o", "ConnectTimeout=15", "--", target, remoteVersion});
        checks[i] = Process(launch);
    }
    const auto start = Clock::now();
    std::size_t slots = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        std::string login = candidates[i];
        const std::string target = hostTarget(login);
        HostVerdict verdict{unsigned(workers_), ""};
        if (target != ":") {
            const double waited = std::chrono::duration<double>(Clock::now() - start).count();
            const int status = checks[i].wait(std::max(0.01, 60 - waited));
            verdict = judgeHost(status, readText(scratch_ / ("host" + std::to_string(i))), ourVersion);
        }
        if (!verdict.cores) {
            say("Host " + target + " left out: " + verdict.reason);
            continue;
        }
        // This machine's share keeps the memory-bound worker count.
        if (login == ":") login = std::to_string(workers_) + "/:";
        hosts_.push_back(login);
        slots += hostJobs(login).value_or(*verdict.cores);
    }
    if (hosts_.empty()) fail("no host left to run the segments on");
    std::string line = "Hosts:";
    for (const auto& host : hosts_)
        line += " " + host;
    say(line);
    slots_ = slots;
}

// Every job costs several SSH connections (its folder, the segment out, the
// worker, the result back, the clean-up), and each new one a key exchange:
// about a tenth of a CPU second on each side and a quarter of a second before
// the job can go on. One connection per host, opened here and shared by all
// of them, leaves only the first. A host where it is not up (yet, or any
// more) is reached as before, by a connection of its own. The connections are
// this run's children and end with it.
void Run::shareConnections(const std::vector<std::string>& candidates) {
    char folder[] = "/tmp/duoscope-ssh.XXXXXX";
    if (!::mkdtemp(folder)) return;
    connections_ = folder;
    const std::string path = "ControlPath=" + (connections_ / "%C").string();
    for (const auto& candidate : candidates) {
        const std::string target = hostTarget(candidate);
        if (target.empty() || target == ":") continue;
        Launch launch(ssh_);
        append(launch.arguments, {"-o", "BatchMode=yes", "-o", "ConnectTimeout=15", "-o", "ControlMaster=yes",
                                  "-o", path, "-o", "ControlPersist=no", "-N", "--", target});
        try {
            sharedConnections_.emplace_back(launch);
        } catch (const Failure&) {
        }
    }
    append(ssh_, {"-o", "ControlMaster=no", "-o", path});
}

// Segments: about four per job slot in whole rounds of the slots, never
// shorter than PlanSettings::shortest (--segment-size sets the length instead), each
// cut at the anchor nearest to an even share of the film; a segment whose
// first anchor is not an IDR decodes from the anchor before it and drops that
// warm-up.
void Run::planSegments() {
    const auto phase1 = Clock::now();
    if (hosts_.empty()) slots_ = workers_;
    const bool isDual = !dualBase_.empty();
    say("Phase 1: finding split points in " +
        (isDual ? fs::path(dualBase_).filename().string() + " + " + fs::path(dualMvc_).filename().string()
                : fs::path(input_).filename().string()));
    auto probe = [&](const std::string& stream) {
        const fs::path list = scratch_ / "probe.units", log = scratch_ / "probe.log";
        if (Process(Launch({tool("unitprobe"), stream}, list, log)).wait() != 0) {
            std::string message = readText(log);
            while (message.ends_with('\n'))
                message.pop_back();
            fail("unitprobe failed on " + stream + ": " + message.substr(message.rfind('\n') + 1));
        }
        std::ifstream in(list);
        try {
            return streamtools::parseUnitList(in);
        } catch (const std::exception& error) {
            fail("unitprobe failed on " + stream + ": " + error.what());
        }
    };
    if (isDual) {
        units_ = probe(dualBase_);
        const auto dependent = probe(dualMvc_);
        // unitmerge tolerates a few unpaired units at the end; more is a broken pair of streams.
        const long difference = long(units_.size()) - long(dependent.size());
        if (difference > 5 || difference < -5)
            fail("access unit count mismatch: base=" + std::to_string(units_.size()) +
                 ", MVC=" + std::to_string(dependent.size()));
        units_.resize(std::min(units_.size(), dependent.size()));
        // An anchor is marked in the dependent view (and an IDR in the base),
        // and it is an anchor for every view of its access unit.
        for (std::size_t i = 0; i < units_.size(); ++i) {
            units_[i].isRandomAccess = units_[i].isRandomAccess || dependent[i].isRandomAccess;
            mvcOffsets_.push_back(dependent[i].offset);
        }
    } else {
        units_ = probe(input_);
    }
    if (units_.empty()) fail("no access unit found in the stream");
    for (const auto& unit : units_)
        offsets_.push_back(unit.offset);

    streamtools::PlanSettings settings{slots_, 0};
    if (!option("--segment-size").empty()) settings.segmentSize = std::stoul(option("--segment-size"));
    const std::string stream = isDual ? dualBase_ : input_;
    try {
        plan_ = streamtools::planSegments(units_, settings, [&](std::size_t index) {
            return streamtools::holdsIdr(stream, units_, index);
        });
    } catch (const std::exception& error) {
        fail(std::string("cannot plan the segments: ") + error.what());
    }
    workers_ = std::min<unsigned long>(workers_, plan_.size());
    slots_ = std::min<unsigned long>(slots_, plan_.size());
    std::size_t warmUp = 0;
    for (const auto& segment : plan_)
        warmUp += segment.start - segment.warmUpStart;
    say("Split into " + std::to_string(plan_.size()) + " segments of " + std::to_string(units_.size()) +
        " access units (" + std::to_string(slots_) + " workers, " + std::to_string(warmUp) +
        " warm-up pictures) in " + elapsed(phase1) + "s");
}

void Run::chooseEncoder() {
    // Each worker's encoder gets its share of the cores, so the decoders and
    // encoders of all workers together keep the machine busy without
    // fighting over it.
    threads_ =
        option("--threads").empty() ? std::max(1UL, cores_ / workers_) : std::stoul(option("--threads"));
    const std::string threads = std::to_string(threads_),
                      rate = std::to_string(fpsNum_) + "/" + std::to_string(fpsDen_);
    const std::string maxrate = option("--maxrate");
    if (isFrameMd5_) {
        mode_ = "frame MD5", workerMode_ = "md5", extension_ = "md5";
        return;
    }
    if (isMvhevc_) {
        mode_ = "MV-HEVC", workerMode_ = "mvhevc", extension_ = "mov";
        encoderArgs_ = {"--width", std::to_string(width_), "--height", std::to_string(height_), "--fps",
                        rate};
        append(encoderArgs_, {"--quality", option("--quality"), "--threads", threads});
        if (!maxrate.empty()) append(encoderArgs_, {"--maxrate", maxrate});
        append(encoderArgs_, spatialArgs_);
        return;
    }
    mode_ = "SBS", workerMode_ = "sbs", extension_ = "ts";
    const std::string codec = option("--codec");
    // The same encoder choice as the engine: VideoToolbox where ffmpeg has it,
    // otherwise x265 at the CRF and speed preset that stand for the quality.
    const fs::path list = scratch_ / "encoders";
    Process(Launch({tool("ffmpeg"), "-hide_banner", "-encoders"}, list)).wait();
    const bool hasToolbox =
        std::regex_search(readText(list), std::regex("(^|\n) *\\S+ " + codec + "_videotoolbox "));
    encoderArgs_ = {rate};
    if (hasToolbox) {
        append(encoderArgs_,
               {"-c:v", codec + "_videotoolbox", "-q:v", option("--quality"), "-realtime", "0"});
    } else {
        // The engine's table decides what a quality means for x265 and x264.
        const std::string crf = option("--crf"), speed = option("--speed");
        if (!isDigits(crf) || !std::regex_match(speed, std::regex("[a-z]+")))
            fail("a software encode needs --crf and --speed (got '" + crf + "' and '" + speed + "')");
        append(encoderArgs_,
               {"-c:v", codec == "h264" ? "libx264" : "libx265", "-preset", speed, "-crf", crf});
        if (codec == "h264")
            append(encoderArgs_, {"-threads", threads});
        else
            append(encoderArgs_, {"-x265-params", "pools=" + threads + ":frame-threads=" +
                                                      (threads_ < 2 ? "1" : "2") + ":log-level=error"});
    }
    if (!maxrate.empty())
        append(encoderArgs_,
               {"-maxrate", maxrate + "M", "-bufsize", std::to_string(2 * std::stoul(maxrate)) + "M"});
    append(encoderArgs_, {"-pix_fmt", "yuv420p", "-output_ts_offset", "{5}"});
}

// The sound is prepared beside the workers: the source's first audio track,
// cut to the length of the film's pictures so that both end together.
void Run::startAudio() {
    const fs::path answer = scratch_ / "audio.probe";
    Launch probe({tool("ffprobe")}, answer);
    append(probe.arguments, words("-v error -select_streams a:0 -show_entries stream=index -of csv=p=0"));
    probe.arguments.push_back(audioSource_);
    Process(probe).wait();
    hasAudio_ = readText(answer).find_first_not_of(" \t\r\n") != std::string::npos;
    if (!hasAudio_) return;
    Launch launch({tool("ffmpeg"), "-hide_banner", "-nostdin", "-y", "-loglevel", "error", "-i", audioSource_,
                   "-map", "0:a:0", "-vn"},
                  "", scratch_ / "audio.log");
    append(launch.arguments, words(option("--audio-args")));
    append(launch.arguments,
           {"-t", toolsupport::format("%.6f", double(units_.size()) * double(fpsDen_) / double(fpsNum_)),
            "-f", "mov", scratch_ / "audio.mov"});
    audio_ = Process(launch);
}

// Writes the compressed bytes of the job's access units, warm-up included:
// the byte range of the stream, or with --dual-split the two views' ranges
// interleaved.
void Run::cutSegment(const Job& job, const fs::path& into) {
    const auto& segment = job.segment;
    auto open = [&](const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw streamtools::StreamError(path + ": " + std::strerror(errno));
        return fd;
    };
    // Reads [from, to) of a file; the last segment runs to the file's end.
    auto reader = [&](int fd, const std::vector<std::uint64_t>& offsets) {
        const std::uint64_t to = segment.end < offsets.size() ? offsets[segment.end] : UINT64_MAX;
        return
            [fd, to, position = offsets[segment.warmUpStart]](std::uint8_t* into, std::size_t size) mutable {
                throwIfStopped();
                const ssize_t count =
                    ::pread(fd, into, std::min<std::uint64_t>(size, to - position), off_t(position));
                if (count > 0) position += std::uint64_t(count);
                return long(count);
            };
    };
    streamtools::OutputFile output(into.string());
    const OwnedDescriptor stream = open(dualBase_.empty() ? input_ : dualBase_);
    if (dualBase_.empty()) {
        auto read = reader(stream.fd, offsets_);
        std::vector<std::uint8_t> buffer(std::size_t{4} << 20);
        for (long count; (count = read(buffer.data(), buffer.size())) != 0;) {
            if (count < 0) throw streamtools::StreamError(input_ + ": " + std::strerror(errno));
            output.write(std::span(buffer.data(), std::size_t(count)));
        }
    } else {
        const OwnedDescriptor dependentStream = open(dualMvc_);
        streamtools::NalReader base(reader(stream.fd, offsets_), dualBase_);
        streamtools::NalReader dependent(reader(dependentStream.fd, mvcOffsets_), dualMvc_);
        for (auto* view : {&base, &dependent})
            view->setLargestHeldUnit(std::size_t{8} << 20);
        try {
            streamtools::mergeViews(base, dependent,
                                    [&](std::span<const std::uint8_t> bytes) { output.write(bytes); });
        } catch (const streamtools::StreamError& error) {
            fail("segment " + std::to_string(job.k) + " (access units " + std::to_string(segment.start) +
                 "-" + std::to_string(segment.end - 1) + "): unitmerge: " + withoutErrorMark(error.what()));
        }
    }
    output.close();
}

// Reads the job log's new whole lines; a finished segment's bytes are no
// longer needed. Gives whether anything new came.
bool Run::readJobLog() {
    std::ifstream log(scratch_ / "joblog", std::ios::binary);
    log.seekg(std::streamoff(jobLogRead_));
    std::string text(std::istreambuf_iterator<char>(log), {});
    jobLogRead_ += text.size();
    text = jobLogRest_ + text;
    const auto end = text.rfind('\n');
    jobLogRest_ = end == std::string::npos ? text : text.substr(end + 1);
    if (end == std::string::npos) return false;
    std::istringstream lines(text.substr(0, end));
    const std::size_t before = records_.size();
    for (std::string line; std::getline(lines, line);) {
        auto record = parseJobLine(line);
        if (!record || record->sequence > jobs_.size()) continue;
        records_.push_back(*record);
        if (record->succeeded())
            fs::remove(scratch_ / "in" / ("seg" + std::to_string(jobs_[record->sequence - 1].k) + ".264"));
    }
    return records_.size() > before;
}

// The work of Phase 2 in picture pairs, warm-up included: "PROGRESS: <done>/
// <total> frames, <k>/<n> segments", where a segment counts once its job is
// done; "worker_<k> done" names each one with its host.
void Run::reportProgress() {
    std::uint64_t frames = 0, total = 0, finished = 0;
    for (const auto& segment : plan_)
        total += segment.end - segment.warmUpStart;
    for (const auto& record : records_) {
        if (!record.succeeded()) continue;
        const auto& segment = jobs_[record.sequence - 1].segment;
        frames += segment.end - segment.warmUpStart;
        ++finished;
    }
    for (; reported_ < records_.size(); ++reported_) {
        const auto& record = records_[reported_];
        if (!record.succeeded()) continue;
        const Job& job = jobs_[record.sequence - 1];
        say("worker_" + std::to_string(job.k) +
            " done: " + std::to_string(job.segment.end - job.segment.start) + " frames in " +
            record.runtimeText + "s on " + (record.host == ":" ? "this machine" : record.host));
    }
    say("PROGRESS: " + std::to_string(frames) + "/" + std::to_string(total) + " frames, " +
        std::to_string(finished) + "/" + std::to_string(plan_.size()) + " segments");
}

// GNU parallel runs the segments, on this machine's cores or on the hosts,
// fed one line per segment: its number, first access unit fed (warm-up
// included), warm-up pictures, picture pairs and its clock offset. A
// segment's bytes are cut into in/seg<k>.264 just before parallel may need
// them and removed once its job is done, so the disk holds a few segments of
// the stream, never a second copy of it.
void Run::runSegments() {
    for (const char* folder : {"in", "out", "results"})
        if (!fs::create_directory(scratch_ / folder)) fail("cannot create a folder in " + scratch_.string());
    std::vector<std::string> command{*onSearchPath("parallel"),
                                     "--will-cite",
                                     "--colsep",
                                     " ",
                                     "--joblog",
                                     (scratch_ / "joblog").string(),
                                     "--results",
                                     (scratch_ / "results" / "{1}").string(),
                                     "--halt",
                                     "now,fail=1",
                                     "--quote"};
    const std::string worker = tool("fanout-worker.sh");
    if (!hosts_.empty()) {
        std::ofstream logins(scratch_ / "sshlogins");
        for (const auto& host : hosts_)
            logins << host << "\n";
        if (!logins.flush()) fail("cannot write " + (scratch_ / "sshlogins").string());
        std::string ssh;
        for (const auto& word : ssh_)
            ssh += (ssh.empty() ? "" : " ") + word;
        // The files travel under the folder this run alone uses on every host,
        // and only the segment's bytes go out and its encoded result comes back.
        // Both are compressed video already: rsync's default -z would only
        // spend both machines' CPU, on the path a segment waits on.
        append(command, {"--rsync-opts", "-rlDR"});
        command.insert(command.end(),
                       {"--sshloginfile", (scratch_ / "sshlogins").string(), "--ssh", ssh, "--retries",
                        std::to_string(std::min<std::size_t>(hosts_.size() + 1, 4)), "--workdir",
                        remoteFolder_, "--transferfile", "in/seg{1}.264", "--return",
                        "out/seg{1}." + extension_, "--cleanup", "/bin/bash", "-c", remoteWorker,
                        "fanout-worker", worker});
    } else {
        command.insert(command.end(), {"--jobs", std::to_string(workers_), worker});
    }
    command.insert(command.end(),
                   {"in/seg{1}.264", "out/seg{1}." + extension_, workerMode_, std::to_string(width_),
                    std::to_string(height_), isSwapped_ ? "1" : "0", "{2}", "{3}", "{4}", "--"});
    command.insert(command.end(), encoderArgs_.begin(), encoderArgs_.end());

    const auto phase2 = Clock::now();
    say("Phase 2: decoding and encoding " + std::to_string(plan_.size()) + " segments (" + mode_ + ", " +
        std::to_string(slots_) + " workers, " + std::to_string(threads_) + " encoder threads each)");
    // Longest segments first: the short ones then fill the gaps at the end,
    // so the workers finish together.
    std::vector<Job> order;
    for (std::size_t k = 0; k < plan_.size(); ++k)
        order.push_back({k, plan_[k]});
    std::stable_sort(order.begin(), order.end(), [](const Job& a, const Job& b) {
        return a.segment.end - a.segment.warmUpStart > b.segment.end - b.segment.warmUpStart;
    });

    int feed[2];
    if (::pipe2(feed, O_CLOEXEC) != 0) fail("cannot create a pipe: " + std::string(std::strerror(errno)));
    OwnedDescriptor lines = feed[1], parallelInput = feed[0];
    Launch launch(command, "", scratch_ / "parallel.log");
    launch.input = parallelInput.fd;
    launch.folder = scratch_.string();
    launch.environment = {"PARALLEL_HOME=" + (scratch_ / "parallel").string()};
    Process parallel(launch);
    parallelInput.close();

    const std::size_t ahead = slots_ + 2;
    auto lastReport = Clock::now();
    int status = -1;
    while ((status = parallel.poll()) < 0) {
        readJobLog();
        std::size_t done = 0;
        for (const auto& record : records_)
            done += record.succeeded();
        bool isCut = false;
        if (jobs_.size() < order.size() && jobs_.size() - done < ahead) {
            const Job& job = order[jobs_.size()];
            const fs::path bytes = scratch_ / "in" / ("seg" + std::to_string(job.k) + ".264");
            try {
                cutSegment(job, bytes);
            } catch (const std::exception& error) {
                fail("cannot cut segment " + std::to_string(job.k) + ": " + withoutErrorMark(error.what()));
            }
            jobs_.push_back(job);
            const auto& segment = job.segment;
            const std::string line =
                std::to_string(job.k) + " " + std::to_string(segment.warmUpStart) + " " +
                std::to_string(segment.start - segment.warmUpStart) + " " +
                std::to_string(segment.end - segment.start) + " " +
                toolsupport::format("%.9f", 1 + double(segment.start) * double(fpsDen_) / double(fpsNum_)) +
                "\n";
            // A parallel that has stopped reads no more; its end says why.
            isCut = ::write(lines.fd, line.data(), line.size()) == ssize_t(line.size());
            if (!isCut) jobs_.pop_back();
        }
        if (jobs_.size() == order.size()) lines.close();
        if (std::chrono::duration<double>(Clock::now() - lastReport).count() >= 2) {
            reportProgress();
            lastReport = Clock::now();
        }
        if (!isCut) pause(0.2);
    }
    throwIfStopped();
    readJobLog();
    if (status != 0) failParallel();
    if (jobs_.size() != order.size()) fail("GNU parallel ended before every segment was given to it");
    reportProgress();
    // Each machine's share and rate, and what travelled per segment.
    for (const auto& line : hostFigures(records_, [&](std::size_t sequence) {
             const auto& segment = jobs_[sequence - 1].segment;
             return std::uint64_t(segment.end - segment.warmUpStart);
         }))
        say(line);
    say("Phase 2 complete: " + std::to_string(units_.size()) + " frames, time " + elapsed(phase2) + "s");
}

void Run::failParallel() {
    // The segment that failed for good, with its worker's own words.
    if (auto failed = failedJob(records_)) {
        const Job& job = jobs_[failed->sequence - 1];
        std::string message = lastMessage(readText(scratch_ / "results" / (std::to_string(job.k) + ".err")));
        if (message.empty() && !hosts_.empty()) message = "the host " + failed->host + " did not run it";
        fail("segment " + std::to_string(job.k) + " (access units " + std::to_string(job.segment.start) +
             "-" + std::to_string(job.segment.end - 1) +
             "): " + (message.empty() ? "worker failed" : message));
    }
    fail("GNU parallel failed: " + lastMessage(readText(scratch_ / "parallel.log")));
}

void Run::join() {
    const auto phase3 = Clock::now();
    for (std::size_t k = 0; k < plan_.size(); ++k) {
        std::istringstream said(readText(scratch_ / "results" / std::to_string(k)));
        for (std::string line; std::getline(said, line);)
            if (line.starts_with("viewpump: concealed")) say(line);
    }
    say("Phase 3: Concat " + std::to_string(plan_.size()) + " segments");
    std::vector<std::string> outputs;
    for (std::size_t k = 0; k < plan_.size(); ++k)
        outputs.push_back((scratch_ / "out" / ("seg" + std::to_string(k) + "." + extension_)).string());
    const fs::path joinLog = scratch_ / "join.log";
    auto lastOf = [](const fs::path& log) { return lastMessage(readText(log)); };
    if (isFrameMd5_) {
        Launch launch({tool("segmentjoin"), "--lines", std::to_string(units_.size())}, partial_, joinLog);
        append(launch.arguments, outputs);
        if (Process(launch).wait() != 0) fail("join: " + withoutErrorMark(lastOf(joinLog)));
    } else if (isMvhevc_) {
        // reelchain, not clipweave or ffmpeg + boxgraft: it copies every
        // segment's samples once, keeps the first segment's sample entry (lhvC
        // and the stereo boxes) byte for byte, places the segments on one
        // continuous timeline at the exact rate layerforge wrote, and adds the
        // audio in the same pass. clipweave has no audio, so the sound would
        // need another full copy of the movie, and ffmpeg's concatenation
        // drops lhvC, which boxgraft would then have to put back in a third copy.
        Launch launch({tool("reelchain")}, "", joinLog);
        append(launch.arguments, outputs);
        if (hasAudio_) {
            if (audio_.wait() != 0) fail("audio: ffmpeg failed: " + lastOf(scratch_ / "audio.log"));
            append(launch.arguments, {"--audio", scratch_ / "audio.mov"});
        }
        append(launch.arguments, {"--output", partial_});
        if (Process(launch).wait() != 0) fail("join: reelchain failed: " + lastOf(joinLog));
        std::smatch found;
        const std::string log = readText(joinLog);
        const std::string frames =
            std::regex_search(log, found, std::regex("Done: ([0-9]*) video samples")) ? found[1].str() : "";
        if (frames != std::to_string(units_.size()))
            fail("join: reelchain wrote " + (frames.empty() ? "0" : frames) + " frames, expected " +
                 std::to_string(units_.size()));
        for (const auto& segment : outputs)
            fs::remove(segment);
    } else {
        // MPEG-TS segments join by plain concatenation, and each one already
        // carries the film's own clock, so the segments stream into one remux
        // that adds the sound; each is removed as soon as it has been read,
        // which keeps the disk from holding the film twice. (Each segment's
        // continuity counters start afresh, so the demuxer flags the packet
        // before a seam as corrupt; its bytes are whole and ffmpeg keeps it.)
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) fail("cannot create a pipe: " + std::string(std::strerror(errno)));
        OwnedDescriptor joined = pipe[0], joining = pipe[1];
        Launch segments({tool("segmentjoin"), "--remove"}, "", scratch_ / "segments.log");
        append(segments.arguments, outputs);
        segments.outputPipe = joining.fd;
        Launch remux({tool("ffmpeg")}, "", joinLog);
        append(remux.arguments, words("-hide_banner -nostdin -y -loglevel error -f mpegts -i pipe:0 -i"));
        append(remux.arguments, {audioSource_});
        append(remux.arguments,
               words("-map 0:v:0 -map 1:a:0? -c:v copy -metadata:s:v:0 stereo_mode=left_right"));
        remux.input = joined.fd;
        const std::string extension = output_.substr(output_.rfind('.') + 1);
        if (extension == "mov" || extension == "MOV" || extension == "mp4" || extension == "MP4" ||
            extension == "m4v") {
            append(remux.arguments, {"-movflags", "+faststart"});
            if (option("--codec") == "hevc") append(remux.arguments, {"-tag:v", "hvc1"});
        }
        append(remux.arguments, words(option("--audio-args")));
        append(remux.arguments, {"-shortest", partial_});
        Process segmentjoin(segments), ffmpeg(remux);
        joined.close(), joining.close();
        if (ffmpeg.wait() != 0) fail("join: ffmpeg failed: " + lastOf(joinLog));
        if (segmentjoin.wait() != 0) fail("join: " + withoutErrorMark(lastOf(scratch_ / "segments.log")));
    }
    if (toolsupport::fileSize(partial_) == 0) fail("join: nothing was written");
    if (::rename(partial_.c_str(), output_.c_str()) != 0)
        fail("cannot move the finished movie to " + output_);
    say("Phase 3 complete: time " + elapsed(phase3) + "s");
}

// Everything a run made goes, on success, failure and cancellation alike:
// its processes, its folder on every host, its scratch folder and an
// unfinished movie.
void Run::finish() {
    // The clean-up runs to its end (a few seconds at most) whatever comes.
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        std::signal(number, SIG_IGN);
    stopSignal = 0;
    audio_ = Process();
    if (!hosts_.empty()) {
        // parallel's --cleanup removes what a finished job left on its host;
        // this removes the run's folder there after a failure or a
        // cancellation too, and first stops the workers parallel's own remote
        // clean-up may not yet have reached (each noted its process group in
        // its segment's folder).
        const std::string sweep =
            "for g in " + remoteFolder_ +
            "/fanout-segment.*/group; do [ -r \"$g\" ] && kill -KILL -- -$(cat \"$g\"); "
            "done; rm -rf -- " +
            remoteFolder_;
        std::vector<Process> sweeps;
        for (const auto& host : hosts_) {
            const std::string target = hostTarget(host);
            if (target == ":") continue;
            Launch launch(ssh_);
            append(launch.arguments, {"-o", "BatchMode=yes", "-o", "ConnectTimeout=5", "--", target, sweep});
            try {
                sweeps.emplace_back(launch);
            } catch (const Failure&) {
            }
        }
        for (auto& process : sweeps)
            process.wait(20);
    }
    sharedConnections_.clear();
    std::error_code ignored;
    if (!connections_.empty()) fs::remove_all(connections_, ignored);
    if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
    if (!partial_.empty()) fs::remove(partial_, ignored);
}

} // namespace

int main(int argc, char** argv) {
    if (toolsupport::answersVersion(argc, argv, "segmentrun")) return 0;
    if (toolsupport::asksForHelp(argc, argv)) {
        std::fputs(usage, stdout);
        return 0;
    }
    ::setenv("PATH",
             std::getenv("PATH") && *std::getenv("PATH") ? std::getenv("PATH")
                                                         : "/usr/local/bin:/usr/bin:/bin",
             1);
    installStopHandlers();
    // fanout-run.sh starts this program under the name of its own folder, so
    // the tools found beside it are those beside the script, as they always were.
    std::string self = argv[0];
    if (self.find('/') == std::string::npos) self = fs::read_symlink("/proc/self/exe").string();
    Run run(fs::path(absolute(self)).parent_path().string());
    return toolsupport::runMain([&] {
        try {
            const int status = run.execute(std::vector<std::string>(argv + 1, argv + argc));
            run.finish();
            return status;
        } catch (const Stopped&) {
            toolsupport::log("fanout-run.sh: stopped");
            run.finish();
            return 143;
        } catch (const Failure& failure) {
            toolsupport::log(failure.message);
            say("FAILED: " + withoutErrorMark(failure.message));
            run.finish();
            return 1;
        } catch (const std::exception& error) {
            toolsupport::log(std::string("ERROR: ") + error.what());
            say(std::string("FAILED: ") + error.what());
            run.finish();
            return 1;
        }
    });
}
