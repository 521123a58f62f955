// Measures CABAC context initialisation values against another decoder.
//
//   cabac_init_probe solve <stream.264> <reference.yuv> <width> <height> [known [window]]
//       The stream is a sequence of (IDR, P) picture pairs, one slice each,
//       with a constant P-slice QP; the reference is another decoder's output
//       of it (I420, decoding order). For every measured context (the list in
//       CABAC_PROBE_CONTEXTS, e.g. "227-275,399-435"; default 399-435) that
//       the P slices read, finds the initial preCtxState with which this
//       decoder reproduces the reference, and prints
//       "initType qp ctxIdx preCtxState uses". States already measured can be
//       given in that form in the file known; with a window, states measured
//       at other QPs narrow the search (needed where slices are dense).
//   cabac_init_probe fit
//       Reads such lines from standard input and prints, per context, every
//       (m, n) of 9.3.1.1 consistent with all of them: "initType ctxIdx m n".
//   cabac_init_probe check
//       Reads such lines and prints those the decoder's table disagrees with.
//
// A wrong initial state desynchronises the arithmetic decoder, so a picture
// decodes exactly like the reference only when every context its slice read
// started right. Pictures are solved smallest unknown set first; a state found
// once is fixed for the following ones. Contexts not measured come from the
// table.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Cabac.h"
#include "CabacTables.h"
#include "Decoder.h"

using namespace duoscope::h264;

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::vector<uint8_t>> splitAnnexB(const std::vector<uint8_t>& data) {
    std::vector<std::vector<uint8_t>> nals;
    size_t i = 0, start = std::string::npos;
    while (i + 3 <= data.size()) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != std::string::npos) {
                size_t end = i;
                while (end > start && data[end - 1] == 0)
                    --end;
                nals.emplace_back(data.begin() + static_cast<long>(start),
                                  data.begin() + static_cast<long>(end));
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != std::string::npos && start < data.size())
        nals.emplace_back(data.begin() + static_cast<long>(start), data.end());
    return nals;
}

// The contexts measured: CABAC_PROBE_CONTEXTS="first-last,...", default the
// 8x8 transform's 399-435; all others are taken from the table.
bool gMeasured[kCabacContexts];

void selectContexts() {
    const char* env = std::getenv("CABAC_PROBE_CONTEXTS");
    std::string spec = env ? env : "399-435";
    std::istringstream in(spec);
    std::string range;
    while (std::getline(in, range, ',')) {
        size_t dash = range.find('-');
        int a = std::stoi(range.substr(0, dash));
        int b = dash == std::string::npos ? a : std::stoi(range.substr(dash + 1));
        for (int c = std::max(a, 0); c <= std::min(b, kCabacContexts - 1); ++c)
            gMeasured[c] = true;
    }
}

struct Pair {
    const std::vector<uint8_t>* idr;
    const std::vector<uint8_t>* p;
    const uint8_t* reference; // the P picture as the other decoder made it
    std::vector<int> used;    // measured contexts the P slice read
};

class Prober {
  public:
    Prober(std::vector<std::vector<uint8_t>> nals, std::vector<uint8_t> reference, int width, int height)
        : nals_(std::move(nals)), reference_(std::move(reference)), width_(width), height_(height),
          decoder_(makeCallbacks()) {}

    int initType = -1, qp = -1;

    std::vector<Pair> pairs() {
        size_t frameSize = static_cast<size_t>(width_) * height_ * 3 / 2;
        std::vector<Pair> out;
        size_t picture = 0;
        const std::vector<uint8_t>* lastIdr = nullptr;
        for (const auto& nal : nals_) {
            int type = nal[0] & 0x1f;
            if (type == 7 || type == 8) {
                decoder_.decodeNal(nal.data(), nal.size());
                continue;
            }
            if (type != 1 && type != 5) continue;
            if ((picture + 1) * frameSize > reference_.size())
                throw std::runtime_error("reference too short");
            if (type == 5)
                lastIdr = &nal;
            else if (lastIdr)
                out.push_back({lastIdr, &nal, reference_.data() + picture * frameSize, {}});
            ++picture;
        }
        return out;
    }

