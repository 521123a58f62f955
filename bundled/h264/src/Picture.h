// Decoded picture storage shared by the decoder's internal units: sample
// planes, per-macroblock motion kept for direct prediction and deblocking,
// and reference marking state. Owned by the Decoder's picture pool.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace duoscope::h264 {

struct MbMotion {
    int16_t mv[2][16][2]; // per list, per 4x4 block in raster order
    int8_t ref[2][4];     // per list, per 8x8 block; -1 = list unused
    int32_t refId[2][4];  // Picture::id of the reference, for comparisons by identity
    bool isIntra;
};

struct Picture {
    int id = 0; // unique per decoded picture, never reused
    int width = 0, height = 0;
    std::vector<uint8_t> storage;
    uint8_t* plane[3] = {nullptr, nullptr, nullptr};
    int stride[3] = {0, 0, 0};
    std::vector<MbMotion> motion;

    int viewId = 0;
    int viewIndex = 0; // view order index: 0 base view, 1 second view
    int cropLeft = 0, cropTop = 0, visibleWidth = 0, visibleHeight = 0;
    bool interViewFlag = true; // may serve as an inter-view reference of its access unit
    // Held by another decoder (the dependent view's, on its own thread) as an
    // inter-view reference: the pool must not reuse the picture until released.
    std::atomic<int> pins{0};
    int poc = 0;
    int frameNum = 0;
    int frameNumWrap = 0;
    int longTermFrameIdx = 0;
    bool isShortRef = false;
    bool isLongRef = false;
    bool isNeededForOutput = false;
    bool isIdr = false;
    bool hasMmco5 = false;
    bool isConcealed = false;
    int64_t decodeIndex = 0;

    bool isRef() const { return isShortRef || isLongRef; }

    void allocate(int w, int h) {
        if (w != width || h != height || storage.empty()) {
            width = w;
            height = h;
            size_t lumaSize = static_cast<size_t>(w) * h;
            storage.assign(lumaSize * 3 / 2, 0);
            motion.assign(static_cast<size_t>(w / 16) * (h / 16), MbMotion{});
        }
        plane[0] = storage.data();
        plane[1] = plane[0] + static_cast<size_t>(w) * h;
        plane[2] = plane[1] + static_cast<size_t>(w / 2) * (h / 2);
        stride[0] = w;
        stride[1] = stride[2] = w / 2;
    }
};

} // namespace duoscope::h264
