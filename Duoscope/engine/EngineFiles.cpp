#include "EngineFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>

#include "ChildProcess.h"
#include "EncodeSupport.h"
#include "Text.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

void writeFileAtomically(const fs::path& path, const std::string& contents) {
    std::random_device random;
    fs::path temporary = path;
    temporary += ".tmp" + std::to_string(random() % 100000);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "Cannot write " + path.string());
    size_t written = 0;
    while (written < contents.size()) {
        ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            throw std::system_error(error, std::generic_category(), "Cannot write " + path.string());
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), "Cannot write " + path.string());
    }
}

std::optional<std::string> sourceProblem(const fs::path& source) {
    struct stat status;
    if (::stat(source.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return "Source file not found: " + source.string();
        return "Cannot read source " + source.string() + ": " + std::strerror(errno);
    }
    if (S_ISREG(status.st_mode)) return std::nullopt;
    if (S_ISDIR(status.st_mode)) return "Source is a folder, not a file: " + source.string();
    // Reading a pipe or a device would wait forever or never end.
    const char* kind = S_ISFIFO(status.st_mode)   ? "a named pipe"
                       : S_ISCHR(status.st_mode)  ? "a character device"
                       : S_ISBLK(status.st_mode)  ? "a block device"
                       : S_ISSOCK(status.st_mode) ? "a socket"
                                                  : "not a regular file";
    return "Source is " + std::string(kind) + ", not a regular file: " + source.string();
}

bool isSameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    bool same = fs::equivalent(a, b, error);
    return !error && same;
}

std::string fittingFileName(const std::string& name, const std::string& suffix) {
    constexpr size_t limit = 255;
    fs::path path(name);
    std::string extension = path.extension().string();
    std::string stem = name.substr(0, name.size() - extension.size());
    size_t room = limit > suffix.size() + extension.size() ? limit - suffix.size() - extension.size() : 0;
    if (stem.size() > room) {
        stem.resize(room);
        // Drop a UTF-8 sequence the cut left incomplete.
        size_t start = stem.size();
        while (start > 0 && (static_cast<unsigned char>(stem[start - 1]) & 0xC0) == 0x80)
            --start;
        if (start > 0 && static_cast<unsigned char>(stem[start - 1]) >= 0xC0) {
            unsigned char lead = static_cast<unsigned char>(stem[start - 1]);
            size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (stem.size() - (start - 1) < length) stem.resize(start - 1);
        }
    }
    return stem + suffix + extension;
}

std::string lastMeaningfulLine(const std::vector<std::string>& lines) {
    auto isNoise = [](const std::string& line) {
        std::string lower = lowercased(line);
        return line.empty() || lower.starts_with("frame=") || lower.starts_with("size=") ||
               lower.find(" time=") != std::string::npos || lower.starts_with("frame ") ||
               lower == "conversion failed!" || lower.starts_with("exiting normally");
    };
    auto isError = [](const std::string& line) {
        std::string lower = lowercased(line);
        for (const char* word : {"error", "failed", "no space", "invalid", "denied", "cannot", "could not",
                                 "no such", "not found", "unable"})
            if (lower.find(word) != std::string::npos) return true;
        return false;
    };
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        std::string text = trimmed(*line);
        if (!isNoise(text) && isError(text)) return text;
    }
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        std::string text = trimmed(*line);
        if (!isNoise(text)) return text;
    }
    return {};
}

std::string withReason(const std::string& text, const std::string& reason) {
    return reason.empty() ? text : text + ": " + reason;
}

bool diskIsFull(const fs::path& folder) {
    std::error_code error;
    auto space = fs::space(folder, error);
    return !error && space.available < 1024 * 1024;
}