    // Decodes the pair with the forced states; true if the P picture matches.
    bool trial(Pair& pair, bool recordUse = false) {
        pictures_.clear();
        try {
            decoder_.decodeNal(pair.idr->data(), pair.idr->size());
            std::fill(std::begin(cabac_probe::used), std::end(cabac_probe::used), false);
            decoder_.decodeNal(pair.p->data(), pair.p->size());
            if (recordUse) {
                initType = cabac_probe::lastInitType;
                qp = cabac_probe::lastQp;
                for (int c = 0; c < kCabacContexts; ++c)
                    if (cabac_probe::used[c] && gMeasured[c]) pair.used.push_back(c);
            }
            decoder_.flush();
        } catch (const std::exception&) {
            decoder_.flush();
            return false;
        }
        return pictures_.size() == 2 && std::equal(pictures_[1].begin(), pictures_[1].end(), pair.reference);
    }

  private:
    DecoderCallbacks makeCallbacks() {
        DecoderCallbacks cb;
        cb.onPicture = [this](const OutputPicture& out) {
            std::vector<uint8_t> bytes;
            for (int plane = 0; plane < 3; ++plane) {
                int div = plane ? 2 : 1;
                for (int y = 0; y < out.height / div; ++y) {
                    const uint8_t* row =
                        out.picture->plane[plane] +
                        static_cast<size_t>(out.cropTop / div + y) * out.picture->stride[plane] +
                        out.cropLeft / div;
                    bytes.insert(bytes.end(), row, row + out.width / div);
                }
            }
            pictures_.push_back(std::move(bytes));
        };
        cb.onWarning = [](const std::string&) {};
        return cb;
    }

    std::vector<std::vector<uint8_t>> nals_;
    std::vector<uint8_t> reference_;
    int width_, height_;
    std::vector<std::vector<uint8_t>> pictures_;
    Decoder decoder_;
};

