// stereocheck: per-eye PSNR and eye order of a stereo output against the
// kit's sources (see tests/kit/README.md). Exit 0 ok, 1 wrong, 2 error.
#include "StereoCheck.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

int usage() {
    std::cerr << "usage: stereocheck (--set DIR | --left FILE --right FILE --size WxH) [--min-psnr DB]\n"
                 "                   [--frames N] [--layout sbs|alternate] MOVIE [RIGHT_MOVIE]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    kit::CheckRequest request;
    std::vector<std::string> movies;
    std::string layout = "sbs";
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--set") {
                kit::applyKitSet(request, value());
            } else if (arg == "--left") {
                request.leftSource = value();
            } else if (arg == "--right") {
                request.rightSource = value();
            } else if (arg == "--size") {
                const std::string size = value();
                const size_t x = size.find('x');
                if (x == std::string::npos) throw std::invalid_argument("--size wants WxH");
                request.width = std::stoi(size.substr(0, x));
                request.height = std::stoi(size.substr(x + 1));
            } else if (arg == "--min-psnr") {
                request.minPsnr = std::stod(value());
            } else if (arg == "--frames") {
                request.expectedFrames = std::stoi(value());
            } else if (arg == "--layout") {
                layout = value();
            } else if (!arg.empty() && arg[0] == '-') {
                return usage();
            } else {
                movies.push_back(arg);
            }
        }
        if (movies.empty() || movies.size() > 2 || request.leftSource.empty() || request.rightSource.empty())
            return usage();
        request.movie = movies[0];
        if (movies.size() == 2) {
            request.layout = kit::StereoLayout::separateFiles;
            request.secondMovie = movies[1];
        } else if (layout == "alternate") {
            request.layout = kit::StereoLayout::frameAlternate;
        } else if (layout != "sbs") {
            return usage();
        }
        const kit::StereoReport report = kit::checkStereo(request);
        std::cout << report.line() << std::endl;
        return report.verdict == "ok" ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
        return 2;
    }
}
