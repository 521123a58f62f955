// stereokit: makes the stereo test media sets (see tests/kit/README.md).
#include "StereoKit.h"

#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
    std::string set, output;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--set" && i + 1 < argc)
            set = argv[++i];
        else if (arg == "--output" && i + 1 < argc)
            output = argv[++i];
        else if (arg == "--force")
            force = true;
        else {
            std::cerr << "usage: stereokit --set small|hd --output DIR [--force]\n";
            return 1;
        }
    }
    if (set.empty() || output.empty()) {
        std::cerr << "usage: stereokit --set small|hd --output DIR [--force]\n";
        return 1;
    }
    try {
        const kit::SetSpec spec = kit::standardSet(set);
        kit::makeSet(spec, output, kit::executableStamp(set), force,
                     [](const std::string& line) { std::cout << line << std::endl; });
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
