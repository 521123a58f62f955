#include "EncodeSupport.h"
#include "EngineFiles.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>

#include "ChildProcess.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string result;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) result += separator;
        result += parts[i];
    }
    return result;
}

std::vector<std::string> splitAt(std::string_view text, std::string_view separators) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos) end = text.size();
        pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    for (const std::string& piece : splitAt(text, "\r\n"))
        if (std::string line = trimmed(piece); !line.empty()) lines.push_back(std::move(line));
    return lines;
}

std::string leadingCharacters(std::string_view text, std::size_t count) {
    size_t end = 0;
    for (size_t seen = 0; end < text.size() && seen < count; ++seen) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
    }
    return std::string(text.substr(0, end));
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string extensionOf(const fs::path& path) {
    std::string extension = path.extension().string();
    return extension.empty() ? extension : extension.substr(1);
}

std::string shortestDecimal(double value) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
}

std::string shellDoubleQuoted(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') result.push_back('\\');
        result.push_back(c);
    }
    return result;
}

std::optional<double> parseClockTime(std::string_view text) {
    double parts[3];
    int count = 0;
    size_t start = 0;
    while (true) {
        size_t colon = text.find(':', start);
        std::string_view part = text.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (count == 3 || part.empty() || part[0] == '-') return std::nullopt;
        auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), parts[count]);
        if (error != std::errc() || end != part.data() + part.size() || !(parts[count] >= 0))
            return std::nullopt;
        ++count;
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (count != 3) return std::nullopt;
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

std::optional<std::string> timeTextOfLine(std::string_view line) {
    size_t at = line.find("time=");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = line.substr(at + 5);
    return std::string(rest.substr(0, rest.find(' ')));
}

double lastTimeInLog(std::string_view logText) {
    double last = 0;
    for (size_t at = logText.find("time="); at != std::string_view::npos;
         at = logText.find("time=", at + 5)) {
        std::string_view rest = logText.substr(at + 5);
        if (auto seconds = parseClockTime(rest.substr(0, rest.find_first_of(" \r\n")))) last = *seconds;
    }
    return last;
}

std::uintmax_t wholeMegabytes(const fs::path& file) {
    return fileSizeOrZero(file) / 1'000'000;
}

