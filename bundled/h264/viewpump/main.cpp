// viewpump: streams both views of a two-view H.264 MVC stream to standard
// output, for each access unit in output order the base-view picture and then
// the second-view picture (planar I420 each). Same parameters as ldecod
// (-p InputFile=<file, named pipe or -> ...; -p Threads=1 decodes on one
// thread; -p Stats=1 prints each thread's CPU time at the end). Standard error: "viewpump: <n> frame pairs
// decoded" every 100 pairs, "viewpump: done, <n> frame pairs" at the end, "Warning: ..." lines, and "ERROR:
// ..." before exit status 1.
//
// Two threads: the base view is decoded on the main thread, the second view on
// another one, which takes each base picture as its inter-view reference as
// soon as it is done; so the second picture of access unit n is decoded beside
// the base picture of n + 1. A third thread writes the pairs. The output is
// the same as the one-thread decoder's, byte for byte.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "AnnexBReader.h"
#include "Decoder.h"
#include "JmArguments.h"
#include "toolsupport/ToolSupport.h"

using namespace duoscope::h264;

namespace {

using Frame = std::vector<uint8_t>;

// Unwinds a decoder thread after another thread failed.
struct Stopped {};

class FrameWriter {
  public:
    explicit FrameWriter(int fd) : fd_(fd) {}
    // Writes one picture; false when standard output is gone.
    bool write(const Frame& frame) {
        const uint8_t* p = frame.data();
        size_t left = frame.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = std::strerror(n < 0 ? errno : EIO);
                return false;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        return true;
    }
    // Writes a picture straight from its planes when its visible rows are
    // contiguous (no left or right cropping), else through a copy.
    bool write(const OutputPicture& o, Frame& scratch) {
        const Picture& p = *o.picture;
        if (o.cropLeft != 0 || o.width != p.stride[0]) {
            copyVisible(o, scratch);
            return write(scratch);
        }
        iovec parts[3];
        for (int c = 0; c < 3; ++c) {
            int sub = c ? 2 : 1;
            parts[c].iov_base = p.plane[c] + (o.cropTop / sub) * p.stride[c];
            parts[c].iov_len = static_cast<size_t>(o.width / sub) * (o.height / sub);
        }
        int first = 0;
        while (first < 3) {
            ssize_t n = ::writev(fd_, parts + first, 3 - first);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = std::strerror(n < 0 ? errno : EIO);
                return false;
            }
            for (size_t left = static_cast<size_t>(n); left > 0 && first < 3;) {
                size_t used = std::min(left, parts[first].iov_len);
                parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + used;
                parts[first].iov_len -= used;
                left -= used;
                if (parts[first].iov_len == 0) ++first;
            }
        }
        return true;
    }
    const std::string& error() const { return error_; }

  private:
    int fd_;
    std::string error_;
};

void reportPairs(int64_t pairs) {
    if (pairs > 0 && pairs % 100 == 0)
        std::fprintf(stderr, "viewpump: %lld frame pairs decoded\n", static_cast<long long>(pairs));
}

// Everything the three threads share, under one lock.
struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Frame>>
        nals; // NAL units for the second view's decoder (offset in the first 8 bytes)
    bool nalsDone = false;
    std::map<int64_t, Picture*> basePictures; // handed over, not yet taken
    std::deque<Frame> frames[2];              // decoded pictures per view, output order
    std::vector<Frame> spare;                 // recycled frame buffers
    bool decoderDone[2] = {false, false};
    bool singleView = false;
    bool failed = false;
    std::string error;

    void fail(const std::string& message) {
        std::lock_guard<std::mutex> g(lock);
        if (!failed) error = message;
        failed = true;
        changed.notify_all();
    }
    // One thread's work: a failure stops the others with its message; a stop
    // caused by another thread's failure ends it quietly.
    template <class Body> void runStage(Body body) {
        try {
            body();
        } catch (const Stopped&) {
        } catch (const UnsupportedFeature& e) {
            fail(std::string("unsupported stream feature: ") + e.what());
        } catch (const std::exception& e) {
            fail(e.what());
        }
    }
    template <class Pred> void waitFor(std::unique_lock<std::mutex>& g, Pred pred) {
        changed.wait(g, [&] { return failed || pred(); });
        if (failed) throw Stopped{};
    }
    void pushFrame(int view, const OutputPicture& o) {
        std::unique_lock<std::mutex> g(lock);
        // A view runs at most a few pictures ahead of the other.
        waitFor(g, [&] { return frames[view].size() < 16 || singleView; });
        Frame f;
        if (!spare.empty()) {
            f = std::move(spare.back());
            spare.pop_back();
        }
        g.unlock();
        copyVisible(o, f);
        g.lock();
        frames[view].push_back(std::move(f));
        changed.notify_all();
    }
};

