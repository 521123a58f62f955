#include "media/hevc/StereoEncoder.h"

#include <x265.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace media::hevc {

double crfForQuality(double q) {
    static constexpr std::pair<double, double> table[] = {{0.0, 36},  {0.5, 28},  {0.7, 23},
                                                          {0.85, 18}, {0.88, 17}, {1.0, 12}};
    if (!(q > 0)) return table[0].second;
    if (q >= 1) return table[5].second;
    for (size_t i = 1; i < std::size(table); ++i) {
        if (q <= table[i].first) {
            const auto [q0, c0] = table[i - 1];
            const auto [q1, c1] = table[i];
            return c0 + (c1 - c0) * (q - q0) / (q1 - q0);
        }
    }
    return table[5].second;
}

std::string presetForQuality(double quality) {
    if (quality >= 0.8) return "medium";
    if (quality >= 0.6) return "fast";
    return "veryfast";
}

PicturePlan::PicturePlan(int keyint, int minKeyint, int bframes)
    : keyint_(std::max(1, keyint)), minKeyint_(std::clamp(minKeyint, 1, std::max(1, keyint))),
      bframes_(std::max(0, bframes)) {}

int PicturePlan::next(bool sceneCut) {
    ++sinceIdr_;
    if (sinceIdr_ == 0 || sinceIdr_ >= keyint_ || (sceneCut && sinceIdr_ >= minKeyint_)) {
        sinceIdr_ = 0;
        return X265_TYPE_IDR;
    }
    return sinceIdr_ % (bframes_ + 1) == 0 ? X265_TYPE_P : X265_TYPE_B;
}

SceneCutDetector::Difference SceneCutDetector::difference(int eye, const PlanarPicture& picture, int width,
                                                          int height) {
    // Every 16th sample of every 16th row: a few thousand samples of a 1080p picture.
    constexpr int step = 16;
    std::vector<uint8_t>& prev = previous_[eye];
    const size_t count = size_t((width + step - 1) / step) * size_t((height + step - 1) / step);
    const bool first = prev.size() != count;
    prev.resize(count);
    std::array<int, 32> histogram{};
    uint64_t sum = 0;
    size_t i = 0;
    for (int y = 0; y < height; y += step) {
        const uint8_t* row = picture.planes[0] + ptrdiff_t(y) * picture.strides[0];
        for (int x = 0; x < width; x += step, ++i) {
            sum += uint64_t(std::abs(int(row[x]) - int(prev[i])));
            prev[i] = row[x];
            ++histogram[row[x] >> 3];
        }
    }
    int moved = 0;
    for (size_t b = 0; b < histogram.size(); ++b)
        moved += std::abs(histogram[b] - histograms_[eye][b]);
    histograms_[eye] = histogram;
    if (first) return {};
    return {double(sum) / double(count), double(moved) / double(2 * count)};
}

bool SceneCutDetector::isCut(const PlanarPicture& left, const PlanarPicture& right, int width, int height) {
    // A cut both changes the pictures far more than the shot's usual motion and grain do (a pan
    // moves them too) and moves the brightness histogram (a pan barely does; a fade does, but
    // slowly). A flash that one eye sees is no cut: an IDR would cost both eyes.
    bool cut = seen_ >= 2;
    for (int eye = 0; eye < 2; ++eye) {
        const Difference d = difference(eye, eye ? right : left, width, height);
        if (!(d.samples > std::max(12.0, 2.0 * average_[eye]) && d.histogram > 0.2)) cut = false;
        average_[eye] = seen_ <= 1 ? d.samples : 0.8 * average_[eye] + 0.2 * d.samples;
    }
    ++seen_;
    return cut;
}