std::string fileTail(const fs::path& file, std::size_t count) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::streamoff size = in.tellg();
    std::streamoff start =
        size > static_cast<std::streamoff>(count) ? size - static_cast<std::streamoff>(count) : 0;
    in.seekg(start);
    std::string text(static_cast<size_t>(size - start), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

void RecentLines::append(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    while (lines_.size() > capacity_)
        lines_.pop_front();
}

std::vector<std::string> RecentLines::last(std::size_t count) const {
    std::lock_guard lock(mutex_);
    size_t skip = lines_.size() > count ? lines_.size() - count : 0;
    return {lines_.begin() + static_cast<std::ptrdiff_t>(skip), lines_.end()};
}

bool RecentLines::empty() const {
    std::lock_guard lock(mutex_);
    return lines_.empty();
}

std::vector<std::string> encodeSBSArguments(const SBSEncodeSpec& spec, EncoderProfile profile) {
    std::string size = std::to_string(spec.viewWidth) + "x" + std::to_string(spec.viewHeight);
    std::string rate = std::to_string(spec.frameRateNum) + "/" + std::to_string(spec.frameRateDen);
    std::vector<std::string> arguments{"-y"};
    for (const fs::path* view : {&spec.leftView, &spec.rightView})
        arguments.insert(arguments.end(), {"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size, "-r", rate,
                                           "-i", view->string()});
    // The audio map is optional: a source without audio still makes a movie.
    arguments.insert(arguments.end(), {"-i", spec.sourceAudio.string(), "-filter_complex",
                                       "[0:v][1:v]hstack=inputs=2[sbs]", "-map", "[sbs]", "-map", "2:a:0?"});
    std::string extension = lowercased(extensionOf(spec.output));
    auto group = videoEncoderGroup(usesHEVC(extension, spec.outputCodec), spec.qualityPreset);
    arguments.insert(arguments.end(), group.begin(), group.end());
    auto cap = rateCapArguments(spec.qualityPreset);
    arguments.insert(arguments.end(), cap.begin(), cap.end());
    if (extension == "mov") arguments.insert(arguments.end(), {"-movflags", "+faststart"});
    auto audio = audioCopyArguments(extension, spec.sourceAudioCodec);
    arguments.insert(arguments.end(), audio.begin(), audio.end());
    arguments.insert(arguments.end(), {"-sn", "-dn", "-shortest", spec.output.string()});
    return applyEncoderProfile(std::move(arguments), profile);
}

std::vector<std::string> sideBySideRemuxArguments(const fs::path& source, const fs::path& remuxed,
                                                  EncoderProfile profile) {
    return applyEncoderProfile({"-y", "-i", source.string(), "-c:v", "copy", "-tag:v", "hvc1", "-c:a",
                                "aac_at", "-b:a", "448k", "-ac", "6", "-ar", "48000", "-movflags",
                                "+faststart", remuxed.string()},
                               profile);
}

std::vector<std::string> sideBySideCopyArguments(const fs::path& source, const fs::path& output,
                                                 bool copyVideo, OutputCodec codec, QualityPreset preset,
                                                 std::optional<int> durationLimit,
                                                 const std::optional<std::string>& sourceAudioCodec,
                                                 EncoderProfile profile) {
    std::vector<std::string> arguments{"-y"};
    if (durationLimit) arguments.insert(arguments.end(), {"-t", std::to_string(*durationLimit)});
    arguments.insert(arguments.end(), {"-i", source.string(), "-map", "0:v:0", "-map", "0:a:0?"});
    if (copyVideo) {
        arguments.insert(arguments.end(), {"-c:v", "copy"});
    } else {
        auto group = videoEncoderGroup(codec == OutputCodec::h265, preset);
        arguments.insert(arguments.end(), group.begin(), group.end());
        auto cap = rateCapArguments(preset);
        arguments.insert(arguments.end(), cap.begin(), cap.end());
    }
    auto audio = audioCopyArguments(lowercased(extensionOf(output)), sourceAudioCodec);
    arguments.insert(arguments.end(), audio.begin(), audio.end());
    arguments.insert(arguments.end(), {"-sn", "-dn", output.string()});
    return applyEncoderProfile(std::move(arguments), profile);
}

std::string_view ffprobeCodecName(OutputCodec codec) {
    return codec == OutputCodec::h265 ? "hevc" : "h264";
}

std::vector<std::string> mvhevcRemuxArguments(const fs::path& input, const fs::path& remuxed) {
    return {"-y",   "-i",     input.string(), "-c:v",      "copy",       "-c:a",
            "copy", "-tag:v", "hvc1",         "-movflags", "+faststart", remuxed.string()};
}

std::vector<std::string> withHEVCTagOnlyFor(std::vector<std::string> arguments,
                                            const std::optional<std::string>& videoCodec) {
    if (!videoCodec || *videoCodec == "hevc") return arguments;
    for (size_t i = 0; i + 1 < arguments.size(); ++i)
        if (arguments[i] == "-tag:v" && arguments[i + 1] == "hvc1") {
            arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                            arguments.begin() + static_cast<std::ptrdiff_t>(i + 2));
            break;
        }
    return arguments;
}

