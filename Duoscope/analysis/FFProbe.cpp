#include "FFProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "ChildProcess.h"
#include "Text.h"
#include "ToolLocator.h"

namespace duoscope {

using nlohmann::json;

namespace {

// The first n characters (code points) of UTF-8 text.
std::string prefixCharacters(const std::string& text, size_t n) {
    size_t i = 0, count = 0;
    while (i < text.size() && count < n) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        i = std::min(text.size(), i + length);
        ++count;
    }
    return text.substr(0, i);
}

std::optional<std::string> stringField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<long long> integerField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<long long>();
}

std::optional<double> parseDecimal(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    // A non-finite length would poison every later computation on it.
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// "N:D" as N / D; nothing when absent, unparsable or zero ("0:1" means unknown).
std::optional<double> sampleAspectRatio(const json& stream) {
    auto text = stringField(stream, "sample_aspect_ratio");
    if (!text) return std::nullopt;
    size_t colon = text->find(':');
    if (colon == std::string::npos) return std::nullopt;
    auto numerator = parseWholeNumber(text->substr(0, colon));
    auto denominator = parseWholeNumber(text->substr(colon + 1));
    if (!numerator || !denominator || *numerator <= 0 || *denominator <= 0) return std::nullopt;
    return static_cast<double>(*numerator) / *denominator;
}

bool near(double value, double target, double tolerance) {
    return std::fabs(value - target) <= tolerance * target;
}

// A layout named by a signal, before the frame says whether the eyes are squeezed.
struct NamedLayout {
    Stereo3DMode::Kind kind;
    bool rightFirst;
};

// The stereo_mode names that ffprobe prints for Matroska's StereoMode and for
// the H.264 frame-packing SEI (the same vocabulary); "mono" and what the
// system cannot convert (checkerboard, interleaved rows or columns, anaglyph)
// name nothing. block_lr/block_rl are left to the caller: in a container they
// mean MVC in one track, in the SEI they mean frame alternate.
std::optional<NamedLayout> namedLayout(const std::string& name) {
    if (name == "left_right") return NamedLayout{Stereo3DMode::Kind::sideBySide, false};
    if (name == "right_left") return NamedLayout{Stereo3DMode::Kind::sideBySide, true};
    if (name == "top_bottom") return NamedLayout{Stereo3DMode::Kind::topBottom, false};
    if (name == "bottom_top") return NamedLayout{Stereo3DMode::Kind::topBottom, true};
    return std::nullopt;
}

// Whether each eye is squeezed: a sample aspect ratio of 2:1 (side by side)
// or 1:2 (top-bottom) says so outright; otherwise the frame's shape does.
// Two 16:9 or 4:3 eyes side by side make a frame at least 2.5 times as wide
// as high; two above each other one at most 1.25 times.
Stereo3DMode sizedLayout(NamedLayout layout, int width, int height, std::optional<double> sar) {
    double shape = static_cast<double>(width) / std::max(height, 1);
    if (layout.kind == Stereo3DMode::Kind::sideBySide) {
        bool half = (sar && near(*sar, 2.0, 0.05)) || ((!sar || near(*sar, 1.0, 0.2)) && shape < 2.5);
        return Stereo3DMode::sideBySide(layout.rightFirst, half);
    }
    bool half = (sar && near(*sar, 0.5, 0.05)) || ((!sar || near(*sar, 1.0, 0.2)) && shape > 1.25);
    return Stereo3DMode::topBottom(layout.rightFirst, half);
}

} // namespace