// CPU seconds of the calling thread.
double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

constexpr size_t kNalQueue = 512;
constexpr size_t kBasesAhead = 4;

// The line the engine counts damaged pictures by (one per picture, never suppressed).
void reportConcealed(int view, int64_t accessUnit) {
    std::fprintf(stderr, "viewpump: concealed picture of view %d in access unit %lld\n", view,
                 static_cast<long long>(accessUnit));
}

int runOneThread(int fd, FrameWriter& writer, int64_t& pairs) {
    bool secondView = false;
    bool pending = false; // a base picture written, its partner not yet
    std::string writeError;
    Frame frame;
    DecoderCallbacks callbacks;
    callbacks.onWarning = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    callbacks.onConcealed = reportConcealed;
    Decoder* decoderPtr = nullptr;
    callbacks.onPicture = [&](const OutputPicture& o) {
        if (!writeError.empty()) return;
        if (!writer.write(o, frame)) writeError = writer.error();
        secondView = decoderPtr->hasSecondView();
        if (o.picture->viewIndex == 1 || !secondView) {
            ++pairs;
            pending = false;
            reportPairs(pairs);
        } else {
            pending = true;
        }
    };
    Decoder decoder(callbacks);
    decoderPtr = &decoder;
    AnnexBReader reader(fd);
    const uint8_t* data;
    size_t size;
    uint64_t offset;
    while (writeError.empty() && reader.next(data, size, offset))
        decoder.decodeNal(data, size, offset);
    if (writeError.empty()) decoder.flush();
    if (!writeError.empty()) throw std::runtime_error("cannot write to standard output: " + writeError);
    (void)pending;
    return 0;
}