namespace {

void setParam(x265_param* p, const char* name, const std::string& value) {
    if (x265_param_parse(p, name, value.c_str()) != 0)
        throw Error(std::string("x265 rejected option ") + name + "=" + value);
}

std::string colourName(int kind, uint16_t v) {
    // x265 takes names; map the codes we use, otherwise pass the number as text.
    (void)kind;
    return std::to_string(v);
}

Bytes stripStartCode(const x265_nal& n) {
    const uint8_t* p = n.payload;
    size_t size = n.sizeBytes;
    size_t skip = 0;
    if (size >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
        skip = 4;
    else if (size >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1)
        skip = 3;
    return Bytes(p + skip, p + size);
}

} // namespace

struct StereoEncoder::Eye {
    x265_param* param = nullptr;
    x265_encoder* enc = nullptr;
    std::vector<Bytes> headers;
    std::deque<EncodedPicture> ready;
    double seconds = 0;
    int64_t picturesOut = 0;

    // Worker thread running one job at a time.
    std::thread thread;
    std::mutex m;
    std::condition_variable cv;
    std::function<void()> job;
    bool busy = false, quit = false;
    std::exception_ptr error;

    void start() {
        thread = std::thread([this] {
            std::unique_lock lock(m);
            for (;;) {
                cv.wait(lock, [this] { return busy || quit; });
                if (quit) return;
                auto j = std::move(job);
                lock.unlock();
                try {
                    j();
                } catch (...) {
                    error = std::current_exception();
                }
                lock.lock();
                busy = false;
                cv.notify_all();
            }
        });
    }
    void submit(std::function<void()> j) {
        std::lock_guard lock(m);
        job = std::move(j);
        busy = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(m);
        cv.wait(lock, [this] { return !busy; });
        if (error) {
            auto e = error;
            error = nullptr;
            std::rethrow_exception(e);
        }
    }
    ~Eye() {
        if (thread.joinable()) {
            {
                std::lock_guard lock(m);
                quit = true;
                cv.notify_all();
            }
            thread.join();
        }
        if (enc) x265_encoder_close(enc);
        if (param) x265_param_free(param);
    }

