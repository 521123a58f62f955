// Helpers of the kit's own tests: the fixture's folders, files, ffmpeg
// frame checksums and a minimal EBML walker. Test-only.
#pragma once

#include "ChildProcess.h"
#include "H264Bits.h"

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

inline Bytes readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

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

// The md5 column of an ffmpeg framemd5 text.
inline std::vector<std::string> frameMd5s(const std::string& text) {
    std::vector<std::string> md5s;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t comma = line.rfind(',');
        md5s.push_back(line.substr(line.find_first_not_of(' ', comma + 1)));
    }
    return md5s;
}

// Debian ffmpeg's per-frame md5 of the first video stream of `file`.
inline std::vector<std::string> decodeMd5s(const std::filesystem::path& file) {
    return frameMd5s(capture(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-map", "0:v:0", "-f", "framemd5", "-"}));
}

struct EbmlElement {
    uint32_t id = 0;
    size_t dataOffset = 0, size = 0;
};

// Reads the element at `offset` (ids keep their marker bits, as the Matroska format writes them).
inline EbmlElement readElement(const Bytes& data, size_t offset) {
    auto vint = [&](size_t& at, bool keepMarker) {
        const uint8_t first = data.at(at);
        int length = 1;
        while (length <= 8 && !(first & (0x80 >> (length - 1))))
            ++length;
        uint64_t value = keepMarker ? first : first & (0xFF >> length);
        for (int i = 1; i < length; ++i)
            value = (value << 8) | data.at(at + i);
        at += length;
        return value;
    };
    EbmlElement e;
    size_t at = offset;
    e.id = static_cast<uint32_t>(vint(at, true));
    e.size = static_cast<size_t>(vint(at, false));
    e.dataOffset = at;
    if (e.dataOffset + e.size > data.size())
        throw std::runtime_error("EBML element overruns the file at " + std::to_string(offset));
    return e;
}

inline std::vector<EbmlElement> children(const Bytes& data, const EbmlElement& parent) {
    std::vector<EbmlElement> list;
    for (size_t at = parent.dataOffset; at < parent.dataOffset + parent.size;) {
        list.push_back(readElement(data, at));
        at = list.back().dataOffset + list.back().size;
    }
    return list;
}

inline uint64_t uintValue(const Bytes& data, const EbmlElement& e) {
    uint64_t value = 0;
    for (size_t i = 0; i < e.size; ++i)
        value = (value << 8) | data[e.dataOffset + i];
    return value;
}

} // namespace kit::test