namespace {

std::optional<std::string> probeCodec(const fs::path& movie, const char* stream) {
    auto ffprobe = findTool("ffprobe");
    if (!ffprobe) return std::nullopt;
    try {
        auto process = ChildProcess::create(
            {*ffprobe,
             {"-v", "error", "-select_streams", stream, "-show_entries", "stream=codec_name", "-of",
              "default=noprint_wrappers=1:nokey=1", movie.string()},
             std::nullopt,
             ChildProcess::Output::pipe,
             ChildProcess::Output::nullDevice});
        process->launch();
        process->waitUntilExit();
        if (process->terminationStatus() != 0) return std::nullopt;
        // A transport stream lists the stream once more under its program.
        std::optional<std::string> codec;
        for (const auto& line : splitLines(process->collectedStandardOutput())) {
            std::string name = trimmed(line);
            if (name.empty()) continue;
            if (codec && *codec != name) return std::nullopt;
            codec = name;
        }
        return codec;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

std::optional<std::string> probeVideoCodec(const fs::path& movie) {
    return probeCodec(movie, "v:0");
}

std::optional<std::string> probeAudioCodec(const fs::path& movie) {
    return probeCodec(movie, "a:0");
}

std::vector<std::string> audioCopyArguments(std::string_view extension,
                                            const std::optional<std::string>& codec) {
    // ffmpeg refuses these at the header, before a single picture is encoded,
    // or (Blu-ray LPCM in QuickTime) writes a track it cannot read back.
    // Blu-ray LPCM and TrueHD, and FLAC or Opus from Matroska, are common.
    static const std::set<std::string, std::less<>> notInMatroska{"pcm_bluray", "pcm_dvd", "s302m"};
    static const std::set<std::string, std::less<>> notInQuickTime{"pcm_bluray", "truehd",  "mlp",  "flac",
                                                                   "opus",       "pcm_dvd", "s302m"};
    if (codec) {
        std::string lower = lowercased(std::string(extension));
        if (lower == "mkv" && notInMatroska.contains(*codec)) return {"-c:a", "flac"};
        if (lower == "mov" && notInQuickTime.contains(*codec)) return {"-c:a", "pcm_s24le"};
    }
    return {"-c:a", "copy"};
}

std::vector<std::string> stereoPackerArguments(const fs::path& input, const fs::path& output,
                                               QualityPreset preset, const Stereo3DMode& layout,
                                               const SpatialMetadata& spatial) {
    const auto& encoding = presetEncoding(preset);
    std::vector<std::string> arguments{input.string(), output.string(), encoding.stereoPackerQuality};
    if (encoding.stereoPackerRate) arguments.push_back(std::to_string(*encoding.stereoPackerRate));
    if (layout.isFramePacked() && !layout.isPlainSideBySide()) {
        arguments.insert(arguments.end(), {"--layout", layoutOptionName(layout)});
        if (layout.rightFirst) arguments.push_back("--right-first");
    }
    for (auto& argument : spatialMetadataArguments(spatial))
        arguments.push_back(argument);
    return arguments;
}

std::string layoutOptionName(const Stereo3DMode& layout) {
    std::string name = layout.kind == Stereo3DMode::Kind::topBottom ? "tb" : "sbs";
    return layout.isHalf ? "h" + name : name;
}

std::string framePackedFilter(const Stereo3DMode& layout, int frameWidth, int frameHeight) {
    bool topBottom = layout.kind == Stereo3DMode::Kind::topBottom;
    int cutWidth = topBottom ? frameWidth : frameWidth / 2;
    int cutHeight = topBottom ? frameHeight / 2 : frameHeight;
    EyeSize eye = eyeSizeOf(layout, frameWidth, frameHeight);
    std::string cut = "crop=" + std::to_string(cutWidth) + ":" + std::to_string(cutHeight) + ":";
    // Each eye is stretched on its own: one scaler over the whole frame would
    // blend the eyes along the seam.
    std::string shape = (layout.isHalf ? ",scale=" + std::to_string(eye.width) + ":" +
                                             std::to_string(eye.height) + ":flags=lanczos"
                                       : std::string()) +
                        ",setsar=1";
    std::string second = topBottom ? "0:" + std::to_string(cutHeight) : std::to_string(cutWidth) + ":0";
    std::string firstEye = layout.rightFirst ? "right" : "left";
    std::string secondEye = layout.rightFirst ? "left" : "right";
    return "        [0:v]split[a][b];\n"
           "        [a]" +
           cut + "0:0" + shape + "[" + firstEye +
           "];\n"
           "        [b]" +
           cut + second + shape + "[" + secondEye +
           "];\n"
           "        [left][right]hstack=inputs=2[sbs]\n";
}

std::string audioArgumentText(OutputTarget target, EncoderProfile profile, const std::string& outputPath,
                              const std::optional<std::string>& sourceAudioCodec) {
    if (target == OutputTarget::visionPro)
        return applyEncoderProfile(std::string("-c:a aac_at -b:a 448k -ac 6 -ar 48000"), profile);
    return joined(audioCopyArguments(extensionOf(outputPath), sourceAudioCodec), " ");
}

std::string frameAlternateScript(const FrameAlternateScriptSpec& spec, EncoderProfile profile,
                                 const std::optional<PackedFrames>& packed) {
    const auto& encoding = presetEncoding(spec.qualityPreset);
    std::string rate;
    if (encoding.rateCapMegabits)
        rate = " -maxrate " + std::to_string(*encoding.rateCapMegabits) + "M -bufsize " +
               std::to_string(2 * *encoding.rateCapMegabits) + "M";
    std::string quality = std::to_string(encoding.videoQuality);
    std::string video =
        usesHEVC(lowercased(extensionOf(spec.outputPath)), spec.outputCodec)
            ? "-c:v hevc_videotoolbox -q:v " + quality + rate +
                  " -sc_threshold 0 -realtime 0 -tag:v hvc1 -metadata:s:v:0 stereo_mode=left_right"
            : "-c:v h264_videotoolbox -q:v " + quality + rate +
                  " -sc_threshold 0 -realtime 0 -metadata:s:v:0 stereo_mode=left_right";
    video = applyEncoderProfile(video, profile);
    std::string audio = audioArgumentText(spec.outputTarget, profile, spec.outputPath, spec.sourceAudioCodec);
    // The limit is in seconds of the source, which are seconds of the output too.
    std::string limit = spec.durationLimit ? "-t " + std::to_string(*spec.durationLimit) : "";
    std::string first = spec.rightFirst ? "right" : "left";
    std::string second = spec.rightFirst ? "left" : "right";
    // Each eye holds every other picture: stamp it at half the source's rate
    // and say so to the rest of the graph, or the movie plays twice as fast as
    // its audio.
    std::string eyeTiming = "setpts=2*N/FRAME_RATE/TB,fps=source_fps/2";
    std::string filter = packed ? framePackedFilter(packed->layout, packed->width, packed->height)
                                : "        [0:v]split[a][b];\n"
                                  "        [a]select='not(mod(n\\,2))'," +
                                      eyeTiming + "[" + first +
                                      "];\n"
                                      "        [b]select='mod(n\\,2)'," +
                                      eyeTiming + "[" + second +
                                      "];\n"
                                      "        [left][right]hstack=inputs=2[sbs]\n";
    std::string banner = packed ? "FA: Encoding " + packed->layout.description() + " → SBS"
                                : std::string("FA: Encoding frame-alternate → SBS (") +
                                      (spec.rightFirst ? "right-first" : "left-first") + ")";
    return "#!/bin/bash\n"
           "set -eo pipefail\n"
           "FFMPEG=\"" +
           shellDoubleQuoted(spec.ffmpegPath) +
           "\"\n"
           "SOURCE=\"" +
           shellDoubleQuoted(spec.sourcePath) +
           "\"\n"
           "WORKDIR=\"" +
           shellDoubleQuoted(spec.workFolder) +
           "\"\n"
           "\n"
           "echo \"" +
           banner +
           "\"\n"
           "# Use ffmpeg filter_complex to:\n"
           "# - Split input into two streams\n"
           "# - Select even/odd frames for left/right eyes\n"
           "# - For block_rl: even=right, odd=left (swap)\n"
           "# - For block_lr: even=left, odd=right (normal)\n"
           "# - Horizontally stack them (always left|right)\n"
           "# The source framerate is 2x actual (e.g. 47.952 for 23.976 content)\n"
           "# After selecting every other frame, each eye is at the real framerate\n"
           "\"$FFMPEG\" -y " +
           limit +
           " -i \"$SOURCE\" \\\n"
           "    -filter_complex \"\n" +
           filter +
           "    \" \\\n"
           "    -map \"[sbs]\" -map 0:a:0? \\\n"
           "    " +
           video +
           " \\\n"
           "    " +
           audio +
           " -shortest \\\n"
           "    -movflags +faststart \\\n"
           "    \"" +
           shellDoubleQuoted(spec.outputPath) +
           "\" 2>\"$WORKDIR/ffmpeg.log\"\n"
           "\n"
           "echo \"FA: Done\"";
}

std::string pipePipelineScript(const PipeScriptSpec& spec, EncoderProfile profile) {
    const std::string gap = "     ";
    bool hevc = usesHEVC(lowercased(extensionOf(spec.outputPath)), spec.outputCodec);
    std::string encoder =
        applyEncoderProfile((hevc ? "-c:v hevc_videotoolbox -q:v " : "-c:v h264_videotoolbox -q:v ") +
                                std::to_string(presetEncoding(spec.qualityPreset).videoQuality) +
                                (hevc ? " -tag:v hvc1 -pix_fmt yuv420p" : " -pix_fmt yuv420p"),
                            profile);
    std::string rate = std::to_string(spec.frameRateNum) + "/" + std::to_string(spec.frameRateDen);
    return "#!/bin/bash\n"
           "set -o pipefail\n"
           "cd \"" +
           shellDoubleQuoted(spec.workFolder) +
           "\"\n"
           "\"" +
           shellDoubleQuoted(spec.viewpumpPath) + "\"" + gap + "-p InputFile=input_stream.264" + gap +
           "-p OutputFile=output.yuv" + gap + "-p DecodeAllLayers=1 | \"" +
           shellDoubleQuoted(spec.twinrowPath) + "\" " + std::to_string(spec.viewWidth) + " " +
           std::to_string(spec.viewHeight) + (spec.rightFirst ? " swap" : "") + " | \"" +
           shellDoubleQuoted(spec.ffmpegPath) + "\" -y" + gap + "-f rawvideo -pix_fmt yuv420p -s " +
           std::to_string(2 * spec.viewWidth) + "x" + std::to_string(spec.viewHeight) + " -r " + rate + gap +
           "-i pipe:0" + gap + "-i \"" + shellDoubleQuoted(spec.sourceAudioPath) + "\"" + gap +
           "-map 0:v -map '1:a:0?'" + gap + encoder + gap +
           audioArgumentText(spec.outputTarget, profile, spec.outputPath, spec.sourceAudioCodec) +
           " -shortest" + gap + "-movflags +faststart" + gap + "\"" + shellDoubleQuoted(spec.outputPath) +
           "\"" + gap + "2>&1";
}

std::string parallelQualityText(QualityPreset preset, bool directMVHEVC) {
    const auto& encoding = presetEncoding(preset);
    return directMVHEVC ? encoding.stereoPackerQuality : std::to_string(encoding.videoQuality);
}

std::optional<std::pair<int, long long>> concealedPictureLine(std::string_view line) {
    int view = -1;
    long long accessUnit = -1;
    char tail[2] = {};
    std::string text(line);
    if (std::sscanf(text.c_str(), "viewpump: concealed picture of view %d in access unit %lld%1s", &view,
                    &accessUnit, tail) != 2 ||
        view < 0 || view > 1 || accessUnit < 0)
        return std::nullopt;
    return std::pair{view, accessUnit};
}

std::string damageSummary(const std::vector<std::pair<int, double>>& concealed) {
    if (concealed.empty()) return {};
    double first = concealed.front().second, last = first;
    long long perView[2] = {0, 0};
    for (const auto& [view, seconds] : concealed) {
        first = std::min(first, seconds);
        last = std::max(last, seconds);
        ++perView[view == 1 ? 1 : 0];
    }
    auto clock = [](double seconds) {
        auto whole = static_cast<long long>(std::max(0.0, std::floor(seconds)));
        char text[32];
        std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
        return std::string(text);
    };
    return std::to_string(concealed.size()) + " damaged pictures between " + clock(first) + " and " +
           clock(last) + " (base view: " + std::to_string(perView[0]) +
           ", second view: " + std::to_string(perView[1]) + ")";
}

std::uint64_t segmentWorkerPeakBytes(int viewWidth, int viewHeight) {
    // Measured: fanout-run.sh with one worker on the test kit's 1080p title
    // (two 1920x1080 eyes, libx265) peaked at 678 MB, the resident memory of
    // all its processes summed. Nearly all of it is the encoder's lookahead
    // and reference pictures, which grow with the picture; a fixed part is
    // the programs themselves.
    constexpr double fixedBytes = 60e6;
    constexpr double bytesPerPixel = (680e6 - fixedBytes) / (2.0 * 1920 * 1080);
    double pixels = 2.0 * std::max(viewWidth, 1) * std::max(viewHeight, 1);
    return static_cast<std::uint64_t>(fixedBytes + bytesPerPixel * pixels);
}

int segmentWorkerCount(int cores, std::uint64_t availableBytes, std::uint64_t perWorkerBytes) {
    int count = std::max(cores, 1);
    if (perWorkerBytes > 0) {
        auto fitting = static_cast<long long>(availableBytes / 4 * 3 / perWorkerBytes);
        count = static_cast<int>(std::min<long long>(count, fitting));
    }
    return std::max(count, 1);
}

std::optional<std::uint64_t> availableMemoryBytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> key >> kilobytes >> unit)
        if (key == "MemAvailable:") return kilobytes * 1024;
    return std::nullopt;
}

std::vector<std::string> parallelPipelineArguments(const ParallelArgumentsSpec& spec, EncoderProfile profile,
                                                   const SpatialMetadata& spatial) {
    const auto& encoding = presetEncoding(spec.qualityPreset);
    std::vector<std::string> arguments{
        spec.scriptPath,
        spec.interleavedPath,
        spec.sourceAudioPath,
        spec.outputPath,
        "--width",
        std::to_string(spec.viewWidth),
        "--height",
        std::to_string(spec.viewHeight),
        "--fps",
        std::to_string(spec.frameRateNum) + "/" + std::to_string(spec.frameRateDen),
        "--quality",
        parallelQualityText(spec.qualityPreset, spec.directMVHEVC),
        "--audio-args",
        audioArgumentText(spec.outputTarget, profile, spec.outputPath, spec.sourceAudioCodec),
        "--workdir",
        spec.workFolder};
    if (spec.directMVHEVC) {
        arguments.push_back("--mvhevc");
    } else {
        // The software encoders' settings come from the one table, here.
        arguments.insert(arguments.end(), {"--crf", std::to_string(encoding.softwareCRF), "--speed",
                                           encoding.softwareSpeedPreset});
        if (!usesHEVC(lowercased(extensionOf(spec.outputPath)), spec.outputCodec))
            arguments.insert(arguments.end(), {"--codec", "h264"});
    }
    auto cap = spec.directMVHEVC ? encoding.stereoPackerRate : encoding.rateCapMegabits;
    if (cap) arguments.insert(arguments.end(), {"--maxrate", std::to_string(*cap)});
    if (spec.rightFirst) arguments.push_back("--swap");
    if (spec.workers) arguments.insert(arguments.end(), {"--workers", std::to_string(*spec.workers)});
    if (!spec.hosts.empty()) arguments.insert(arguments.end(), {"--hosts", spec.hosts});
    if (spec.dualSplitMVCPath)
        arguments.insert(arguments.end(), {"--dual-split", spec.interleavedPath, *spec.dualSplitMVCPath});
    if (spec.directMVHEVC)
        for (auto& argument : spatialMetadataArguments(spatial))
            arguments.push_back(argument);
    return arguments;
}

std::optional<ParallelWork> parallelWorkLine(std::string_view line) {
    if (!startsWith(line, "PROGRESS: ")) return std::nullopt;
    ParallelWork work;
    long long segmentsDone = 0, segments = 0;
    char tail[2] = {};
    std::string text(line.substr(10));
    if (std::sscanf(text.c_str(), "%lld/%lld frames, %lld/%lld segments%1s", &work.framesDone,
                    &work.framesTotal, &segmentsDone, &segments, tail) != 4)
        return std::nullopt;
    if (work.framesDone < 0 || work.framesTotal < 0 || segmentsDone < 0 || segments < segmentsDone ||
        segments > 1'000'000)
        return std::nullopt;
    work.segmentsDone = static_cast<int>(segmentsDone);
    work.segments = static_cast<int>(segments);
    return work;
}

} // namespace duoscope
