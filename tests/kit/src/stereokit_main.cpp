// stereokit: makes the stereo test media sets (see tests/kit/README.md).
#include "DiscAuthor.h"

#include <iostream>
#include <optional>
#include <string>

namespace {

int usage() {
    std::cerr
        << "usage: stereokit --set small|hd --output DIR [--frames N] [--fps NUM/DEN] [--discs] [--force]\n";
    return 1;
}

// A whole number of at most six digits, or nothing.
std::optional<int> wholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoi(text);
}

} // namespace

int main(int argc, char** argv) {
    std::string set, output;
    int frames = 0;
    std::optional<kit::FrameRate> rate;
    bool force = false, discs = false;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--set" && i + 1 < argc)
                set = argv[++i];
            else if (arg == "--output" && i + 1 < argc)
                output = argv[++i];
            else if (arg == "--frames" && i + 1 < argc) {
                const std::string text = argv[++i];
                auto number = wholeNumber(text);
                if (!number)
                    throw std::invalid_argument("--frames wants a whole number, not \"" + text + "\"");
                frames = *number;
            } else if (arg == "--fps" && i + 1 < argc) {
                // Blu-ray 3D also has 720p at 50 and 60000/1001.
                const std::string text = argv[++i];
                const auto slash = text.find('/');
                auto num = slash == std::string::npos ? std::nullopt : wholeNumber(text.substr(0, slash));
                auto den = slash == std::string::npos ? std::nullopt : wholeNumber(text.substr(slash + 1));
                if (!num || !den || *num == 0 || *den == 0)
                    throw std::invalid_argument("--fps wants NUM/DEN, not \"" + text + "\"");
                rate = kit::FrameRate{*num, *den};
            } else if (arg == "--force")
                force = true;
            else if (arg == "--discs")
                discs = true;
            else
                return usage();
        }
        if (set.empty() || output.empty()) return usage();
        kit::SetSpec spec = kit::standardSet(set);
        if (frames != 0) {
            // Longer sets for benchmarks; a few frames keep every GOP structure intact.
            if (frames < 4 || frames > 100000)
                throw std::invalid_argument("--frames must be between 4 and 100000");
            spec.frames = frames;
        }
        if (rate) spec.rate = *rate;
        const std::string stamp = kit::executableStamp(set) + "frames=" + std::to_string(spec.frames) +
                                  " fps=" + std::to_string(spec.rate.num) + "/" +
                                  std::to_string(spec.rate.den) + "\n";
        const kit::Log log = [](const std::string& line) { std::cout << line << std::endl; };
        kit::makeSet(spec, output, stamp, force, log);
        if (discs) kit::makeDiscs(spec, output, stamp, force, log);
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