int solve(int argc, char** argv) {
    int width = std::stoi(argv[4]), height = std::stoi(argv[5]);
    selectContexts();
    Prober prober(splitAnnexB(readFile(argv[2])), readFile(argv[3]), width, height);
    std::vector<Pair> pairs = prober.pairs();

    std::map<int, std::set<int>> candidates; // ctxIdx -> preCtxState values still possible
    std::map<int, int> uses;
    int baselinePass = 0;
    int initType = -1, qp = -1;
    for (Pair& pair : pairs) {
        baselinePass += prober.trial(pair, true);
        if (initType < 0) initType = prober.initType, qp = prober.qp;
        if (prober.initType != initType || prober.qp != qp)
            throw std::runtime_error("P slices differ in init type or QP; make one stream per QP");
    }
    for (int c = 0; c < kCabacContexts; ++c)
        for (int v = 1; gMeasured[c] && v <= 126; ++v)
            candidates[c].insert(v);
    std::fprintf(stderr, "%zu pairs, initType %d, qp %d: %d decode right with the current table\n",
                 pairs.size(), initType, qp, baselinePass);
    if (argc > 6) {
        // States measured before: at this QP (e.g. on smaller pictures) they
        // are taken as they are; with a window, the state at the nearest
        // other QP narrows the search to that many steps either side.
        int window = argc > 7 ? std::stoi(argv[7]) : 0;
        std::map<int, std::pair<int, int>> nearest; // ctx -> (QP distance, state)
        std::ifstream known(argv[6]);
        int t, q, c, pre;
        while (known >> t >> q >> c >> pre) {
            std::string rest;
            std::getline(known, rest);
            if (t != initType || c < 0 || c >= kCabacContexts || !gMeasured[c]) continue;
            if (q == qp) candidates[c] = {pre};
            int distance = std::abs(q - qp);
            if (window > 0 && q != qp && (!nearest.count(c) || distance < nearest[c].first))
                nearest[c] = {distance, pre};
        }
        for (const auto& [c, near] : nearest) {
            if (candidates[c].size() == 1) continue;
            candidates[c].clear();
            for (int v = std::max(1, near.second - window); v <= std::min(126, near.second + window); ++v)
                candidates[c].insert(v);
        }
    }

    auto assignKnown = [&] {
        for (int c = 0; c < kCabacContexts; ++c)
            if (gMeasured[c])
                cabac_probe::forcedPre[initType][c] =
                    static_cast<uint8_t>(candidates[c].size() == 1 ? *candidates[c].begin() : 0);
    };
    // Which contexts a slice reads depends on what it decoded so far, so the
    // set is taken again with every state known and widened when a trial
    // reads beyond it.
    std::vector<std::set<int>> extra(pairs.size());
    std::vector<bool> done(pairs.size(), false);
    const long kMaxTrials = 2'100'000;
    for (;;) {
        assignKnown();
        long best = -1;
        size_t bestIndex = 0;
        for (size_t i = 0; i < pairs.size(); ++i) {
            if (done[i]) continue;
            pairs[i].used.clear();
            bool pass = prober.trial(pairs[i], true);
            std::set<int> unknown;
            for (int c : pairs[i].used)
                if (candidates[c].size() > 1) unknown.insert(c);
            for (int c : extra[i])
                if (candidates[c].size() > 1) unknown.insert(c);
            if (unknown.empty()) {
                done[i] = true;
                if (!pass) std::fprintf(stderr, "pair %zu differs with every read context known\n", i);
                continue;
            }
            long product = 1;
            for (int c : unknown) {
                product *= static_cast<long>(candidates[c].size());
                if (product > kMaxTrials) break;
            }
            if (product <= kMaxTrials && (best < 0 || product < best)) best = product, bestIndex = i;
        }
        if (best < 0) break;
        Pair& pair = pairs[bestIndex];
        std::vector<int> unknown;
        for (int c : pair.used)
            if (candidates[c].size() > 1) unknown.push_back(c);
        for (int c : extra[bestIndex])
            if (candidates[c].size() > 1 && std::find(unknown.begin(), unknown.end(), c) == unknown.end())
                unknown.push_back(c);
        std::vector<std::vector<int>> values;
        for (int c : unknown)
            values.emplace_back(candidates[c].begin(), candidates[c].end());
        std::vector<std::set<int>> passing(unknown.size());
        std::vector<size_t> index(unknown.size(), 0);
        long passes = 0;
        bool widened = false;
        for (;;) {
            for (size_t k = 0; k < unknown.size(); ++k)
                cabac_probe::forcedPre[initType][unknown[k]] = static_cast<uint8_t>(values[k][index[k]]);
            Pair probe{pair.idr, pair.p, pair.reference, {}};
            bool pass = prober.trial(probe, true);
            // A wrong state sends the decoder down another path; only a path
            // that ends in the reference picture tells which contexts it reads.
            if (pass)
                for (int c : probe.used)
                    if (candidates[c].size() > 1 &&
                        std::find(unknown.begin(), unknown.end(), c) == unknown.end()) {
                        extra[bestIndex].insert(c);
                        widened = true;
                    }
            if (widened) break;
            if (pass) {
                ++passes;
                for (size_t k = 0; k < unknown.size(); ++k)
                    passing[k].insert(values[k][index[k]]);
            }
            size_t k = 0;
            while (k < index.size() && ++index[k] == values[k].size())
                index[k++] = 0;
            if (k == index.size()) break;
        }
        if (widened) {
            std::fprintf(stderr,
                         "pair %zu: reads more contexts than thought (%zu unknown, %ld combinations)\n",
                         bestIndex, unknown.size(), best);
            continue;
        }
        std::fprintf(stderr, "pair %zu: %zu unknown contexts, %ld combinations, %ld decode right\n",
                     bestIndex, unknown.size(), best, passes);
        done[bestIndex] = true;
        if (passes == 0) continue;
        for (size_t k = 0; k < unknown.size(); ++k)
            candidates[unknown[k]] = passing[k];
    }
    assignKnown();
    int finalPass = 0;
    for (Pair& pair : pairs) {
        pair.used.clear();
        finalPass += prober.trial(pair, true);
        for (int c : pair.used)
            ++uses[c];
    }
    std::fprintf(stderr, "%d of %zu pairs decode right with the measured states\n", finalPass, pairs.size());
    int unresolved = 0;
    for (const auto& [c, set] : candidates) {
        if (set.size() == 1) {
            std::printf("%d %d %d %d %d\n", initType, qp, c, *set.begin(), uses[c]);
        } else if (set.size() < 126) {
            ++unresolved;
            std::fprintf(stderr, "ctxIdx %d: %zu candidates left\n", c, set.size());
        }
    }
    return unresolved ? 3 : 0;
}

