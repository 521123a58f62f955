// What ldecod and viewpump share: the JM reference decoder's argument form
// (-p Key=Value, -pKey=Value, -i, -o; unknown switches and keys ignored) and
// copying the visible area of a decoded picture into planar I420 bytes.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Decoder.h"

namespace duoscope::h264 {

inline std::map<std::string, std::string> parseJmArguments(int argc, char** argv) {
    std::map<std::string, std::string> params;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        if ((arg == "-p" || arg == "-i" || arg == "-o" || arg == "-d") && i + 1 < argc) {
            value = argv[++i];
            if (arg == "-i") value = "InputFile=" + value;
            if (arg == "-o") value = "OutputFile=" + value;
            if (arg == "-d") continue; // JM configuration file: every setting we honour comes by -p
        } else if (arg.rfind("-p", 0) == 0 && arg.size() > 2) {
            value = arg.substr(2);
        } else {
            continue; // unknown JM switches are ignored, as JM ignores unknown keys
        }
        size_t eq = value.find('=');
        if (eq == std::string::npos) continue;
        std::string key = value.substr(0, eq), val = value.substr(eq + 1);
        while (!key.empty() && key.back() == ' ')
            key.pop_back();
        while (!val.empty() && val.front() == ' ')
            val.erase(val.begin());
        params[key] = val;
    }
    return params;
}

inline void copyVisible(const OutputPicture& o, std::vector<uint8_t>& frame) {
    const Picture& p = *o.picture;
    frame.resize(static_cast<size_t>(o.width) * o.height * 3 / 2);
    uint8_t* dst = frame.data();
    for (int y = 0; y < o.height; ++y, dst += o.width)
        std::memcpy(dst, p.plane[0] + (o.cropTop + y) * p.stride[0] + o.cropLeft,
                    static_cast<size_t>(o.width));
    for (int c = 1; c < 3; ++c)
        for (int y = 0; y < o.height / 2; ++y, dst += o.width / 2)
            std::memcpy(dst, p.plane[c] + (o.cropTop / 2 + y) * p.stride[c] + o.cropLeft / 2,
                        static_cast<size_t>(o.width / 2));
}

} // namespace duoscope::h264
