// The 1080p case of the layout conversions (the kit's HD set).
#include "LayoutConversion.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

// A 1080p half side-by-side film: 1920x1080 per eye in MV-HEVC, 3840x1080 side by side.
TEST_F(LayoutConversion, FullHDHalfSideBySide) {
    Set set{fs::path(DUOSCOPE_KIT_DIR) / "hd", 1920, 1080, 24};
    Layout half{"hd half sbs", "[l]scale=960:1080[a];[r]scale=960:1080[b];[a][b]hstack",
                "left_right",  "",
                true,          true};
    fs::path left, right;
    fs::path source = pack(set, half, left, right);
    convertToBothTargets(set, source, left, right, half.name);
}