std::string applyLayoutChoice(SourceFileInfo& info, LayoutChoice choice, bool rightFirst) {
    Stereo3DMode mode = info.stereoMode;
    switch (choice) {
    case LayoutChoice::automatic:
        if (rightFirst && mode.kind != Stereo3DMode::Kind::none) mode.rightFirst = true;
        break;
    case LayoutChoice::sbs:
        mode = Stereo3DMode::sideBySide(rightFirst, false);
        break;
    case LayoutChoice::hsbs:
        mode = Stereo3DMode::sideBySide(rightFirst, true);
        break;
    case LayoutChoice::tb:
        mode = Stereo3DMode::topBottom(rightFirst, false);
        break;
    case LayoutChoice::htb:
        mode = Stereo3DMode::topBottom(rightFirst, true);
        break;
    case LayoutChoice::alternate:
        mode = Stereo3DMode::frameAlternate(rightFirst);
        break;
    case LayoutChoice::mvc:
        mode = mode.kind == Stereo3DMode::Kind::mvcSeparateTracks
                   ? Stereo3DMode::mvcSeparateTracks(rightFirst)
                   : Stereo3DMode::mvcSingleTrack(rightFirst);
        break;
    }
    std::string by = "user's choice (--layout " + std::string(optionName(choice)) +
                     (rightFirst ? " --right-first" : "") + ")";
    if (auto problem = layoutProblem(mode, info.videoWidth, info.videoHeight))
        throw std::invalid_argument("The layout " + std::string(optionName(choice)) + " does not fit " +
                                    info.fileName + ": " + *problem);
    if (choice == LayoutChoice::automatic && !rightFirst) return "Layout decided by: " + info.layoutSignal;
    if (choice == LayoutChoice::automatic && mode.kind == Stereo3DMode::Kind::none)
        return "⚠️ --right-first ignored: no 3D layout was found to apply it to";
    info.stereoMode = mode;
    info.layoutSignal = by;
    info.hasMVCStream = true;
    return "Layout decided by: " + by + ": " + mode.text();
}

void FFProbe::log(const std::string& line) {
    if (onLog) onLog(line);
    static std::mutex printMutex;
    std::lock_guard lock(printMutex);
    std::cout << "[FFProbe] " << line << "\n" << std::flush;
}

std::optional<SourceFileInfo> FFProbe::probe(const std::filesystem::path& url) {
    log("Looking for ffprobe...");
    auto ffprobe = findTool("ffprobe");
    if (!ffprobe) {
        log("ERROR: ffprobe not found in any search path");
        throw DomainError("Duoscope", 1, "ffprobe not found");
    }
    log("Found ffprobe at: " + *ffprobe);

    // An absolute path can never be taken for an option or a protocol prefix.
    std::error_code ignored;
    std::filesystem::path absolute = std::filesystem::absolute(url, ignored);
    auto process =
        ChildProcess::create({*ffprobe,
                              {"-v", "quiet", "-print_format", "json", "-show_format", "-show_streams",
                               absolute.empty() ? url.string() : absolute.string()},
                              std::nullopt,
                              ChildProcess::Output::pipe,
                              ChildProcess::Output::pipe});
    log("Running ffprobe on: " + url.filename().string());
    process->launch();
    log("ffprobe process started (pid: " + std::to_string(process->processIdentifier()) + ")");
    process->waitUntilExit();
    log("ffprobe exited with code: " + std::to_string(process->terminationStatus()));

    std::string standardError = process->collectedStandardError();
    if (!standardError.empty() && isValidUTF8(standardError))
        log("ffprobe stderr: " + prefixCharacters(standardError, 500));
    std::string standardOutput = process->collectedStandardOutput();
    log("ffprobe output: " + std::to_string(standardOutput.size()) + " bytes");
    return analyse(url, standardOutput, [&]() -> std::optional<std::string> {
        // Containers cannot say "frame alternate" to ffprobe; the stream's
        // frame-packing SEI can, and ffprobe reports it on the first picture.
        auto frames =
            ChildProcess::create({*ffprobe,
                                  {"-v", "quiet", "-print_format", "json", "-select_streams", "v:0",
                                   "-read_intervals", "%+#1", "-show_entries", "frame_tags=stereo_mode",
                                   "-show_frames", absolute.empty() ? url.string() : absolute.string()},
                                  std::nullopt,
                                  ChildProcess::Output::pipe,
                                  ChildProcess::Output::nullDevice});
        frames->launch();
        frames->waitUntilExit();
        json report = json::parse(frames->collectedStandardOutput(), nullptr, false);
        if (!report.is_object() || !report.contains("frames") || !report["frames"].is_array() ||
            report["frames"].empty() || !report["frames"][0].is_object())
            return std::nullopt;
        const json& first = report["frames"][0];
        auto tags = first.find("tags");
        if (tags == first.end() || !tags->is_object()) return std::nullopt;
        return stringField(*tags, "stereo_mode");
    });
}

