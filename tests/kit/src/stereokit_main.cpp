// stereokit: makes the stereo test media sets (see tests/kit/README.md).
#include "StereoKit.h"

#include <iostream>
#include <string>

namespace {

int usage() {
    std::cerr << "usage: stereokit --set small|hd --output DIR [--frames N] [--force]\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string set, output;
    int frames = 0;
    bool force = false;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--set" && i + 1 < argc)
                set = argv[++i];
            else if (arg == "--output" && i + 1 < argc)
                output = argv[++i];
            else if (arg == "--frames" && i + 1 < argc) {
                const std::string text = argv[++i];
                if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                    text.size() > 6)
                    throw std::invalid_argument("--frames wants a whole number, not \"" + text + "\"");
                frames = std::stoi(text);
            } else if (arg == "--force")
                force = true;
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
        kit::makeSet(spec, output, kit::executableStamp(set) + "frames=" + std::to_string(spec.frames) + "\n",
                     force, [](const std::string& line) { std::cout << line << std::endl; });
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