// Compares measured states ("initType qp ctxIdx preCtxState" lines) with what
// the decoder's table gives; prints every difference.
int check() {
    std::string line;
    int lines = 0, differences = 0;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        int initType, qp, ctx, pre;
        if (!(in >> initType >> qp >> ctx >> pre) || initType < 0 || initType > 3 || ctx < 0 ||
            ctx >= kCabacContexts)
            continue;
        ++lines;
        int m = kCabacInit[initType][ctx][0], n = kCabacInit[initType][ctx][1];
        int table = std::clamp(((m * qp) >> 4) + n, 1, 126);
        if (table != pre) {
            ++differences;
            std::printf("initType %d qp %d ctxIdx %d: measured %d, table (%d, %d) gives %d\n", initType, qp,
                        ctx, pre, m, n, table);
        }
    }
    std::printf("%d measured states, %d differ from the table\n", lines, differences);
    return differences ? 3 : 0;
}

int fit() {
    std::map<std::pair<int, int>, std::vector<std::pair<int, int>>> measured; // (initType, ctx) -> (qp, pre)
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        int initType, qp, ctx, pre;
        if (in >> initType >> qp >> ctx >> pre) measured[{initType, ctx}].push_back({qp, pre});
    }
    int ambiguous = 0;
    for (const auto& [key, points] : measured) {
        std::vector<std::pair<int, int>> fits;
        for (int m = -128; m <= 127; ++m)
            for (int n = -128; n <= 127; ++n) {
                bool ok = true;
                for (auto [qp, pre] : points)
                    ok = ok && std::clamp(((m * qp) >> 4) + n, 1, 126) == pre;
                if (ok) fits.push_back({m, n});
            }
        if (fits.size() == 1) {
            std::printf("%d %d %d %d\n", key.first, key.second, fits[0].first, fits[0].second);
        } else {
            ++ambiguous;
            std::printf("%d %d ambiguous:", key.first, key.second);
            for (size_t i = 0; i < fits.size() && i < 12; ++i)
                std::printf(" (%d,%d)", fits[i].first, fits[i].second);
            std::printf("%s (%zu points)\n", fits.size() > 12 ? " ..." : "", points.size());
        }
    }
    return ambiguous ? 3 : 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 6 && std::strcmp(argv[1], "solve") == 0) return solve(argc, argv);
        if (argc == 2 && std::strcmp(argv[1], "check") == 0) return check();
        if (argc == 2 && std::strcmp(argv[1], "fit") == 0) return fit();
        std::fprintf(stderr,
                     "usage: %s solve <stream.264> <reference.yuv> <width> <height> [known [window]]\n"
                     "       %s fit < measurements\n"
                     "       %s check < measurements\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cabac_init_probe: %s\n", e.what());
        return 1;
    }
}
