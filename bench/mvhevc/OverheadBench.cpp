// Measures what layerforge adds around the two x265 encodes: splitting side-by-side frames,
// rewriting the right eye into layer 1 and muxing. Runs layerforge's frame loop on a raw
// side-by-side I420 file with timers around each step.
//   mvhevc_overhead_bench <sbs.yuv> <width per eye> <height> <output.mov> [<quality>]
// (the input may be /dev/stdin).
#include "media/hevc/StereoMovie.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace hevc = media::hevc;

namespace {

double threadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double processCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s <sbs.yuv> <width per eye> <height> <output.mov> [<quality>]\n",
                     argv[0]);
        return 1;
    }
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
    std::ifstream in(argv[1], std::ios::binary);
    hevc::EncoderSettings s;
    s.width = w;
    s.height = h;
    s.fpsNum = 24000;
    s.fpsDen = 1001;
    if (argc == 6) s.quality = std::atof(argv[5]); // the speed preset follows, as in layerforge
    hevc::StereoEncoder enc(s);
    hevc::StereoMovieWriter writer(argv[4], enc);
    const size_t frameBytes = size_t(2 * w) * h * 3 / 2, eyeY = size_t(w) * h, eyeC = eyeY / 4;
    std::vector<uint8_t> frame(frameBytes), left(eyeY + 2 * eyeC), right(eyeY + 2 * eyeC);
    std::vector<hevc::StereoAccessUnit> ready;
    double splitCpu = 0, muxCpu = 0, planCpu = 0, readWall = 0;
    const double t0 = now(), c0 = processCpu();
    int64_t n = 0;
    auto mux = [&] {
        const double c = threadCpu();
        for (auto& au : ready)
            writer.addAccessUnit(au);
        ready.clear();
        muxCpu += threadCpu() - c;
    };
    for (;; ++n) {
        const double r0 = now();
        if (!in.read(reinterpret_cast<char*>(frame.data()), std::streamsize(frameBytes))) break;
        readWall += now() - r0;
        const double c = threadCpu();
        auto split = [&](size_t src, size_t dst, size_t rows, size_t row) {
            for (size_t y = 0; y < rows; ++y) {
                std::memcpy(left.data() + dst + y * row, frame.data() + src + 2 * y * row, row);
                std::memcpy(right.data() + dst + y * row, frame.data() + src + 2 * y * row + row, row);
            }
        };
        split(0, 0, size_t(h), size_t(w));
        split(2 * eyeY, eyeY, size_t(h / 2), size_t(w / 2));
        split(2 * eyeY + 2 * eyeC, eyeY + eyeC, size_t(h / 2), size_t(w / 2));
        splitCpu += threadCpu() - c;
        hevc::PlanarPicture l, r;
        for (int i = 0; i < 3; ++i) {
            const size_t off = i == 0 ? 0 : eyeY + size_t(i - 1) * eyeC;
            l.planes[i] = left.data() + off;
            r.planes[i] = right.data() + off;
            l.strides[i] = r.strides[i] = i ? w / 2 : w;
        }
        // The caller's thread only plans picture types (scene cuts) and hands the pictures over;
        // its CPU time in encode() is that work, waiting for the encoders costs none.
        const double e0 = threadCpu();
        enc.encode(l, r, n, ready);
        planCpu += threadCpu() - e0;
        mux();
    }
    enc.flush(ready);
    mux();
    const double c = threadCpu();
    writer.finish();
    muxCpu += threadCpu() - c;
    const double wall = now() - t0, cpu = processCpu() - c0;
    std::printf("frames                 %lld\n", static_cast<long long>(n));
    std::printf("wall                   %.2f s (%.2f fps), of which reading input %.2f s\n", wall,
                double(n) / wall, readWall);
    std::printf("process CPU            %.2f s\n", cpu);
    std::printf("split CPU              %.3f s\n", splitCpu);
    std::printf("rewrite+mux CPU        %.3f s\n", muxCpu);
    std::printf("plan+hand-over CPU     %.3f s\n", planCpu);
    const double own = splitCpu + muxCpu + planCpu;
    std::printf("own work / CPU         %.2f %%\n", 100.0 * own / cpu);
    std::printf("own work / wall        %.2f %%\n", 100.0 * own / wall);
    return 0;
}
