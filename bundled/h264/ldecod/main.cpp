// ldecod: Duoscope's H.264 decoder with the JM reference decoder's calling
// convention: ldecod -p InputFile=<stream> -p OutputFile=<name>.yuv
// [-p DecodeAllLayers=1] [-p VerifyMd5=<list>]. Writes planar I420 in output order.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "AnnexBReader.h"
#include "Decoder.h"
#include "JmArguments.h"
#include "Md5.h"

using namespace duoscope::h264;

namespace {

struct Options {
    std::string input;
    std::string output;
    bool decodeAllLayers = false;
    std::string verifyList;
};

bool parseArguments(int argc, char** argv, Options& options, std::string& error) {
    std::map<std::string, std::string> params = parseJmArguments(argc, argv);
    options.input = params["InputFile"];
    options.output = params.count("OutputFile") ? params["OutputFile"] : "test_dec.yuv";
    options.decodeAllLayers = params["DecodeAllLayers"] == "1";
    options.verifyList = params["VerifyMd5"];
    if (options.input.empty()) {
        error = "no input file (use -p InputFile=<file>)";
        return false;
    }
    return true;
}

// JM names each view's file after the output name and the view_id: out.yuv -> out_ViewId0000.yuv.
std::string viewFileName(const std::string& output, int viewId) {
    std::string stem = output, ext;
    size_t dot = output.find_last_of('.');
    size_t slash = output.find_last_of('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        stem = output.substr(0, dot);
        ext = output.substr(dot);
    }
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_ViewId%04d", viewId);
    return stem + suffix + ext;
}

} // namespace

