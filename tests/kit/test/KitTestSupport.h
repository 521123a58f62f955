// Helpers of the tests that read the kit's media: the fixture's folders,
// files, access-unit table and ffmpeg frame checksums. Test-only.
#pragma once

#include "H264Bits.h"
#include "TestSupport.h"
#include "ToolRuns.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kit::test {

inline std::filesystem::path setDir(const std::string& name) {
    return std::filesystem::path(DUOSCOPE_KIT_DIR) / name;
}

using duoscope::test::readBytes;

inline std::string readText(const std::filesystem::path& path) {
    const Bytes bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline std::map<std::string, std::string> setInfo(const std::string& set) {
    std::map<std::string, std::string> values;
    std::istringstream in(readText(setDir(set) / "set.info"));
    for (std::string line; std::getline(in, line);)
        if (const size_t eq = line.find('='); eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    return values;
}

inline std::vector<std::string> profiles(const std::string& set) {
    std::vector<std::string> names;
    std::istringstream in(setInfo(set).at("profiles"));
    for (std::string name; in >> name;)
        names.push_back(name);
    return names;
}

using duoscope::test::frameMd5s;

// Debian ffmpeg's per-frame md5 of the first video stream of `file`.
inline std::vector<std::string> decodeMd5s(const std::filesystem::path& file) {
    return frameMd5s(capture(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-map", "0:v:0", "-f", "framemd5", "-"}));
}

// One line of a profile folder's access_units.txt.
struct AccessUnitLine {
    size_t decode, display;
    bool idr;
    int64_t pts, dts;
    size_t baseOffset, baseSize, dependentOffset, dependentSize;
    bool anchor;
    char slice;
};

inline std::vector<AccessUnitLine> accessUnitLines(const std::filesystem::path& folder) {
    std::vector<AccessUnitLine> lines;
    std::istringstream in(readText(folder / "access_units.txt"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        AccessUnitLine l{};
        int idr, anchor;
        fields >> l.decode >> l.display >> idr >> l.slice >> l.pts >> l.dts >> l.baseOffset >> l.baseSize >>
            l.dependentOffset >> l.dependentSize >> anchor;
        if (!fields) throw std::runtime_error("short line in access_units.txt: " + line);
        l.idr = idr != 0;
        l.anchor = anchor != 0;
        lines.push_back(l);
    }
    return lines;
}

} // namespace kit::test
