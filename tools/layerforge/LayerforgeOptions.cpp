#include "LayerforgeOptions.h"

#include <charconv>
#include <cmath>

namespace layerforge {

namespace {

template <typename T> std::optional<T> parseInt(const std::string& s) {
    std::string_view v = s;
    if (!v.empty() && v[0] == '+') v.remove_prefix(1);
    T out{};
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    if (ec != std::errc() || p != v.data() + v.size() || v.empty()) return std::nullopt;
    return out;
}

std::optional<double> parseDouble(const std::string& s) {
    double out = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty() || !std::isfinite(out))
        return std::nullopt;
    return out;
}

} // namespace

ParseResult parseCommandLine(const std::vector<std::string>& args) {
    Options o;
    bool haveOutput = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takesValue = a == "--width" || a == "--height" || a == "--fps" || a == "--quality" ||
                                a == "--maxrate" || a == "--threads" || a == "--output" || a == "-o" ||
                                media::hevc::isSpatialOption(a);
        if (takesValue && i + 1 >= args.size()) return BadOption{a + " needs a value"};
        if (a == "--width" || a == "--height") {
            const auto v = parseInt<int>(args[++i]);
            if (!v) return BadOption{a + " needs an integer, got '" + args[i] + "'"};
            (a == "--width" ? o.width : o.height) = *v;
        } else if (a == "--fps") {
            const std::string& v = args[++i];
            std::vector<std::string> parts;
            size_t start = 0;
            while (start <= v.size()) {
                size_t slash = v.find('/', start);
                if (slash == std::string::npos) slash = v.size();
                if (slash > start) parts.push_back(v.substr(start, slash - start));
                start = slash + 1;
            }
            if (parts.empty()) return BadOption{"--fps needs NUM/DEN or NUM, got '" + v + "'"};
            const auto num = parseInt<int32_t>(parts[0]);
            const auto den = parts.size() > 1 ? parseInt<int32_t>(parts[1]) : std::optional<int32_t>(1);
            if (!num || !den)
                return BadOption{"--fps needs NUM/DEN or NUM with 32-bit integers, got '" + v + "'"};
            o.fpsNum = *num;
            o.fpsDen = *den;
        } else if (a == "--quality") {
            const auto v = parseDouble(args[++i]);
            if (!v) return BadOption{"--quality needs a number, got '" + args[i] + "'"};
            o.quality = *v;
        } else if (a == "--maxrate") {
            // Not an integer: quality mode, as documented.
            o.maxBitrateMbps = parseInt<int64_t>(args[++i]);
        } else if (a == "--threads") {
            const auto v = parseInt<int>(args[++i]);
            if (!v || *v < 1 || *v > 256) return BadOption{"--threads needs 1 to 256, got '" + args[i] + "'"};
            o.threads = *v;
        } else if (media::hevc::isSpatialOption(a)) {
            if (auto problem = media::hevc::applySpatialOption(o.spatial, a, args[++i]))
                return BadOption{*problem};
        } else if (a == "--swap") {
            o.swap = true;
        } else if (a == "--output" || a == "-o") {
            o.outputPath = args[++i];
            haveOutput = true;
        } else if (!a.empty() && a[0] != '-' && !haveOutput) {
            o.outputPath = a;
            haveOutput = true;
        }
    }
    if (o.outputPath.empty()) return ShowUsage{};
    if (o.width <= 0 || o.height <= 0) return BadOption{"width and height must be positive"};
    if (o.width % 2 || o.height % 2)
        return BadOption{"width and height must be even for 4:2:0 frames (got " + std::to_string(o.width) +
                         "x" + std::to_string(o.height) + ")"};
    if (int64_t(o.width) > 8192 || int64_t(o.height) > 4320)
        return BadOption{"frame size " + std::to_string(o.width) + "x" + std::to_string(o.height) +
                         " per eye is larger than the encoder supports (8192x4320)"};
    if (o.fpsNum <= 0 || o.fpsDen <= 0) return BadOption{"--fps needs a positive frame rate"};
    if (!(o.quality >= 0 && o.quality <= 1)) return BadOption{"--quality must lie between 0 and 1"};
    if (o.maxBitrateMbps && (*o.maxBitrateMbps <= 0 || *o.maxBitrateMbps > 2000))
        return BadOption{"--maxrate must lie between 1 and 2000 Mbps"};
    return o;
}

std::string formatTime(double seconds) {
    const int64_t s = static_cast<int64_t>(std::trunc(seconds));
    if (s < 60) return std::to_string(s) + "s";
    return std::to_string(s / 60) + "m " + std::to_string(s % 60) + "s";
}

std::string shortestDecimal(double v) {
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, p) : std::to_string(v);
}

} // namespace layerforge
