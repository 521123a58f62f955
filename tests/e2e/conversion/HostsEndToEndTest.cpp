// The parallel routes across other machines: real SSH servers (Debian's sshd
// on free local ports, throwaway keys), each "machine" with a tools folder,
// a temporary folder and a home of its own, reached by GNU parallel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CommandLineRun.h"
#include "StereoChecks.h"
#include "TestSupport.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path tools = DUOSCOPE_TOOLS_DIR;
const fs::path set = kitSmallSet;
const std::string stereocheck = std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck";

int freePort() {
    int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(socket);
    return port;
}

// The login folder, where GNU parallel keeps a job's files on every machine.
fs::path loginFolder() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry ? fs::path(entry->pw_dir) : fs::path("/");
}

std::vector<std::string> leftoversIn(const fs::path& folder, const std::string& prefix) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path().string());
    return found;
}

class Machines : public CommandLineRun {
  protected:
    void SetUp() override {
        CommandLineRun::SetUp();
        for (const char* program : {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/parallel", "/usr/bin/rsync"})
            if (!fs::exists(program)) GTEST_SKIP() << program << " is not installed";
        if (!fs::exists(tools / "viewpump")) GTEST_SKIP() << "viewpump is not built";
        // sshd run by root wants its privilege separation folder.
        if (::geteuid() == 0) fs::create_directories("/run/sshd");
        for (const char* key : {"host", "client"})
            ASSERT_EQ(runCommand("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", (root / key).string()})
                          .status,
                      0);
        fs::copy_file(root / "client.pub", root / "authorized_keys");
        writeFile(root / "ssh_config",
                  "Host *\n  HostName 127.0.0.1\n  IdentityFile " + (root / "client").string() +
                      "\n  IdentitiesOnly yes\n  StrictHostKeyChecking no\n"
                      "  UserKnownHostsFile /dev/null\n  LogLevel ERROR\n  BatchMode yes\n");
        setenv("PARALLEL_SSH", ("ssh -F " + (root / "ssh_config").string()).c_str(), 1);
    }

    void TearDown() override {
        for (auto& [name, pid] : servers)
            stopServer(pid);
        unsetenv("PARALLEL_SSH");
        CommandLineRun::TearDown();
    }

    fs::path machine(const std::string& name) const { return root / name; }

    // A machine "name" whose tools folder links every built tool, with
    // `replaced` tools written as the scripts given instead.
    void startMachine(const std::string& name, bool hasTools = true,
                      const std::map<std::string, std::string>& replaced = {},
                      const std::string& extraConfig = "") {
        fs::path dir = machine(name);
        for (const char* folder : {"tools", "tmp", "home"})
            fs::create_directories(dir / folder);
        if (hasTools)
            for (const auto& entry : fs::directory_iterator(tools))
                if (!replaced.contains(entry.path().filename()))
                    fs::create_symlink(entry.path(), dir / "tools" / entry.path().filename());
        for (const auto& [tool, body] : replaced)
            writeScript(dir / "tools" / tool, "#!/bin/bash\n" + body);
        int port = freePort();
        // HOME of its own keeps the login's shell start-up files out of the
        // machine's sessions; PATH names its tools folder first.
        writeFile(dir / "sshd_config",
                  "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " +
                      (root / "host").string() + "\nPidFile " + (dir / "sshd.pid").string() +
                      "\nUsePAM no\nStrictModes no\nPasswordAuthentication no\n"
                      "PermitRootLogin prohibit-password\nAuthorizedKeysFile " +
                      (root / "authorized_keys").string() + "\nSetEnv PATH=" + (dir / "tools").string() +
                      ":/usr/bin:/bin TMPDIR=" + (dir / "tmp").string() + " HOME=" + (dir / "home").string() +
                      "\n" + extraConfig);
        writeFile(root / "ssh_config",
                  readFile(root / "ssh_config") + "Host " + name + "\n  Port " + std::to_string(port) + "\n");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string config = (dir / "sshd_config").string(), log = (dir / "sshd.log").string();
            execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", config.c_str(), "-E", log.c_str(), nullptr);
            _exit(127);
        }
        servers[name] = pid;
        writeFile(dir / "server.pid", std::to_string(pid));
        ASSERT_TRUE(waitUntil(
            [&] {
                return runCommand("ssh", {"-F", (root / "ssh_config").string(), name, "true"}).status == 0;
            },
            std::chrono::seconds(20)))
            << readFile(dir / "sshd.log");
    }