std::optional<SourceFileInfo> FFProbe::analyse(const std::filesystem::path& url,
                                               const std::string& standardOutput,
                                               const FirstFrameStereoTag& firstFrameStereoTag) {
    std::string text = isValidUTF8(standardOutput) ? standardOutput : std::string("{}");
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        log("ERROR: Failed to parse ffprobe JSON output");
        log("Raw output (first 500 chars): " + prefixCharacters(text, 500));
        return std::nullopt;
    }

    SourceFileInfo info;
    info.url = url;
    info.fileName = url.filename().string();
    info.title = info.fileName;

    if (auto format = root.find("format"); format != root.end() && format->is_object()) {
        if (auto duration = stringField(*format, "duration"))
            info.duration = parseDecimal(*duration).value_or(0);
        if (auto tags = format->find("tags"); tags != format->end() && tags->is_object())
            if (auto title = stringField(*tags, "title")) info.title = *title;
    }

    Stereo3DMode mode = Stereo3DMode::none();
    std::string signal = "none";
    std::vector<const json*> videoStreams;

    auto streams = root.find("streams");
    bool hasStreamArray =
        streams != root.end() && streams->is_array() &&
        std::all_of(streams->begin(), streams->end(), [](const json& s) { return s.is_object(); });
    if (hasStreamArray) {
        log("Found " + std::to_string(streams->size()) + " streams total");
        bool rateFromSizedStream = false;
        for (const json& stream : *streams) {
            std::string codecType = stringField(stream, "codec_type").value_or("?");
            std::string codecName = stringField(stream, "codec_name").value_or("?");
            long long index = integerField(stream, "index").value_or(-1);
            long long width = integerField(stream, "width").value_or(0);
            long long height = integerField(stream, "height").value_or(0);
            std::string profile = stringField(stream, "profile").value_or("none");
            log("  Stream " + std::to_string(index) + ": " + codecType + " " + codecName + " " +
                std::to_string(width) + "x" + std::to_string(height) + " profile=" + profile);
            MediaTrack track;
            track.index = static_cast<int>(std::clamp<long long>(index, -1, INT32_MAX));
            track.type = codecType;
            track.codec = codecName;
            track.width = static_cast<int>(std::clamp<long long>(width, 0, INT32_MAX));
            track.height = static_cast<int>(std::clamp<long long>(height, 0, INT32_MAX));
            track.channels = static_cast<int>(
                std::clamp<long long>(integerField(stream, "channels").value_or(0), 0, 1024));
            if (auto tags = stream.find("tags"); tags != stream.end() && tags->is_object())
                track.language = stringField(*tags, "language").value_or("");
            info.tracks.push_back(std::move(track));

            // A signal is taken only when this stream's frame can hold it;
            // otherwise it is reported and the next signal decides.
            // A tag on a stream without pictures (the design reads every
            // stream's tags) is measured against the video frame seen so far.
            bool hasSize = width >= 1 && height >= 1;
            int frameWidth =
                hasSize ? static_cast<int>(std::min<long long>(width, INT32_MAX)) : info.videoWidth;
            int frameHeight =
                hasSize ? static_cast<int>(std::min<long long>(height, INT32_MAX)) : info.videoHeight;
            auto offer = [&](Stereo3DMode candidate, const std::string& by) {
                if (auto problem = layoutProblem(candidate, frameWidth, frameHeight)) {
                    log("⚠️ " + by + " says " + candidate.description() + ", ignored: " + *problem);
                    return;
                }
                // Matroska's tag and the side data ffprobe derives from it
                // agree; the first one named is the signal.
                if (candidate == mode) return;
                mode = candidate;
                signal = by;
            };
            auto sizedHere = [&](NamedLayout layout) {
                return sizedLayout(layout, frameWidth, frameHeight, sampleAspectRatio(stream));
            };

            if (auto tags = stream.find("tags"); tags != stream.end() && tags->is_object()) {
                if (auto stereoTag = stringField(*tags, "stereo_mode")) {
                    log("  → stereo_mode tag: " + *stereoTag);
                    const std::string by = "container stereo_mode tag " + *stereoTag;
                    if (*stereoTag == "block_lr" || *stereoTag == "block_rl") {
                        mode = Stereo3DMode::mvcSingleTrack(*stereoTag == "block_rl");
                        signal = by;
                    } else if (auto layout = namedLayout(*stereoTag)) {
                        offer(sizedHere(*layout), by);
                    } else if (*stereoTag != "mono") {
                        log("⚠️ stereo_mode " + *stereoTag +
                            " is a layout that cannot be converted, ignored");
                    }
                }
            }

            auto sideData = stream.find("side_data_list");
            if (mode.kind != Stereo3DMode::Kind::mvcSingleTrack && sideData != stream.end() &&
                sideData->is_array() && std::all_of(sideData->begin(), sideData->end(), [](const json& e) {
                    return e.is_object();
                })) {
                for (const json& entry : *sideData) {
                    if (stringField(entry, "side_data_type").value_or("") != "Stereo 3D") continue;
                    std::string type = stringField(entry, "type").value_or("");
                    // ffprobe prints the eye order as "inverted": right eye first.
                    bool inverted = integerField(entry, "inverted").value_or(0) != 0;
                    log("  → Stereo 3D side_data: type=" + type + (inverted ? " inverted" : ""));
                    const std::string by =
                        "container stereo side data (" + type + (inverted ? ", inverted" : "") + ")";
                    if (type.find("frame alternate") != std::string::npos)
                        offer(Stereo3DMode::frameAlternate(inverted), by);
                    else if (type == "side by side")
                        offer(sizedHere({Stereo3DMode::Kind::sideBySide, inverted}), by);
                    else if (type == "top and bottom")
                        offer(sizedHere({Stereo3DMode::Kind::topBottom, inverted}), by);
                    else if (type != "2D")
                        log("⚠️ stereo side data " + type +
                            " is a layout that cannot be converted, ignored");
                }
            }

            if (codecType != "video") continue;

            if (width >= 1 && height >= 1) {
                info.resolution = std::to_string(width) + "x" + std::to_string(height);
                info.videoWidth = static_cast<int>(std::min<long long>(width, INT32_MAX));
                info.videoHeight = static_cast<int>(std::min<long long>(height, INT32_MAX));
            }

            // A stream without a picture size (the MVC dependent view, which
            // ffprobe cannot decode) reports a guessed rate such as 90000/1;
            // it must not replace the rate of a stream that has pictures.
            bool sized = width >= 1 && height >= 1;
            auto rate = sized || !rateFromSizedStream ? stringField(stream, "r_frame_rate") : std::nullopt;
            if (rate) {
                std::vector<std::string> pieces;
                size_t start = 0;
                while (start <= rate->size()) {
                    size_t slash = rate->find('/', start);
                    if (slash == std::string::npos) slash = rate->size();
                    if (slash > start) pieces.push_back(rate->substr(start, slash - start));
                    start = slash + 1;
                }
                if (pieces.size() == 2) {
                    auto numerator = parseWholeNumber(pieces[0]);
                    auto denominator = parseWholeNumber(pieces[1]);
                    if (numerator && denominator && *denominator >= 1) {
                        log("  Frame rate: " + *rate + " (" +
                            fixed(static_cast<double>(*numerator) / *denominator, 3) + " fps)");
                        info.frameRateNum = *numerator;
                        info.frameRateDen = *denominator;
                        rateFromSizedStream = sized;
                    }
                }
            }
            videoStreams.push_back(&stream);
        }
    }

    bool mvcRuleApplied = false;
    if (videoStreams.size() >= 2) {
        bool profileHit = false, codecTagHit = false, zeroWidth = false;
        int h264Count = 0;
        for (const json* stream : videoStreams) {
            if (lowercased(stringField(*stream, "profile").value_or("")).find("mvc") != std::string::npos)
                profileHit = true;
            if (lowercased(stringField(*stream, "codec_tag_string").value_or("")).find("mvc") !=
                std::string::npos)
                codecTagHit = true;
            if (integerField(*stream, "width") == 0LL) zeroWidth = true;
            if (stringField(*stream, "codec_name") == std::optional<std::string>("h264")) ++h264Count;
        }
        bool dependentHit = zeroWidth && h264Count > 1;
        auto word = [](bool b) { return std::string(b ? "true" : "false"); };
        log("MVC detection: profile=" + word(profileHit) + " codecTag=" + word(codecTagHit) +
            " dependent=" + word(dependentHit));
        if (profileHit || codecTagHit || dependentHit) {
            log("✅ MVC 3D stream detected!");
            mode = Stereo3DMode::mvcSeparateTracks();
            signal = "MVC streams";
            mvcRuleApplied = true;
            for (const json* stream : videoStreams) {
                bool qualifies =
                    lowercased(stringField(*stream, "profile").value_or("")).find("mvc") !=
                        std::string::npos ||
                    lowercased(stringField(*stream, "codec_tag_string").value_or("")).find("mvc") !=
                        std::string::npos ||
                    integerField(*stream, "width") == 0LL;
                if (!qualifies) continue;
                if (auto index = integerField(*stream, "index"))
                    if (*index >= INT32_MIN && *index <= INT32_MAX)
                        info.mvcTrackIndex = static_cast<int>(*index);
                break;
            }
        }
    }

    // A plain H.264 stream may still say its layout in a frame-packing SEI,
    // which ffprobe reports on the first picture: a container signal too.
    if (!mvcRuleApplied && mode.kind == Stereo3DMode::Kind::none && videoStreams.size() == 1 &&
        firstFrameStereoTag &&
        stringField(*videoStreams.front(), "codec_name") == std::optional<std::string>("h264")) {
        if (auto tag = firstFrameStereoTag()) {
            log("  → frame packing SEI: stereo_mode=" + *tag);
            const json& stream = *videoStreams.front();
            int width = info.videoWidth, height = info.videoHeight;
            std::string by = "frame-packing SEI " + *tag;
            std::optional<Stereo3DMode> candidate;
            if (*tag == "block_lr" || *tag == "block_rl")
                candidate = Stereo3DMode::frameAlternate(*tag == "block_rl");
            else if (auto layout = namedLayout(*tag))
                candidate = sizedLayout(*layout, width, height, sampleAspectRatio(stream));
            else if (*tag != "mono")
                log("⚠️ frame-packing SEI " + *tag + " is a layout that cannot be converted, ignored");
            if (candidate) {
                if (auto problem = layoutProblem(*candidate, width, height)) {
                    log("⚠️ " + by + " says " + candidate->description() + ", ignored: " + *problem);
                } else {
                    mode = *candidate;
                    signal = by;
                }
            }
        }
    }

    // Shape rules, when no signal decided.
    if (!mvcRuleApplied && mode.kind == Stereo3DMode::Kind::none && !videoStreams.empty()) {
        auto width = integerField(*videoStreams.front(), "width");
        auto height = integerField(*videoStreams.front(), "height");
        if (width && height && *width >= 1 && *height >= 1) {
            double ratio = static_cast<double>(*width) / static_cast<double>(*height);
            auto sar = sampleAspectRatio(*videoStreams.front());
            bool commonShape = near(ratio, 16.0 / 9.0, 0.05) || near(ratio, 4.0 / 3.0, 0.05);
            if (ratio >= 2.8 && ratio <= 4.0) {
                log("✅ SBS detected by aspect ratio: " + std::to_string(*width) + "x" +
                    std::to_string(*height) + " (ratio " + fixed(ratio, 2) + ")");
                mode = Stereo3DMode::sideBySide();
                signal = "frame shape";
            } else if (commonShape && sar && (near(*sar, 2.0, 0.05) || near(*sar, 0.5, 0.05))) {
                // A 16:9 or 4:3 frame whose pixels are twice as wide (or high)
                // as tall: two squeezed eyes meant to be stretched back.
                bool sideBySide = *sar > 1;
                Stereo3DMode candidate =
                    sideBySide ? Stereo3DMode::sideBySide(false, true) : Stereo3DMode::topBottom(false, true);
                if (!layoutProblem(candidate, static_cast<int>(*width), static_cast<int>(*height))) {
                    log("✅ " + candidate.description() + " detected by sample aspect ratio " +
                        stringField(*videoStreams.front(), "sample_aspect_ratio").value_or("") + " on " +
                        std::to_string(*width) + "x" + std::to_string(*height));
                    mode = candidate;
                    signal = "sample aspect ratio";
                }
            }
        }
    }

    if (mode.kind != Stereo3DMode::Kind::none) log("✅ 3D detected: " + mode.text());
    log("Layout decided by: " + signal);
    info.stereoMode = mode;
    info.layoutSignal = signal;
    info.hasMVCStream = mode.kind != Stereo3DMode::Kind::none;
    return info;
}

} // namespace duoscope