namespace {

// ffprobe's standard output, or nothing when it fails.
std::optional<std::string> ffprobeOutput(const std::vector<std::string>& arguments,
                                         const ProcessTracker& track) {
    auto ffprobe = findTool("ffprobe");
    if (!ffprobe) return std::nullopt;
    try {
        auto process = ChildProcess::create({*ffprobe, arguments, std::nullopt, ChildProcess::Output::pipe,
                                             ChildProcess::Output::nullDevice});
        if (track) track(process);
        process->launch();
        process->waitUntilExit();
        if (process->terminationStatus() != 0 || process->wasKilledBySignal()) return std::nullopt;
        return process->collectedStandardOutput();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

std::optional<MovieFacts> probeMovieFacts(const fs::path& movie, std::optional<double> readSeconds,
                                          const ProcessTracker& track) {
    std::vector<std::string> arguments{"-v", "error"};
    if (readSeconds)
        arguments.insert(arguments.end(), {"-read_intervals", "%+" + std::to_string(*readSeconds)});
    arguments.insert(arguments.end(),
                     {"-select_streams", "v:0", "-count_packets", "-show_entries",
                      "stream=nb_read_packets,r_frame_rate:format=duration", "-of", "json", movie.string()});
    auto output = ffprobeOutput(arguments, track);
    if (!output) return std::nullopt;
    try {
        auto report = nlohmann::json::parse(*output, nullptr, false);
        if (!report.is_object()) return std::nullopt;
        MovieFacts facts;
        auto streams = report.find("streams");
        if (streams == report.end() || !streams->is_array() || streams->empty()) return facts;
        const auto& packets = (*streams)[0].value("nb_read_packets", std::string("0"));
        facts.frames = std::stoll(packets);
        std::string rate = (*streams)[0].value("r_frame_rate", std::string());
        if (auto slash = rate.find('/'); slash != std::string::npos) {
            double numerator = std::stod(rate.substr(0, slash)),
                   denominator = std::stod(rate.substr(slash + 1));
            if (denominator > 0) facts.frameRate = numerator / denominator;
        }
        if (auto format = report.find("format"); format != report.end() && format->contains("duration"))
            facts.duration = std::stod((*format)["duration"].get<std::string>());
        return facts;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<double> probeSoundDuration(const fs::path& movie, std::optional<double> readSeconds,
                                         const ProcessTracker& track) {
    std::vector<std::string> arguments{"-v", "error"};
    if (readSeconds)
        arguments.insert(arguments.end(), {"-read_intervals", "%+" + std::to_string(*readSeconds)});
    arguments.insert(arguments.end(), {"-select_streams", "a:0", "-show_entries",
                                       "packet=pts_time,duration_time", "-of", "csv=p=0", movie.string()});
    auto output = ffprobeOutput(arguments, track);
    if (!output) return std::nullopt;
    std::optional<double> first, end;
    for (const auto& line : splitLines(*output)) {
        auto comma = line.find(',');
        char* stop = nullptr;
        double start = std::strtod(line.c_str(), &stop);
        if (stop == line.c_str() || !std::isfinite(start)) continue;
        double length = comma == std::string::npos ? 0 : std::strtod(line.c_str() + comma + 1, nullptr);
        if (!std::isfinite(length) || length < 0) length = 0;
        if (!first || start < *first) first = start;
        if (!end || start + length > *end) end = start + length;
    }
    if (!first) return std::nullopt;
    return *end - *first;
}

std::optional<std::string> undecodableVideo(const fs::path& movie, double duration,
                                            const ProcessTracker& track) {
    // Two groups of pictures of any encoder we run: enough to meet the first
    // reference and the reordering at both ends, cheap on a film.
    constexpr int leadingPackets = 60;
    std::vector<std::pair<std::string, std::string>> stretches{
        {"%+#" + std::to_string(leadingPackets), "start"}};
    if (duration > 6) stretches.push_back({std::to_string(duration - 3) + "%", "end"});
    for (const auto& [interval, where] : stretches) {
        auto output =
            ffprobeOutput({"-v", "error", "-select_streams", "v:0", "-count_frames", "-count_packets",
                           "-read_intervals", interval, "-show_entries",
                           "stream=nb_read_frames,nb_read_packets", "-of", "csv=p=0", movie.string()},
                          track);
        if (!output) return "its video cannot be decoded at the " + where;
        auto fields = splitAt(trimmed(*output), ",");
        long long frames = fields.size() >= 1 ? std::atoll(fields[0].c_str()) : 0;
        long long packets = fields.size() >= 2 ? std::atoll(fields[1].c_str()) : 0;
        // A packet that decodes to nothing (a lost reference, a picture marked
        // to discard) makes the shortfall; one picture of slack for a decoder
        // that holds its last picture back.
        if (packets > 0 && (frames <= 0 || frames < packets - 1))
            return "only " + std::to_string(frames) + " of " + std::to_string(packets) +
                   " pictures decode at its " + where;
    }
    return std::nullopt;
}

MovieExpectation expectationFromSource(const fs::path& source, double sourceFrameRate, int picturesPerFrame,
                                       std::optional<int> durationLimit, const ProcessTracker& track) {
    MovieExpectation expected;
    // With a limit only its stretch of the source needs reading.
    std::optional<double> readSeconds;
    if (durationLimit) readSeconds = *durationLimit + 2.0;
    auto facts = probeMovieFacts(source, readSeconds, track);
    if (sourceFrameRate <= 0 && facts) sourceFrameRate = facts->frameRate;
    expected.frameRate = sourceFrameRate / picturesPerFrame;
    expected.soundDuration = probeSoundDuration(source, readSeconds, track);
    if (expected.soundDuration && durationLimit)
        expected.soundDuration = std::min(*expected.soundDuration, static_cast<double>(*durationLimit));
    if (!facts || facts->frames <= 0) return expected;
    long long frames = facts->frames / picturesPerFrame;
    if (durationLimit && expected.frameRate > 0)
        frames =
            std::min(frames, static_cast<long long>(std::ceil(*durationLimit * expected.frameRate - 1e-6)));
    expected.frames = frames;
    return expected;
}

std::optional<std::string> movieShortfall(const MovieFacts& facts, const MovieExpectation& expected) {
    if (facts.frames <= 0) return std::string("it holds no video frame");
    if (!expected.frames) return std::nullopt;
    if (std::llabs(facts.frames - *expected.frames) > 1)
        return "it holds " + std::to_string(facts.frames) + " of " + std::to_string(*expected.frames) +
               " frames";
    if (expected.frameRate > 0 && facts.duration > 0) {
        double length = static_cast<double>(*expected.frames) / expected.frameRate;
        // Audio may run a little past the last picture; a cut-off file falls short.
        double slack = std::max(0.5, 2 / expected.frameRate);
        if (facts.duration < length - slack || facts.duration > length + 1.0 + 0.05 * length) {
            char text[128];
            std::snprintf(text, sizeof text, "it lasts %.2f s instead of %.2f s", facts.duration, length);
            return std::string(text);
        }
    }
    if (expected.soundDuration) {
        // Sound is taken from the source on its own: a source cut or
        // rewritten meanwhile shows here first.
        if (!facts.soundDuration) return std::string("it has no sound");
        if (std::fabs(*facts.soundDuration - *expected.soundDuration) > 0.2) {
            char text[128];
            std::snprintf(text, sizeof text, "its sound lasts %.2f s instead of %.2f s", *facts.soundDuration,
                          *expected.soundDuration);
            return std::string(text);
        }
    }
    return std::nullopt;
}

void copyFileContents(const fs::path& from, const fs::path& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw std::system_error(errno, std::generic_category(), "Cannot read " + from.string());
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        int error = errno;
        ::close(in);
        throw std::system_error(error, std::generic_category(), "Cannot write " + to.string());
    }
    std::vector<char> buffer(1 << 20);
    int error = 0;
    std::string failedPath;
    for (;;) {
        ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = errno;
            failedPath = from.string();
            break;
        }
        if (got == 0) break;
        for (ssize_t done = 0; done < got && !error;) {
            ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) {
                error = errno;
                failedPath = to.string();
            } else {
                done += put;
            }
        }
        if (error) break;
    }
    ::close(in);
    if (::close(out) != 0 && !error) {
        error = errno;
        failedPath = to.string();
    }
    if (error) throw std::system_error(error, std::generic_category(), "Cannot copy to " + failedPath);
}

unsigned long long fileSizeOrZero(const fs::path& path) {
    std::error_code error;
    auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

} // namespace duoscope