    // Returns true when a picture came out.
    bool encodeOne(const PlanarPicture* in, int64_t frame, int sliceType) {
        x265_picture pic, out;
        x265_picture_init(param, &out);
        x265_picture* pin = nullptr;
        if (in) {
            x265_picture_init(param, &pic);
            for (int i = 0; i < 3; ++i) {
                pic.planes[i] = const_cast<uint8_t*>(in->planes[i]);
                pic.stride[i] = in->strides[i];
            }
            pic.bitDepth = 8;
            pic.colorSpace = X265_CSP_I420;
            pic.pts = frame;
            pic.sliceType = sliceType;
            pin = &pic;
        }
        x265_nal* nals = nullptr;
        uint32_t count = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const int r = x265_encoder_encode(enc, &nals, &count, pin, &out);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (r < 0) throw Error("x265 encode failed at frame " + std::to_string(frame));
        if (r == 0 || count == 0) return false;
        EncodedPicture p;
        p.pts = out.pts;
        // x265 takes the first decode times from the timestamps of pictures
        // still to come; a movie shorter than its B-frame delay has none, and
        // the garbage it reads instead made one- and two-picture movies that
        // no decoder shows. Pictures are numbered 0, 1, 2, ... here, so the
        // decode time is the output count less that delay, which is what x265
        // gives for every longer movie.
        const int64_t reorderDelay = param->bframes > 0 ? (param->bBPyramid ? 2 : 1) : 0;
        p.dts = std::min<int64_t>(picturesOut++ - reorderDelay, out.pts);
        p.poc = out.poc;
        p.sliceType = out.sliceType;
        p.keyframe = out.sliceType == X265_TYPE_IDR;
        for (uint32_t i = 0; i < count; ++i) {
            Bytes nal = stripStartCode(nals[i]);
            const int t = nalType(nal);
            if (t == hevcnal::videoParameterSet || t == hevcnal::sequenceParameterSet ||
                t == hevcnal::pictureParameterSet || t == hevcnal::accessUnitDelimiter ||
                t == hevcnal::endOfSequence || t == hevcnal::endOfBitstream)
                continue;
            p.nals.push_back(std::move(nal));
        }
        ready.push_back(std::move(p));
        return true;
    }
};

StereoEncoder::StereoEncoder(const EncoderSettings& s) : settings_(s) {
    if (s.width <= 0 || s.height <= 0 || s.width % 2 || s.height % 2)
        throw Error("encoder: picture size " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                    " must be positive and even");
    if (s.fpsNum == 0 || s.fpsDen == 0) throw Error("encoder: frame rate must be positive");
    const double fps = double(s.fpsNum) / s.fpsDen;
    const int keyint = s.keyint > 0 ? s.keyint : std::max(1, int(std::lround(2 * fps)));
    if (settings_.preset.empty()) settings_.preset = presetForQuality(s.quality);
    for (auto& eye : eyes_) {
        eye = std::make_unique<Eye>();
        x265_param* p = x265_param_alloc();
        if (!p) throw Error("x265: out of memory");
        eye->param = p;
        if (x265_param_default_preset(p, settings_.preset.c_str(), nullptr) != 0)
            throw Error("x265: unknown preset " + settings_.preset);
        p->sourceWidth = s.width;
        p->sourceHeight = s.height;
        p->fpsNum = s.fpsNum;
        p->fpsDenom = s.fpsDen;
        p->internalCsp = X265_CSP_I420;
        p->logLevel = X265_LOG_NONE; // library code stays quiet; failures come back as Error
        // The layer rewrite needs both eyes in lock step: the picture types come from the one
        // plan (IDR only, closed GOP), one slice, constant parameter sets, no weighted prediction.
        // x265's own scene-cut and B-frame decisions would differ between eyes that differ.
        if (s.threads > 0) {
            // Several encoders share the machine (the segment-parallel script runs one per
            // core): each gets its share instead of a pool as large as the machine.
            const int perEye = std::max(1, s.threads / 2);
            setParam(p, "pools", std::to_string(perEye));
            setParam(p, "frame-threads", perEye < 2 ? "1" : "2");
        }
        setParam(p, "keyint", std::to_string(keyint));
        setParam(p, "min-keyint", std::to_string(std::max(1, keyint / 4)));
        setParam(p, "scenecut", "0");
        setParam(p, "open-gop", "0");
        setParam(p, "b-adapt", "0");
        setParam(p, "weightp", "0");
        setParam(p, "weightb", "0");
        setParam(p, "slices", "1");
        setParam(p, "repeat-headers", "0");
        setParam(p, "info", "0");
        setParam(p, "annexb", "1");
        setParam(p, "aud", "0");
        setParam(p, "hash", "0");
        setParam(p, "opt-qp-pps", "0");
        setParam(p, "opt-ref-list-length-pps", "0");
        setParam(p, "temporal-layers", "0");
        // Small pictures need a CTU no larger than the picture.
        const int smaller = std::min(s.width, s.height);
        if (smaller < 64) setParam(p, "ctu", smaller < 32 ? "16" : "32");
        if (s.averageKbps) {
            setParam(p, "bitrate", std::to_string(std::max<uint32_t>(1, *s.averageKbps / 2)));
        } else {
            setParam(p, "crf", std::to_string(crfForQuality(s.quality)));
        }
        if (s.colour) {
            setParam(p, "colorprim", colourName(0, s.colour->primaries));
            setParam(p, "transfer", colourName(1, s.colour->transfer));
            setParam(p, "colormatrix", colourName(2, s.colour->matrix));
            setParam(p, "range", s.colour->fullRange ? "full" : "limited");
        }
        eye->enc = x265_encoder_open(p);
        if (!eye->enc)
            throw Error("x265 cannot open an encoder for " + std::to_string(s.width) + "x" +
                        std::to_string(s.height) + " (preset " + settings_.preset +
                        "; pictures need at least 16 pixels per side)");
        x265_encoder_parameters(eye->enc, p);
        x265_nal* nals = nullptr;
        uint32_t count = 0;
        if (x265_encoder_headers(eye->enc, &nals, &count) < 0) throw Error("x265: cannot get headers");
        for (uint32_t i = 0; i < count; ++i) {
            Bytes nal = stripStartCode(nals[i]);
            const int t = nalType(nal);
            if (t == hevcnal::videoParameterSet || t == hevcnal::sequenceParameterSet ||
                t == hevcnal::pictureParameterSet)
                eye->headers.push_back(std::move(nal));
        }
        eye->start();
    }
    if (eyes_[0]->headers != eyes_[1]->headers) throw Error("encoder: the two eyes' parameter sets differ");
    const int bframes = eyes_[0]->param->bframes;
    plan_ = std::make_unique<PicturePlan>(keyint, std::max(1, keyint / 4), bframes);
}

StereoEncoder::~StereoEncoder() = default;

const std::vector<Bytes>& StereoEncoder::headers(int eye) const {
    return eyes_[eye]->headers;
}

double StereoEncoder::encoderSeconds() const {
    return eyes_[0]->seconds + eyes_[1]->seconds;
}

void StereoEncoder::run(const PlanarPicture* left, const PlanarPicture* right, int64_t frame, int sliceType,
                        bool& gotAny) {
    bool got[2] = {false, false};
    eyes_[0]->submit([&] { got[0] = eyes_[0]->encodeOne(left, frame, sliceType); });
    eyes_[1]->submit([&] { got[1] = eyes_[1]->encodeOne(right, frame, sliceType); });
    std::exception_ptr err;
    for (auto& e : eyes_) {
        try {
            e->wait();
        } catch (...) {
            err = std::current_exception();
        }
    }
    if (err) std::rethrow_exception(err);
    gotAny = got[0] || got[1];
}

void checkEyesInStep(const StereoAccessUnit& au, int64_t index) {
    const std::string where = "access unit " + std::to_string(index);
    if (au.left.poc != au.right.poc || au.left.pts != au.right.pts)
        throw Error("eyes out of step at " + where + ": POC " + std::to_string(au.left.poc) + " vs " +
                    std::to_string(au.right.poc));
    if (au.left.sliceType != au.right.sliceType)
        throw Error("eyes out of step at " + where + ": picture types differ");
    std::vector<int> tl, tr;
    for (auto& n : au.left.nals)
        if (isVcl(nalType(n))) tl.push_back(nalType(n));
    for (auto& n : au.right.nals)
        if (isVcl(nalType(n))) tr.push_back(nalType(n));
    if (tl != tr || tl.empty()) throw Error("eyes out of step at " + where + ": NAL unit types differ");
}

void StereoEncoder::pair(std::vector<StereoAccessUnit>& out) {
    auto& L = eyes_[0]->ready;
    auto& R = eyes_[1]->ready;
    while (!L.empty() && !R.empty()) {
        StereoAccessUnit au{std::move(L.front()), std::move(R.front())};
        L.pop_front();
        R.pop_front();
        checkEyesInStep(au, paired_);
        ++paired_;
        out.push_back(std::move(au));
    }
}

void StereoEncoder::encode(const PlanarPicture& left, const PlanarPicture& right, int64_t frame,
                           std::vector<StereoAccessUnit>& out) {
    bool got = false;
    const int type = plan_->next(cuts_.isCut(left, right, settings_.width, settings_.height));
    run(&left, &right, frame, type, got);
    pair(out);
}

bool StereoEncoder::drainStep(std::vector<StereoAccessUnit>& out) {
    bool got = false;
    run(nullptr, nullptr, -1, X265_TYPE_AUTO, got);
    pair(out);
    if (got) return true;
    if (!eyes_[0]->ready.empty() || !eyes_[1]->ready.empty())
        throw Error("eyes out of step at the end: one eye has " +
                    std::to_string(eyes_[0]->ready.size() + eyes_[1]->ready.size()) + " pictures left over");
    return false;
}

void StereoEncoder::flush(std::vector<StereoAccessUnit>& out) {
    while (drainStep(out)) {
    }
}

} // namespace media::hevc