    static void stopServer(pid_t pid) {
        // The listener and the sessions it started.
        runCommand("pkill", {"-KILL", "-P", std::to_string(pid)});
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

    // Nothing of a run is left on a machine: no folder in its login,
    // temporary or home folder, no process of its tools, no connection to it.
    void expectNothingLeftOn(const std::string& name) {
        for (const char* folder : {"tmp", "home"})
            EXPECT_TRUE(fs::is_empty(machine(name) / folder)) << name << " " << folder;
        EXPECT_EQ(leftoversIn(loginFolder(), ".duoscope-fanout."), std::vector<std::string>{});
        for (const char* process : {"/.duoscope-fanout.", "ControlMaster=yes"})
            EXPECT_TRUE(
                waitUntil([&] { return !processWithCommandLineExists(process); }, std::chrono::seconds(5)))
                << name << ": " << process;
    }

    // fanout-run.sh's command line on the kit's small title; `options` choose
    // the target and the machines.
    std::vector<std::string> fanoutArguments(const fs::path& output,
                                             const std::vector<std::string>& options) {
        fs::path work = root / "work";
        fs::create_directories(work);
        std::vector<std::string> arguments{(tools / "fanout-run.sh").string(),
                                           (set / "cabac_b/interleaved.264").string(),
                                           (set / "cabac_b/movie.m2ts").string(),
                                           output.string(),
                                           "--width",
                                           "320",
                                           "--height",
                                           "176",
                                           "--fps",
                                           "24000/1001",
                                           "--audio-args",
                                           "-c:a copy",
                                           "--workdir",
                                           work.string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return arguments;
    }

    CommandResult fanout(const fs::path& output, const std::vector<std::string>& options) {
        return runCommand("/bin/bash", fanoutArguments(output, options));
    }

    // The MD5 of every frame, decoded on the machines.
    CommandResult frameSums(const std::string& hosts, const fs::path& sums,
                            const std::string& segmentSize = "8") {
        return fanout(sums,
                      {"--quality", "80", "--frame-md5", "--segment-size", segmentSize, "--hosts", hosts});
    }

    static std::string singleDecodeSums() {
        return runCommand(
                   "/bin/bash",
                   {"-c", "'" + (tools / "viewpump").string() + "' -p InputFile='" +
                              (set / "cabac_b/interleaved.264").string() +
                              "' -p DecodeAllLayers=1 2>/dev/null | '" + (tools / "twinrow").string() +
                              "' 320 176 2>/dev/null | ffmpeg -loglevel error -f rawvideo -pix_fmt yuv420p "
                              "-s 640x176 -i - -f framemd5 - | awk '!/^#/ { print $NF }'"})
            .output;
    }

    ScratchFolder root{"hosts-machines"}; // sshd and ssh configuration files take no spaces
    std::map<std::string, pid_t> servers;
};

const std::string versionAnswer =
    "[[ $1 == --version ]] && exec '" + (tools / "viewpump").string() + "' --version\n";

} // namespace

// Both targets made on two other machines: every frame, the rate, both eyes in order.
TEST_F(Machines, AConversionAcrossTwoMachinesToBothTargets) {
    startMachine("machine-a");
    startMachine("machine-b");
    for (const auto& [target, name] : {std::pair{"sbs", "movie_SBS.mkv"}, std::pair{"mvhevc", "movie.mov"}}) {
        SCOPED_TRACE(target);
        fs::path output = root / (std::string("out ") + target);
        auto result = convert((set / "open_gop/movie.m2ts").string(), output.string(),
                              {"--target", target, "--hosts", "1/machine-a,1/machine-b"});
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("Hosts: 1/machine-a 1/machine-b"), std::string::npos) << result.output;
        EXPECT_NE(result.output.find(" on machine-b"), std::string::npos) << result.output;
        fs::path movie = output / name;
        auto streams =
            runCommand("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                            "stream=r_frame_rate", "-of", "default=nw=1", movie.string()});
        EXPECT_EQ(streams.output, "r_frame_rate=24000/1001\n");
        std::vector<std::string> check{"--set", set.string(), "--min-psnr", "35", movie.string()};
        fs::path right = root / "right.hevc";
        if (std::string(target) == "mvhevc") {
            ASSERT_TRUE(stereochecks::extractRightEye(movie, right));
            check.push_back(right.string());
        }
        auto eyes = runCommand(stereocheck, check);
        EXPECT_EQ(eyes.status, 0) << eyes.output;
    }
    for (const char* name : {"machine-a", "machine-b"})
        expectNothingLeftOn(name);
}

// A machine without the tools and one with other versions of them are named
// and left out; the ones left (this machine among them) do all the work, exactly. With none left the
// run fails and says so.
TEST_F(Machines, MachinesWithoutTheSameToolsAreLeftOut) {
    startMachine("machine-a");
    startMachine("bare", false);
    startMachine("older", true,
                 {{"viewpump", "[[ $1 == --version ]] && echo 'viewpump 0.9.0' && exit 0\n"
                               "exec '" +
                                   (tools / "viewpump").string() + "' \"$@\"\n"}});
    fs::path sums = root / "sums.md5";
    // This machine (":") works beside the others on the segments where they lie.
    auto run = frameSums("1/:,1/machine-a,bare,older,unreachable-box", sums);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readFile(sums), singleDecodeSums());
    for (const char* line :
         {"Host bare left out: lacks the tools", "Host older left out: has other versions of the tools",
          "Host unreachable-box left out: unreachable"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    EXPECT_EQ(run.output.find(" on older"), std::string::npos);

    auto none = frameSums("bare,older", root / "none.md5");
    EXPECT_NE(none.status, 0);
    EXPECT_NE(none.output.find("no host left to run the segments on"), std::string::npos) << none.output;
    EXPECT_FALSE(fs::exists(root / "none.md5"));
}

// A machine that goes away in the middle (its SSH server and sessions
// killed as its first worker starts): its segment runs again on the other
// one and the result is whole.
TEST_F(Machines, AMachineLostMidRunHandsItsSegmentToAnother) {
    startMachine("machine-a");
    startMachine("fragile", true,
                 {{"viewpump", versionAnswer + "server=$(cat '" + (root / "fragile" / "server.pid").string() +
                                   "')\npkill -KILL -P \"$server\"; kill -KILL \"$server\"\nexit 1\n"}});
    fs::path sums = root / "sums.md5";
    auto run = frameSums("1/machine-a,1/fragile", sums);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readFile(sums), singleDecodeSums());
    EXPECT_EQ(run.output.find(" on fragile"), std::string::npos) << run.output;
    expectNothingLeftOn("machine-a");
}

// SIGTERM to the run's process group, as the window's Cancel and Ctrl-C
// send it, stops the workers on every machine and leaves nothing there.
TEST_F(Machines, CancellingStopsTheWorkersOnEveryMachine) {
    for (const char* name : {"machine-a", "machine-b"})
        startMachine(name, true,
                     {{"viewpump", versionAnswer + "exec -a fanout-hosts-busy-worker sleep 60\n"}});
    fs::path work = root / "work", out = root / "out";
    fs::create_directories(work);
    fs::create_directories(out);
    auto arguments = fanoutArguments(out / "movie.mov", {"--quality", "0.8", "--mvhevc", "--segment-size",
                                                         "12", "--hosts", "2/machine-a,2/machine-b"});
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setpgid(0, 0);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>("/bin/bash")};
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv("/bin/bash", argv.data());
        _exit(127);
    }
    // Both machines busy with two segments each.
    EXPECT_TRUE(waitUntil([&] { return processWithCommandLineExists("fanout-hosts-busy-worker"); },
                          std::chrono::seconds(40)));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ::kill(-pid, SIGTERM);
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30)))
        ::kill(-pid, SIGKILL), waitpid(pid, &status, 0);
    EXPECT_TRUE(waitUntil([] { return !processWithCommandLineExists("fanout-hosts-busy-worker"); },
                          std::chrono::seconds(10)));
    for (const char* name : {"machine-a", "machine-b"})
        expectNothingLeftOn(name);
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_TRUE(fs::is_empty(work));
}

