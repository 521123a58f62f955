#include "AvInput.h"

#include "PackerSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>

namespace stereopacker {

namespace {

std::string avError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

AVFormatContext* openFormat(const std::string& path) {
    AVFormatContext* fmt = nullptr;
    int r = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
    if (r < 0) throw InputError("cannot open '" + path + "' as a movie: " + avError(r));
    r = avformat_find_stream_info(fmt, nullptr);
    if (r < 0) {
        avformat_close_input(&fmt);
        throw InputError("cannot read the streams of '" + path + "': " + avError(r));
    }
    return fmt;
}

} // namespace

struct VideoInput::Impl {
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* conv = nullptr;
    SwsContext* sws = nullptr;
    // Stretching the eyes of a half layout back to their shape.
    SwsContext* stretch = nullptr;
    AVFrame* eyes[2] = {};
    double scalingSeconds = 0;
    int stream = -1;
    int srcWidth = 0, srcHeight = 0;
    bool draining = false;
    std::string path;

    ~Impl() {
        sws_freeContext(sws);
        sws_freeContext(stretch);
        av_frame_free(&eyes[0]);
        av_frame_free(&eyes[1]);
        av_frame_free(&conv);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
    }
};

VideoInput::VideoInput(const std::string& path, const Packing& packing)
    : d_(std::make_unique<Impl>()), packing_(packing) {
    d_->path = path;
    d_->fmt = openFormat(path);
    const AVCodec* codec = nullptr;
    d_->stream = av_find_best_stream(d_->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (d_->stream < 0 || !codec) throw InputError("'" + path + "' has no decodable video stream");
    for (unsigned i = 0; i < d_->fmt->nb_streams; ++i)
        if (int(i) != d_->stream) d_->fmt->streams[i]->discard = AVDISCARD_ALL;
    AVStream* st = d_->fmt->streams[d_->stream];
    d_->dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(d_->dec, st->codecpar);
    d_->dec->thread_count = 0;
    if (int r = avcodec_open2(d_->dec, codec, nullptr); r < 0)
        throw InputError("cannot open the " + std::string(codec->name) + " decoder: " + avError(r));
    d_->srcWidth = st->codecpar->width;
    d_->srcHeight = st->codecpar->height;
    // Each eye gets half the frame; 4:2:0 needs an even eye width and height.
    eyeWidth_ = (packing.topBottom ? d_->srcWidth : d_->srcWidth / 2) & ~1;
    eyeHeight_ = (packing.topBottom ? d_->srcHeight / 2 : d_->srcHeight) & ~1;
    if (eyeWidth_ < 16 || eyeHeight_ < 16)
        throw InputError("video of " + std::to_string(d_->srcWidth) + "x" + std::to_string(d_->srcHeight) +
                         " is too small for a " + (packing.topBottom ? "top-bottom" : "side-by-side") +
                         " frame");
    width_ = packing.half && !packing.topBottom ? 2 * eyeWidth_ : eyeWidth_;
    height_ = packing.half && packing.topBottom ? 2 * eyeHeight_ : eyeHeight_;
    auto reported = [](AVRational r) {
        if (r.num <= 0 || r.den <= 0) return FrameRate{};
        av_reduce(&r.num, &r.den, r.num, r.den, INT32_MAX);
        return FrameRate{uint32_t(r.num), uint32_t(r.den)};
    };
    const FrameRate exact = exactFrameRate(reported(st->avg_frame_rate), reported(st->r_frame_rate));
    if (exact.num == 0) throw InputError("'" + path + "' has no frame rate");
    fpsNum_ = exact.num;
    fpsDen_ = exact.den;
    const AVRational rate{int(exact.num), int(exact.den)};
    announced_ = st->nb_frames > 0 ? st->nb_frames : 0;
    double seconds = 0;
    int hh = 0, mm = 0;
    double ss = 0;
    const AVDictionaryEntry* tag = av_dict_get(st->metadata, "DURATION", nullptr, 0);
    if (st->duration > 0) {
        seconds = double(st->duration) * av_q2d(st->time_base);
    } else if (tag && std::sscanf(tag->value, "%d:%d:%lf", &hh, &mm, &ss) == 3) {
        seconds = hh * 3600.0 + mm * 60.0 + ss; // Matroska's per-track duration tag
    } else if (d_->fmt->duration > 0) {
        seconds = double(d_->fmt->duration) / AV_TIME_BASE;
    }
    estimated_ = std::llround(seconds * rate.num / rate.den);

    const AVCodecParameters* cp = st->codecpar;
    media::hevc::Colour c;
    if (cp->color_primaries != AVCOL_PRI_UNSPECIFIED && cp->color_primaries != AVCOL_PRI_RESERVED0)
        c.primaries = uint16_t(cp->color_primaries);
    if (cp->color_trc != AVCOL_TRC_UNSPECIFIED && cp->color_trc != AVCOL_TRC_RESERVED0)
        c.transfer = uint16_t(cp->color_trc);
    if (cp->color_space != AVCOL_SPC_UNSPECIFIED && cp->color_space != AVCOL_SPC_RESERVED)
        c.matrix = uint16_t(cp->color_space);
    c.fullRange = cp->color_range == AVCOL_RANGE_JPEG || cp->format == AV_PIX_FMT_YUVJ420P;
    colour_ = c;

    d_->pkt = av_packet_alloc();
    d_->frame = av_frame_alloc();
}

VideoInput::~VideoInput() = default;

bool VideoInput::next(I420View& left, I420View& right) {
    I420View out;
    Impl& d = *d_;
    for (;;) {
        av_frame_unref(d.frame);
        int r = avcodec_receive_frame(d.dec, d.frame);
        if (r == 0) break;
        if (r == AVERROR_EOF) return false;
        if (r != AVERROR(EAGAIN)) throw InputError("video decoding failed: " + avError(r));
        if (d.draining) return false;
        r = av_read_frame(d.fmt, d.pkt);
        if (r == AVERROR_EOF) {
            d.draining = true;
            avcodec_send_packet(d.dec, nullptr);
            continue;
        }
        if (r < 0) throw InputError("reading '" + d.path + "' failed: " + avError(r));
        if (d.pkt->stream_index == d.stream) {
            r = avcodec_send_packet(d.dec, d.pkt);
            if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA)
                throw InputError("video decoding failed: " + avError(r));
        }
        av_packet_unref(d.pkt);
    }
    AVFrame* f = d.frame;
    if (f->width != d.srcWidth || f->height != d.srcHeight)
        throw InputError("the frame size changes mid-stream (" + std::to_string(f->width) + "x" +
                         std::to_string(f->height) + ")");
    const int frameWidth = packing_.topBottom ? eyeWidth_ : 2 * eyeWidth_;
    const int frameHeight = packing_.topBottom ? 2 * eyeHeight_ : eyeHeight_;
    const bool direct = (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) &&
                        d.srcWidth == frameWidth && d.srcHeight == frameHeight;
    if (direct) {
        for (int i = 0; i < 3; ++i) {
            out.planes[i] = f->data[i];
            out.strides[i] = f->linesize[i];
        }
        splitEyes(out, left, right);
        return true;
    }
    // Other pixel formats (and odd sizes) go through swscale into an 8-bit I420 frame.
    if (!d.conv) {
        d.conv = av_frame_alloc();
        d.conv->format = AV_PIX_FMT_YUV420P;
        d.conv->width = frameWidth;
        d.conv->height = frameHeight;
        if (av_frame_get_buffer(d.conv, 32) < 0) throw InputError("out of memory for the conversion frame");
    }
    d.sws = sws_getCachedContext(d.sws, f->width, f->height, AVPixelFormat(f->format), frameWidth,
                                 frameHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!d.sws)
        throw InputError("cannot convert pixel format " +
                         std::string(av_get_pix_fmt_name(AVPixelFormat(f->format))));
    sws_scale(d.sws, f->data, f->linesize, 0, f->height, d.conv->data, d.conv->linesize);
    for (int i = 0; i < 3; ++i) {
        out.planes[i] = d.conv->data[i];
        out.strides[i] = d.conv->linesize[i];
    }
    splitEyes(out, left, right);
    return true;
}

double VideoInput::scalingSeconds() const {
    return d_->scalingSeconds;
}

void VideoInput::splitEyes(const I420View& frame, I420View& left, I420View& right) {
    // The first picture (left or top) and the second, cut out of the frame in place.
    I420View first, second;
    for (int i = 0; i < 3; ++i) {
        const int shift = i ? 1 : 0;
        first.planes[i] = frame.planes[i];
        second.planes[i] =
            frame.planes[i] + (packing_.topBottom ? ptrdiff_t(eyeHeight_ >> shift) * frame.strides[i]
                                                  : ptrdiff_t(eyeWidth_ >> shift));
        first.strides[i] = second.strides[i] = frame.strides[i];
    }
    if (packing_.half) {
        Impl& d = *d_;
        const auto start = std::chrono::steady_clock::now();
        if (!d.stretch) {
            for (AVFrame*& eye : d.eyes) {
                eye = av_frame_alloc();
                if (!eye) throw InputError("out of memory for the eye pictures");
                eye->format = AV_PIX_FMT_YUV420P;
                eye->width = width_;
                eye->height = height_;
                if (av_frame_get_buffer(eye, 32) < 0) throw InputError("out of memory for the eye pictures");
            }
            d.stretch =
                sws_getContext(eyeWidth_, eyeHeight_, AV_PIX_FMT_YUV420P, width_, height_, AV_PIX_FMT_YUV420P,
                               SWS_LANCZOS | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
            if (!d.stretch) throw InputError("cannot set up the scaler for the half-size eyes");
        }
        I420View* views[2] = {&first, &second};
        for (int e = 0; e < 2; ++e) {
            sws_scale(d.stretch, views[e]->planes, views[e]->strides, 0, eyeHeight_, d.eyes[e]->data,
                      d.eyes[e]->linesize);
            for (int i = 0; i < 3; ++i) {
                views[e]->planes[i] = d.eyes[e]->data[i];
                views[e]->strides[i] = d.eyes[e]->linesize[i];
            }
        }
        d.scalingSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    left = packing_.rightFirst ? second : first;
    right = packing_.rightFirst ? first : second;
}

// ---------------------------------------------------------------------------------------

struct AudioInput::Impl {
    AVFormatContext* fmt = nullptr;
    AVPacket* pkt = nullptr;
    int stream = -1;
    AVRational tb{1, 1};
    enum class Mode { Aac, Ac3, Transcode } mode = Mode::Transcode;
    int frameSamples = 1024;
    int64_t nextTime = 0;
    bool inputDone = false;
    bool held = false; // pkt holds a packet already read (the AC-3 header probe)

    // Transcoding.
    AVCodecContext* dec = nullptr;
    AVCodecContext* enc = nullptr;
    SwrContext* swr = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* in = nullptr;
    AVFrame* chunk = nullptr;
    bool encFlushed = false;
    std::deque<AudioSample> pending;

    ~Impl() {
        av_audio_fifo_free(fifo);
        av_frame_free(&chunk);
        av_frame_free(&in);
        swr_free(&swr);
        avcodec_free_context(&enc);
        avcodec_free_context(&dec);
        av_packet_free(&pkt);
        avformat_close_input(&fmt);
    }

    // Reads the next packet of the audio stream; false at the end.
    bool readPacket() {
        if (held) {
            held = false;
            return true;
        }
        for (;;) {
            const int r = av_read_frame(fmt, pkt);
            if (r == AVERROR_EOF) return false;
            if (r < 0) throw InputError("reading audio failed: " + avError(r));
            if (pkt->stream_index == stream) return true;
            av_packet_unref(pkt);
        }
    }

    void collectEncoded() {
        AVPacket* out = av_packet_alloc();
        for (;;) {
            const int r = avcodec_receive_packet(enc, out);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) {
                av_packet_free(&out);
                throw InputError("AAC encoding failed: " + avError(r));
            }
            AudioSample s;
            s.data.assign(out->data, out->data + out->size);
            s.duration = uint32_t(out->duration > 0 ? out->duration : enc->frame_size);
            s.time = nextTime;
            nextTime += s.duration;
            pending.push_back(std::move(s));
            av_packet_unref(out);
        }
        av_packet_free(&out);
    }

    void encodeFifo(bool flush) {
        while (av_audio_fifo_size(fifo) >= enc->frame_size || (flush && av_audio_fifo_size(fifo) > 0)) {
            const int n = std::min(av_audio_fifo_size(fifo), enc->frame_size);
            av_frame_unref(chunk);
            chunk->nb_samples = n;
            chunk->format = enc->sample_fmt;
            chunk->sample_rate = enc->sample_rate;
            av_channel_layout_copy(&chunk->ch_layout, &enc->ch_layout);
            if (av_frame_get_buffer(chunk, 0) < 0) throw InputError("out of memory for audio");
            av_audio_fifo_read(fifo, reinterpret_cast<void**>(chunk->data), n);
            if (int r = avcodec_send_frame(enc, chunk); r < 0)
                throw InputError("AAC encoding failed: " + avError(r));
            collectEncoded();
        }
        if (flush && !encFlushed) {
            encFlushed = true;
            avcodec_send_frame(enc, nullptr);
            collectEncoded();
        }
    }

    void convertAndQueue(const AVFrame* f) {
        const int outCount = swr_get_out_samples(swr, f ? f->nb_samples : 0);
        if (outCount <= 0) return;
        uint8_t** buf = nullptr;
        if (av_samples_alloc_array_and_samples(&buf, nullptr, enc->ch_layout.nb_channels, outCount,
                                               enc->sample_fmt, 0) < 0)
            throw InputError("out of memory for audio");
        const int got =
            swr_convert(swr, buf, outCount, f ? const_cast<const uint8_t**>(f->extended_data) : nullptr,
                        f ? f->nb_samples : 0);
        if (got > 0) av_audio_fifo_write(fifo, reinterpret_cast<void**>(buf), got);
        av_freep(&buf[0]);
        av_freep(&buf);
        if (got < 0) throw InputError("audio resampling failed: " + avError(got));
    }

    // Decodes more input into the encoder; false when everything has been encoded.
    bool pumpTranscode() {
        if (inputDone) return false;
        const bool more = readPacket();
        if (more) {
            const int r = avcodec_send_packet(dec, pkt);
            av_packet_unref(pkt);
            if (r < 0 && r != AVERROR_INVALIDDATA) throw InputError("audio decoding failed: " + avError(r));
        } else {
            avcodec_send_packet(dec, nullptr);
        }
        for (;;) {
            const int r = avcodec_receive_frame(dec, in);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) throw InputError("audio decoding failed: " + avError(r));
            convertAndQueue(in);
            av_frame_unref(in);
        }
        if (!more) {
            convertAndQueue(nullptr);
            encodeFifo(true);
            inputDone = true;
        } else {
            encodeFifo(false);
        }
        return true;
    }
};

AudioInput::AudioInput() : d_(std::make_unique<Impl>()) {}
AudioInput::~AudioInput() = default;

std::unique_ptr<AudioInput> AudioInput::open(const std::string& path) {
    std::unique_ptr<AudioInput> a(new AudioInput());
    Impl& d = *a->d_;
    d.fmt = openFormat(path);
    d.stream = av_find_best_stream(d.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (d.stream < 0) return nullptr;
    // The first audio track, as the engine's remux would keep it.
    for (unsigned i = 0; i < d.fmt->nb_streams; ++i) {
        if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            d.stream = int(i);
            break;
        }
    }
    for (unsigned i = 0; i < d.fmt->nb_streams; ++i)
        if (int(i) != d.stream) d.fmt->streams[i]->discard = AVDISCARD_ALL;
    AVStream* st = d.fmt->streams[d.stream];
    const AVCodecParameters* cp = st->codecpar;
    d.tb = st->time_base;
    d.pkt = av_packet_alloc();
    a->track_.handler = "soun";
    a->track_.language = 0x55C4;

    if (cp->codec_id == AV_CODEC_ID_AAC && cp->extradata_size >= 2 && cp->sample_rate > 0) {
        d.mode = Impl::Mode::Aac;
        d.frameSamples = cp->frame_size > 0 ? cp->frame_size : 1024;
        a->track_.timescale = uint32_t(cp->sample_rate);
        a->track_.sampleEntry =
            aacSampleEntry({cp->extradata, size_t(cp->extradata_size)}, cp->ch_layout.nb_channels,
                           cp->sample_rate, uint32_t(std::max<int64_t>(0, cp->bit_rate)));
        a->description_ = "AAC, packets copied";
        return a;
    }
    if (cp->codec_id == AV_CODEC_ID_AC3 && d.readPacket()) {
        // The dac3 box needs the first sync frame's header; the packet is then read again.
        d.held = true;
        if (auto info = parseAc3Header({d.pkt->data, size_t(d.pkt->size)})) {
            d.mode = Impl::Mode::Ac3;
            d.frameSamples = 1536;
            a->track_.timescale = uint32_t(info->sampleRate());
            a->track_.sampleEntry = ac3SampleEntry(*info);
            a->description_ = "AC-3, packets copied";
            return a;
        }
    }

    // Everything else: decode and encode to AAC.
    const AVCodec* decoder = avcodec_find_decoder(cp->codec_id);
    if (!decoder)
        throw InputError("no decoder for the audio codec " + std::string(avcodec_get_name(cp->codec_id)));
    d.dec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(d.dec, cp);
    if (int r = avcodec_open2(d.dec, decoder, nullptr); r < 0)
        throw InputError("cannot open the audio decoder: " + avError(r));
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!encoder) throw InputError("no AAC encoder available");
    d.enc = avcodec_alloc_context3(encoder);
    d.enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    static constexpr int rates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                                    24000, 22050, 16000, 12000, 11025, 8000};
    d.enc->sample_rate = 48000;
    for (int r : rates)
        if (r == d.dec->sample_rate) d.enc->sample_rate = r;
    const int inChannels = d.dec->ch_layout.nb_channels;
    if (inChannels == 1)
        av_channel_layout_default(&d.enc->ch_layout, 1);
    else if (inChannels == 6)
        av_channel_layout_from_mask(&d.enc->ch_layout, AV_CH_LAYOUT_5POINT1);
    else if (inChannels == 8)
        av_channel_layout_from_mask(&d.enc->ch_layout, AV_CH_LAYOUT_7POINT1);
    else
        av_channel_layout_default(&d.enc->ch_layout, 2);
    d.enc->bit_rate = 64000 * std::min(d.enc->ch_layout.nb_channels, 6);
    d.enc->time_base = AVRational{1, d.enc->sample_rate};
    d.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int r = avcodec_open2(d.enc, encoder, nullptr); r < 0)
        throw InputError("cannot open the AAC encoder: " + avError(r));
    AVChannelLayout inLayout;
    if (d.dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&inLayout, inChannels);
    else
        av_channel_layout_copy(&inLayout, &d.dec->ch_layout);
    int r = swr_alloc_set_opts2(&d.swr, &d.enc->ch_layout, d.enc->sample_fmt, d.enc->sample_rate, &inLayout,
                                d.dec->sample_fmt, d.dec->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (r < 0 || swr_init(d.swr) < 0) throw InputError("cannot set up audio resampling");
    d.fifo = av_audio_fifo_alloc(d.enc->sample_fmt, d.enc->ch_layout.nb_channels, 4096);
    d.in = av_frame_alloc();
    d.chunk = av_frame_alloc();
    a->track_.timescale = uint32_t(d.enc->sample_rate);
    a->track_.sampleEntry =
        aacSampleEntry({d.enc->extradata, size_t(d.enc->extradata_size)}, d.enc->ch_layout.nb_channels,
                       d.enc->sample_rate, uint32_t(d.enc->bit_rate));
    a->description_ = std::string(avcodec_get_name(cp->codec_id)) + " transcoded to AAC";
    return a;
}

bool AudioInput::next(AudioSample& out) {
    Impl& d = *d_;
    if (d.mode == Impl::Mode::Transcode) {
        while (d.pending.empty())
            if (!d.pumpTranscode()) return false;
        out = std::move(d.pending.front());
        d.pending.pop_front();
        return true;
    }
    if (!d.readPacket()) return false;
    out.data.assign(d.pkt->data, d.pkt->data + d.pkt->size);
    // Times count codec frames, which keeps them exact where the container rounds (Matroska: 1 ms).
    int64_t dur =
        d.pkt->duration > 0 ? av_rescale_q(d.pkt->duration, d.tb, AVRational{1, int(track_.timescale)}) : 0;
    const int64_t frames = std::max<int64_t>(1, std::llround(double(dur) / d.frameSamples));
    out.duration = uint32_t(frames * d.frameSamples);
    out.time = d.nextTime;
    d.nextTime += out.duration;
    av_packet_unref(d.pkt);
    return true;
}

} // namespace stereopacker
