// Duoscope's H.264 decoder (progressive 4:2:0 8-bit, Constrained Baseline to
// High): feed NAL units in decoding order, receive pictures in output order
// through a callback. One Decoder per stream, used from one thread at a time;
// it owns all picture memory, the callback only borrows a finished picture.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Picture.h"
#include "Syntax.h"

namespace duoscope::h264 {

// A picture handed out in output order; planes are valid during the callback.
struct OutputPicture {
    const Picture* picture;
    int viewId;
    int cropLeft, cropTop, width, height; // visible area in luma samples
};

struct DecoderCallbacks {
    std::function<void(const OutputPicture&)> onPicture;
    std::function<void(const std::string&)> onWarning;
    // Pictures larger than this many macroblocks are refused (UnsupportedFeature);
    // the default is the largest level 6.2 frame.
    int maxPictureMacroblocks = 139264;
};

class SliceDecoder;

class Decoder {
  public:
    explicit Decoder(DecoderCallbacks callbacks);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Decodes one NAL unit (without start code). Damaged data is concealed and
    // reported as a warning; unsupported stream features throw
    // UnsupportedFeature. byteOffset only labels warnings.
    void decodeNal(const uint8_t* data, size_t size, uint64_t byteOffset = 0);
    // Finishes the current picture and outputs every picture still waiting.
    void flush();

    int64_t picturesDecoded() const { return picturesDecoded_; }

  private:
    friend class SliceDecoder;

    struct ViewState {
        std::vector<Picture*> dpb; // pictures held for reference or output
        int prevRefFrameNum = 0;
        int prevPocMsb = 0;
        int prevPocLsb = 0;
        int prevFrameNumOffset = 0;
        int prevFrameNum = 0;
        bool prevHadMmco5 = false;
        int maxLongTermFrameIdx = -1; // "no long-term frame indices"
        bool hasSeenIdr = false;
    };

    void decodeSlice(const NalHeader& nal, std::vector<uint8_t>& rbsp, uint64_t byteOffset);
    void startPicture(const SliceHeader& sh, const NalHeader& nal, const Sps& sps, const Pps& pps);
    void finishPicture();
    void computePoc(const SliceHeader& sh, const Sps& sps, Picture& pic);
    void handleFrameNumGap(const SliceHeader& sh, const Sps& sps);
    void markReferences(const SliceHeader& sh, const Sps& sps, Picture& pic);
    void slidingWindow(const Sps& sps);
    void storePicture(Picture* pic);
    void bump(bool flushAll);
    void outputPicture(Picture* pic);
    void releaseUnused();
    Picture* acquirePicture(int width, int height);
    void concealMissing();
    void warn(const std::string& text);

  public:
    // H.264 8.2.4: builds RefPicList0/1 for a slice of the current picture,
    // after initialisation and modification. Exposed for MVC and tests.
    void buildRefLists(const SliceHeader& sh, const Sps& sps, std::vector<Picture*> lists[2]);

  private:
    DecoderCallbacks callbacks_;
    std::array<Sps, 32> sps_{};
    std::array<Sps, 32> subsetSps_{};
    std::array<Pps, 256> pps_{};
    std::vector<uint8_t> rbsp_;

    std::vector<std::unique_ptr<Picture>> pool_;
    std::vector<ViewState> views_{1};
    int activeSpsId_ = -1;

    // The picture being decoded.
    Picture* current_ = nullptr;
    SliceHeader firstSlice_;
    NalHeader currentNal_;
    int currentSpsId_ = 0;
    std::unique_ptr<SliceDecoder> slices_;
    int lastMbDecoded_ = -1;
    int sliceCount_ = 0;

    int pocMsb_ = 0, pocTop_ = 0, pocBottom_ = 0, frameNumOffset_ = 0;
    int nextPictureId_ = 1;
    int64_t decodeIndex_ = 0;
    int64_t picturesDecoded_ = 0;
    int warningsLeft_ = 200;
};

} // namespace duoscope::h264