// A source whose name a shell would read as commands: no machine sees it,
// nothing runs from it, and the movie is made.
TEST_F(Machines, OddFileNamesNeverReachAMachine) {
    startMachine("machine-a");
    fs::path odd = root / "it's a \"3D\" $(touch pwned); `touch pwned` & movie.m2ts";
    fs::copy_file(set / "cabac_b/movie.m2ts", odd);
    fs::path output = root / "out $HOME";
    auto result = runCommand(duoscopeProgram,
                             {"--input", odd.string(), "--auto-convert", "--output", output.string(),
                              "--target", "mvhevc", "--hosts", "2/machine-a"},
                             CommandOptions::inFolder(root.path()));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(fs::exists(output / (odd.stem().string() + ".mov"))) << result.output;
    for (const fs::path& folder : {root.path(), machine("machine-a") / "home", loginFolder()})
        EXPECT_FALSE(fs::exists(folder / "pwned")) << folder;
    EXPECT_EQ(readFile(machine("machine-a") / "sshd.log").find("3D"), std::string::npos);
    expectNothingLeftOn("machine-a");
}

// The machines make the very movie this machine makes alone from the same
// segment plan and settings: x265 with the same threads is deterministic, so
// every encoded picture, both layers of MV-HEVC included, is the same bytes.
TEST_F(Machines, TheMachinesMakeTheSameMovieAsThisOne) {
    startMachine("machine-a");
    startMachine("machine-b");
    auto packetSums = [](const fs::path& movie) {
        auto sums = runCommand("/usr/bin/ffmpeg", {"-v", "error", "-i", movie.string(), "-map", "0:v:0", "-c",
                                                   "copy", "-f", "framemd5", "-"});
        std::istringstream in(sums.output);
        std::string line, lines;
        while (std::getline(in, line))
            if (!line.starts_with("#")) lines += line.substr(line.rfind(',') + 1) + "\n";
        return lines;
    };
    for (const auto& target :
         std::vector<std::vector<std::string>>{{"--mvhevc"}, {"--crf", "28", "--speed", "veryfast"}}) {
        SCOPED_TRACE(target[0]);
        std::string extension = target[0] == "--mvhevc" ? ".mov" : ".mkv";
        std::vector<std::string> plan = target;
        plan.insert(plan.end(), {"--segment-size", "12", "--workers", "2"});
        plan.insert(plan.end(), {"--quality", target[0] == "--mvhevc" ? "0.8" : "80"});
        fs::path here = root / ("here" + extension), there = root / ("there" + extension);
        auto alone = fanout(here, plan);
        ASSERT_EQ(alone.status, 0) << alone.output;
        plan.insert(plan.end(), {"--hosts", "1/machine-a,1/machine-b"});
        auto spread = fanout(there, plan);
        ASSERT_EQ(spread.status, 0) << spread.output;
        EXPECT_NE(spread.output.find(" on machine-a"), std::string::npos) << spread.output;
        EXPECT_NE(spread.output.find(" on machine-b"), std::string::npos) << spread.output;
        const std::string expected = packetSums(here);
        const std::string frames = singleDecodeSums();
        EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'),
                  std::count(frames.begin(), frames.end(), '\n'));
        EXPECT_EQ(packetSums(there), expected);
    }
}

// A machine whose disk takes no file of a segment's size fails the
// segments it gets; they run again on the other one and the film is whole.
TEST_F(Machines, AMachineWithAFullDiskHandsItsSegmentsOn) {
    startMachine("machine-a");
    startMachine("full-disk", true, {}, "ForceCommand ulimit -f 16; eval \"$SSH_ORIGINAL_COMMAND\"\n");
    fs::path sums = root / "sums.md5";
    auto run = frameSums("1/machine-a,1/full-disk", sums);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readFile(sums), singleDecodeSums());
    EXPECT_EQ(run.output.find(" on full-disk"), std::string::npos) << run.output;
    for (const char* name : {"machine-a", "full-disk"})
        expectNothingLeftOn(name);
}