int runTwoThreads(int fd, FrameWriter& writer, int64_t& pairs, bool stats) {
    Shared shared;
    double cpu[3] = {0, 0, 0}; // base decoder (and reader), second decoder, writer
    auto onWarning = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };

    std::thread second([&] {
        shared.runStage([&] {
            DecoderCallbacks callbacks;
            callbacks.onWarning = onWarning;
            callbacks.onConcealed = reportConcealed;
            callbacks.onConcealed = reportConcealed;
            callbacks.views = ViewSelection::DependentOnly;
            callbacks.onPicture = [&](const OutputPicture& o) { shared.pushFrame(1, o); };
            callbacks.interViewPicture = [&](int64_t accessUnit) -> Picture* {
                std::unique_lock<std::mutex> g(shared.lock);
                shared.waitFor(g, [&] { return shared.basePictures.count(accessUnit) > 0; });
                Picture* pic = shared.basePictures[accessUnit];
                shared.basePictures.erase(accessUnit);
                shared.changed.notify_all();
                return pic;
            };
            Decoder decoder(callbacks);
            for (;;) {
                std::shared_ptr<Frame> nal;
                {
                    std::unique_lock<std::mutex> g(shared.lock);
                    shared.waitFor(g, [&] { return !shared.nals.empty() || shared.nalsDone; });
                    if (shared.nals.empty()) break;
                    nal = std::move(shared.nals.front());
                    shared.nals.pop_front();
                    shared.changed.notify_all();
                }
                uint64_t offset;
                std::memcpy(&offset, nal->data(), 8);
                decoder.decodeNal(nal->data() + 8, nal->size() - 8, offset);
            }
            decoder.flush();
            cpu[1] = threadCpuSeconds();
            std::lock_guard<std::mutex> g(shared.lock);
            shared.decoderDone[1] = true;
            shared.changed.notify_all();
        });
    });

    std::thread output([&] {
        try {
            for (;;) {
                Frame pair[2];
                bool single;
                {
                    std::unique_lock<std::mutex> g(shared.lock);
                    auto& base = shared.frames[0];
                    auto& dep = shared.frames[1];
                    bool ended = shared.decoderDone[0] && shared.decoderDone[1];
                    shared.waitFor(g, [&] {
                        ended = shared.decoderDone[0] && shared.decoderDone[1];
                        return (!base.empty() && (!dep.empty() || shared.singleView)) || ended;
                    });
                    single = shared.singleView;
                    if (base.empty() || (dep.empty() && !single)) {
                        if (!base.empty() || !dep.empty())
                            std::fprintf(stderr,
                                         "Warning: %zu base and %zu second-view pictures without partner\n",
                                         base.size(), dep.size());
                        break;
                    }
                    pair[0] = std::move(base.front());
                    base.pop_front();
                    if (!single) {
                        pair[1] = std::move(dep.front());
                        dep.pop_front();
                    }
                    shared.changed.notify_all();
                }
                if (!writer.write(pair[0]) || (!single && !writer.write(pair[1]))) {
                    shared.fail("cannot write to standard output: " + writer.error());
                    return;
                }
                ++pairs;
                reportPairs(pairs);
                std::lock_guard<std::mutex> g(shared.lock);
                for (Frame& f : pair)
                    if (f.capacity() > 0 && shared.spare.size() < 8) shared.spare.push_back(std::move(f));
            }
            cpu[2] = threadCpuSeconds();
        } catch (const Stopped&) {
        }
    });

    // The base decoder owns the pictures the second one references: it outlives that thread.
    std::unique_ptr<Decoder> baseDecoder;
    shared.runStage([&] {
        DecoderCallbacks callbacks;
        callbacks.onWarning = onWarning;
        callbacks.views = ViewSelection::BaseOnly;
        callbacks.onPicture = [&](const OutputPicture& o) { shared.pushFrame(0, o); };
        callbacks.onBasePicture = [&](int64_t accessUnit, Picture* pic) {
            std::unique_lock<std::mutex> g(shared.lock);
            shared.waitFor(g, [&] { return shared.basePictures.size() < kBasesAhead; });
            shared.basePictures[accessUnit] = pic;
            shared.changed.notify_all();
        };
        baseDecoder = std::make_unique<Decoder>(callbacks);
        Decoder& decoder = *baseDecoder;
        AnnexBReader reader(fd);
        const uint8_t* data;
        size_t size;
        uint64_t offset;
        while (reader.next(data, size, offset)) {
            auto nal = std::make_shared<Frame>(size + 8);
            std::memcpy(nal->data(), &offset, 8);
            std::memcpy(nal->data() + 8, data, size);
            {
                std::unique_lock<std::mutex> g(shared.lock);
                shared.waitFor(g, [&] { return shared.nals.size() < kNalQueue; });
                shared.nals.push_back(std::move(nal));
                shared.changed.notify_all();
            }
            decoder.decodeNal(data, size, offset);
            // A stream without a second view is written as one view.
            if (decoder.accessUnits() > 2 && !decoder.hasSecondView()) {
                std::lock_guard<std::mutex> g(shared.lock);
                if (!shared.singleView) {
                    shared.singleView = true;
                    shared.changed.notify_all();
                }
            }
        }
        {
            std::lock_guard<std::mutex> g(shared.lock);
            shared.nalsDone = true;
            shared.changed.notify_all();
        }
        decoder.flush();
        cpu[0] = threadCpuSeconds();
        std::lock_guard<std::mutex> g(shared.lock);
        if (!decoder.hasSecondView()) shared.singleView = true;
        shared.decoderDone[0] = true;
        shared.changed.notify_all();
    });
    second.join();
    output.join();
    if (shared.failed) throw std::runtime_error(shared.error);
    // How the work divides between the threads: on an idle machine the wall
    // time is bounded by the busiest thread.
    if (stats)
        std::fprintf(stderr, "viewpump: thread CPU seconds: base %.2f, second %.2f, writer %.2f\n", cpu[0],
                     cpu[1], cpu[2]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN); // a closed reader shows as a write error, not a silent death
    if (toolsupport::answersVersion(argc, argv, "viewpump")) return 0;
    std::map<std::string, std::string> params = parseJmArguments(argc, argv);
    std::string input = params["InputFile"];
    if (input.empty()) {
        std::fprintf(stderr, "ERROR: no input file (use -p InputFile=<file>)\n");
        return 1;
    }
    int fd = input == "-" ? 0 : ::open(input.c_str(), O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "ERROR: cannot open input file %s: %s\n", input.c_str(), std::strerror(errno));
        return 1;
    }
    FrameWriter writer(1);
    int64_t pairs = 0;
    try {
        if (params["Threads"] == "1")
            runOneThread(fd, writer, pairs);
        else
            runTwoThreads(fd, writer, pairs, params["Stats"] == "1");
    } catch (const UnsupportedFeature& e) {
        std::fprintf(stderr, "ERROR: unsupported stream feature: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERROR: %s\n", e.what());
        return 1;
    }
    if (fd != 0) ::close(fd);
    if (pairs == 0) {
        std::fprintf(stderr, "ERROR: no decodable H.264 pictures in %s\n", input.c_str());
        return 1;
    }
    std::fprintf(stderr, "viewpump: done, %lld frame pairs\n", static_cast<long long>(pairs));
    return 0;
}
