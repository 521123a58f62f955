// Duoscope's H.264 decoder (progressive 4:2:0 8-bit, Constrained Baseline to
// High, Stereo and Multiview High with two views): feed NAL units in decoding
// order, receive pictures in output order through a callback; with two views
// the pictures come in lock-step, base view then second view of each access
// unit. One Decoder per stream, used from one thread at a time; it owns all
// picture memory, the callback only borrows a finished picture.
//
// Two decoders can share one two-view stream on two threads: both get every
// NAL unit, one decodes the base view only and hands each access unit's base
// picture over, the other decodes the second view with it as its inter-view
// reference. Both count access units the same way, so they always agree.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
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

enum class ViewSelection { All, BaseOnly, DependentOnly };

struct DecoderCallbacks {
    std::function<void(const OutputPicture&)> onPicture;
    std::function<void(const std::string&)> onWarning;
    // Once for each picture that had to be concealed in part or whole (lost
    // slices, missing references, a missing view), with its view (0 base,
    // 1 second) and access unit (from 0, decode order); never suppressed like
    // the warnings, so a caller can count them.
    std::function<void(int view, int64_t accessUnit)> onConcealed;
    // Pictures larger than this many macroblocks are refused (UnsupportedFeature);
    // the default is the largest level 6.2 frame.
    int maxPictureMacroblocks = 139264;
    ViewSelection views = ViewSelection::All;
    // BaseOnly: receives the base picture of every access unit (nullptr when it
    // has none), pinned once; the receiver unpins it (Picture::pins) when done.
    std::function<void(int64_t accessUnit, Picture* base)> onBasePicture;
    // DependentOnly: returns that pinned base picture (may block until it is
    // decoded); the decoder unpins it when the access unit is finished.
    std::function<Picture*(int64_t accessUnit)> interViewPicture;
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
    int64_t accessUnits() const { return accessUnit_ + 1; }
    // True once the stream has shown a second view (NAL unit type 20).
    bool hasSecondView() const { return multiview_; }

  private:
    friend class SliceDecoder;

    struct ViewState {
        std::vector<Picture*> dpb;  // pictures held for reference or output
        std::deque<Picture*> ready; // output, waiting for the other view's picture
        Sps sps;                    // of the view's latest picture
        bool hasSps = false;
        // First slice of the view's latest picture: where the next picture starts.
        SliceHeader firstSlice;
        NalHeader firstNal;
        bool inPicture = false;
        Picture* latest = nullptr; // latest decoded picture (concealment source)
        int prevRefFrameNum = 0;
        int prevPocMsb = 0;
        int prevPocLsb = 0;
        int prevFrameNumOffset = 0;
        int prevFrameNum = 0;
        bool prevHadMmco5 = false;
        int maxLongTermFrameIdx = -1; // "no long-term frame indices"
        bool hasSeenIdr = false;
    };

    void decodeSlice(NalHeader nal, std::vector<uint8_t>& rbsp, uint64_t byteOffset);
    void startPicture(const SliceHeader& sh, const NalHeader& nal, const Sps& sps, int view);
    void finishPicture();
    void endAccessUnit();
    void concealMissingView(int view);
    void noteConcealed(int view);
    void computePoc(const SliceHeader& sh, const Sps& sps, Picture& pic);
    void handleFrameNumGap(const SliceHeader& sh, const Sps& sps);
    void markReferences(const SliceHeader& sh, const Sps& sps, Picture& pic);
    void slidingWindow(ViewState& vs, const Sps& sps);
    void bump(ViewState& vs, bool flushAll);
    void bumpForSpace(ViewState& vs);
    void outputPicture(Picture* pic);
    void emitReady(bool flushing);
    void releaseUnused();
    Picture* acquirePicture(int width, int height);
    void warn(const std::string& text);

  public:
    // H.264 8.2.4: builds RefPicList0/1 for a slice of the current picture,
    // after initialisation and modification. Exposed for MVC and tests.
    void buildRefLists(const SliceHeader& sh, const Sps& sps, std::vector<Picture*> lists[2]);

  private:
    DecoderCallbacks callbacks_;
    std::array<Sps, 32> sps_{};
    std::array<Sps, 32> subsetSps_{};
    std::array<Pps, 256> pps_{};                    // against the SPS table (base view)
    std::array<Pps, 256> ppsMvc_{};                 // the same ids against the subset SPS table (second view)
    std::array<std::vector<uint8_t>, 256> ppsRbsp_; // as received, for a PPS that came before its SPS
    std::vector<uint8_t> rbsp_;

    std::vector<std::unique_ptr<Picture>> pool_;
    std::array<ViewState, 2> views_{};
    int baseViewId_ = 0;
    bool multiview_ = false; // a second view has been seen
    NalHeader prefix_;       // MVC header of the next base-view slice (prefix NAL unit)
    bool hasPrefix_ = false;
    bool warnedUnknownView_ = false;

    // The access unit being decoded.
    int64_t accessUnit_ = -1;
    bool auOpen_ = false;
    bool auHas_[2] = {false, false};
    Picture* interView_ = nullptr; // the base picture of this access unit
    bool interViewFetched_ = false;
    bool basePublished_ = false;

    // The picture being decoded.
    Picture* current_ = nullptr;
    int currentView_ = 0;
    Sps currentSps_;
    SliceHeader firstSlice_;
    NalHeader currentNal_;
    std::unique_ptr<SliceDecoder> slices_;
    int lastMbDecoded_ = -1;
    int sliceCount_ = 0;

    int pocMsb_ = 0, pocTop_ = 0, pocBottom_ = 0, frameNumOffset_ = 0;
    int nextPictureId_ = 1;
    int64_t decodeIndex_ = 0;
    int64_t picturesDecoded_ = 0;
    int warningsLeft_ = 200;
    int64_t lastConcealed_[2] = {-1, -1}; // access unit last reported per view
};

} // namespace duoscope::h264