int main(int argc, char** argv) {
    // The engine reads frame lines from a pipe for its progress: send each at once.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    std::string error;
    if (!parseArguments(argc, argv, options, error)) {
        std::fprintf(stderr, "ERROR: %s\n", error.c_str());
        return 1;
    }
    int fd = options.input == "-" ? 0 : ::open(options.input.c_str(), O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "ERROR: cannot open input file %s: %s\n", options.input.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // One file per view_id; the base view's is created at once, so an unwritable
    // destination fails before any decoding.
    std::map<int, FILE*> outputs;
    std::string failedName;
    auto outputFor = [&](int viewId) -> FILE* {
        auto it = outputs.find(viewId);
        if (it != outputs.end()) return it->second;
        std::string name = options.decodeAllLayers ? viewFileName(options.output, viewId) : options.output;
        FILE* f = std::fopen(name.c_str(), "wb");
        if (!f) failedName = name;
        outputs[viewId] = f;
        return f;
    };
    if (!outputFor(0)) {
        std::fprintf(stderr, "ERROR: cannot create output file %s: %s\n", failedName.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::vector<std::string> expected;
    if (!options.verifyList.empty()) {
        std::ifstream list(options.verifyList);
        if (!list) {
            std::fprintf(stderr, "ERROR: cannot read MD5 list %s\n", options.verifyList.c_str());
            return 1;
        }
        std::string line;
        while (std::getline(list, line)) {
            // Accepts plain lists and ffmpeg framemd5 lines (hash last).
            if (line.empty() || line[0] == '#') continue;
            size_t pos = line.find_last_of(", \t");
            std::string hash = pos == std::string::npos ? line : line.substr(pos + 1);
            if (hash.size() == 32) expected.push_back(hash);
        }
    }

    int64_t outputCount = 0;
    int64_t verifiedCount = 0; // base-view frames compared with the MD5 list
    int64_t mismatches = 0;
    int64_t firstMismatch = -1;
    bool writeFailed = false;
    std::vector<uint8_t> frame;
    DecoderCallbacks callbacks;
    callbacks.onWarning = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    // The same line as viewpump's: the engine counts damaged pictures by it.
    callbacks.onConcealed = [](int view, int64_t accessUnit) {
        std::fprintf(stderr, "viewpump: concealed picture of view %d in access unit %lld\n", view,
                     static_cast<long long>(accessUnit));
    };
    callbacks.views = options.decodeAllLayers ? ViewSelection::All : ViewSelection::BaseOnly;
    callbacks.onPicture = [&](const OutputPicture& o) {
        FILE* out = outputFor(options.decodeAllLayers ? o.viewId : 0);
        if (!out) {
            writeFailed = true;
            return;
        }
        const Picture& p = *o.picture;
        if (expected.empty() && o.cropLeft == 0 && o.width == p.stride[0]) {
            // Visible rows are contiguous in each plane: no copy needed.
            for (int c = 0; c < 3; ++c) {
                int sub = c ? 2 : 1;
                size_t bytes = static_cast<size_t>(o.width / sub) * (o.height / sub);
                if (std::fwrite(p.plane[c] + (o.cropTop / sub) * p.stride[c], 1, bytes, out) != bytes)
                    writeFailed = true;
            }
        } else {
            copyVisible(o, frame);
            if (std::fwrite(frame.data(), 1, frame.size(), out) != frame.size()) writeFailed = true;
        }
        if (!expected.empty() && o.picture->viewIndex == 0) {
            Md5 md5;
            md5.update(frame.data(), frame.size());
            bool ok = verifiedCount < static_cast<int64_t>(expected.size()) &&
                      md5.hex() == expected[static_cast<size_t>(verifiedCount)];
            if (!ok) {
                ++mismatches;
                if (firstMismatch < 0) firstMismatch = verifiedCount;
            }
            ++verifiedCount;
        }
        std::printf("%05lld (view %d, POC %d)\n", static_cast<long long>(outputCount), o.viewId,
                    o.picture->poc);
        ++outputCount;
    };

    auto started = std::chrono::steady_clock::now();
    int status = 0;
    try {
        Decoder decoder(callbacks);
        AnnexBReader reader(fd);
        const uint8_t* data;
        size_t size;
        uint64_t offset;
        while (reader.next(data, size, offset)) {
            decoder.decodeNal(data, size, offset);
            if (writeFailed) break;
        }
        decoder.flush();
        if (reader.oversizedCount() > 0)
            std::fprintf(stderr, "Warning: %llu oversized NAL unit(s) skipped\n",
                         static_cast<unsigned long long>(reader.oversizedCount()));
    } catch (const UnsupportedFeature& e) {
        std::fprintf(stderr, "ERROR: unsupported stream feature: %s\n", e.what());
        status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERROR: %s\n", e.what());
        status = 1;
    }
    if (fd != 0) ::close(fd);
    for (auto& [viewId, f] : outputs)
        if (!f || std::fclose(f) != 0) writeFailed = true;
    if (writeFailed) {
        std::fprintf(stderr, "ERROR: cannot write output file %s\n",
                     failedName.empty() ? options.output.c_str() : failedName.c_str());
        status = 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%lld frames are decoded.\n", static_cast<long long>(outputCount));
    std::printf("Total decoding time : %.3f sec (%.2f fps)\n", seconds,
                seconds > 0 ? outputCount / seconds : 0.0);
    std::fflush(stdout);
    if (status == 0 && outputCount == 0) {
        // An empty result is never what the caller wanted: a wrong file or a stream without pictures.
        std::fprintf(stderr, "ERROR: no decodable H.264 pictures in %s\n", options.input.c_str());
        return 1;
    }
    if (status == 0 && !expected.empty()) {
        if (mismatches > 0 || verifiedCount != static_cast<int64_t>(expected.size())) {
            std::fprintf(stderr,
                         "ERROR: MD5 verification failed: %lld of %lld frames differ (first at frame %lld), "
                         "%zu expected\n",
                         static_cast<long long>(mismatches), static_cast<long long>(verifiedCount),
                         static_cast<long long>(firstMismatch), expected.size());
            return 1;
        }
        std::fprintf(stderr, "MD5 verification passed: %lld frames\n", static_cast<long long>(verifiedCount));
    }
    return status;
}
