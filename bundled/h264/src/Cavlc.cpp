#include "Cavlc.h"

#include <cstring>

namespace duoscope::h264 {

namespace {

// A prefix code where every codeword is some zeros, a one and at most 4 more
// bits: indexed by [leading zeros][next 4 bits].
struct Vlc {
    struct Entry {
        uint8_t length; // 0 = no such code
        uint8_t value;
    };
    Entry entries[16][16];

    void add(int length, unsigned code, int value) {
        int significant = 32 - __builtin_clz(code);
        int zeros = length - significant;
        int suffixBits = significant - 1;
        unsigned suffix = code & ((1u << suffixBits) - 1);
        int freeBits = 4 - suffixBits;
        for (unsigned fill = 0; fill < (1u << freeBits); ++fill)
            entries[zeros][(suffix << freeBits) | fill] = {static_cast<uint8_t>(length),
                                                           static_cast<uint8_t>(value)};
    }

    // Returns the value, or -1 for an invalid code.
    int read(BitReader& br) const {
        uint32_t bits = br.peek(32);
        if (bits == 0) return -1;
        int zeros = __builtin_clz(bits);
        if (zeros > 15) return -1;
        unsigned next = static_cast<unsigned>((static_cast<uint64_t>(bits) << (zeros + 1)) >> 28) & 15;
        const Entry& e = entries[zeros][next];
        if (e.length == 0) return -1;
        br.skip(e.length);
        return e.value;
    }
};

// Table 9-5, per nC class: code length and value for [TotalCoeff][TrailingOnes].
constexpr uint8_t kTokenLen[4][17][4] = {
    {{1, 0, 0, 0},
     {6, 2, 0, 0},
     {8, 6, 3, 0},
     {9, 8, 7, 5},
     {10, 9, 8, 6},
     {11, 10, 9, 7},
     {13, 11, 10, 8},
     {13, 13, 11, 9},
     {13, 13, 13, 10},
     {14, 14, 13, 11},
     {14, 14, 14, 13},
     {15, 15, 14, 14},
     {15, 15, 15, 14},
     {16, 15, 15, 15},
     {16, 16, 16, 15},
     {16, 16, 16, 16},
     {16, 16, 16, 16}},
    {{2, 0, 0, 0},
     {6, 2, 0, 0},
     {6, 5, 3, 0},
     {7, 6, 6, 4},
     {8, 6, 6, 4},
     {8, 7, 7, 5},
     {9, 8, 8, 6},
     {11, 9, 9, 6},
     {11, 11, 11, 7},
     {12, 11, 11, 9},
     {12, 12, 12, 11},
     {12, 12, 12, 11},
     {13, 13, 13, 12},
     {13, 13, 13, 13},
     {13, 14, 13, 13},
     {14, 14, 14, 13},
     {14, 14, 14, 14}},
    {{4, 0, 0, 0},
     {6, 4, 0, 0},
     {6, 5, 4, 0},
     {6, 5, 5, 4},
     {7, 5, 5, 4},
     {7, 5, 5, 4},
     {7, 6, 6, 4},
     {7, 6, 6, 4},
     {8, 7, 7, 5},
     {8, 8, 7, 6},
     {9, 8, 8, 7},
     {9, 9, 8, 8},
     {9, 9, 9, 8},
     {10, 9, 9, 9},
     {10, 10, 10, 10},
     {10, 10, 10, 10},
     {10, 10, 10, 10}},
    {{2, 0, 0, 0}, {6, 1, 0, 0}, {6, 6, 3, 0}, {6, 7, 7, 6}, {6, 8, 8, 7}},
};
constexpr uint8_t kTokenCode[4][17][4] = {
    {{1, 0, 0, 0},
     {5, 1, 0, 0},
     {7, 4, 1, 0},
     {7, 6, 5, 3},
     {7, 6, 5, 3},
     {7, 6, 5, 4},
     {15, 6, 5, 4},
     {11, 14, 5, 4},
     {8, 10, 13, 4},
     {15, 14, 9, 4},
     {11, 10, 13, 12},
     {15, 14, 9, 12},
     {11, 10, 13, 8},
     {15, 1, 9, 12},
     {11, 14, 13, 8},
     {7, 10, 9, 12},
     {4, 6, 5, 8}},
    {{3, 0, 0, 0},
     {11, 2, 0, 0},
     {7, 7, 3, 0},
     {7, 10, 9, 5},
     {7, 6, 5, 4},
     {4, 6, 5, 6},
     {7, 6, 5, 8},
     {15, 6, 5, 4},
     {11, 14, 13, 4},
     {15, 10, 9, 4},
     {11, 14, 13, 12},
     {8, 10, 9, 8},
     {15, 14, 13, 12},
     {11, 10, 9, 12},
     {7, 11, 6, 8},
     {9, 8, 10, 1},
     {7, 6, 5, 4}},
    {{15, 0, 0, 0},
     {15, 14, 0, 0},
     {11, 15, 13, 0},
     {8, 12, 14, 12},
     {15, 10, 11, 11},
     {11, 8, 9, 10},
     {9, 14, 13, 9},
     {8, 10, 9, 8},
     {15, 14, 13, 13},
     {11, 14, 10, 12},
     {15, 10, 13, 12},
     {11, 14, 9, 12},
     {8, 10, 13, 8},
     {13, 7, 9, 12},
     {9, 12, 11, 10},
     {5, 8, 7, 6},
     {1, 4, 3, 2}},
    {{1, 0, 0, 0}, {7, 1, 0, 0}, {4, 6, 1, 0}, {3, 3, 2, 5}, {2, 3, 2, 0}},
};

// Table 9-7/9-8 (4x4 blocks, tzVlcIndex 1..15) and 9-9a (chroma DC 2x2).
constexpr uint8_t kTotalZerosLen[15][16] = {{1, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 9},
                                            {3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 6, 6, 6, 6},
                                            {4, 3, 3, 3, 4, 4, 3, 3, 4, 5, 5, 6, 5, 6},
                                            {5, 3, 4, 4, 3, 3, 3, 4, 3, 4, 5, 5, 5},
                                            {4, 4, 4, 3, 3, 3, 3, 3, 4, 5, 4, 5},
                                            {6, 5, 3, 3, 3, 3, 3, 3, 4, 3, 6},
                                            {6, 5, 3, 3, 3, 2, 3, 4, 3, 6},
                                            {6, 4, 5, 3, 2, 2, 3, 3, 6},
                                            {6, 6, 4, 2, 2, 3, 2, 5},
                                            {5, 5, 3, 2, 2, 2, 4},
                                            {4, 4, 3, 3, 1, 3},
                                            {4, 4, 2, 1, 3},
                                            {3, 3, 1, 2},
                                            {2, 2, 1},
                                            {1, 1}};
constexpr uint8_t kTotalZerosCode[15][16] = {{1, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 1},
                                             {7, 6, 5, 4, 3, 5, 4, 3, 2, 3, 2, 3, 2, 1, 0},
                                             {5, 7, 6, 5, 4, 3, 4, 3, 2, 3, 2, 1, 1, 0},
                                             {3, 7, 5, 4, 6, 5, 4, 3, 3, 2, 2, 1, 0},
                                             {5, 4, 3, 7, 6, 5, 4, 3, 2, 1, 1, 0},
                                             {1, 1, 7, 6, 5, 4, 3, 2, 1, 1, 0},
                                             {1, 1, 5, 4, 3, 3, 2, 1, 1, 0},
                                             {1, 1, 1, 3, 3, 2, 2, 1, 0},
                                             {1, 0, 1, 3, 2, 1, 1, 1},
                                             {1, 0, 1, 3, 2, 1, 1},
                                             {0, 1, 1, 2, 1, 3},
                                             {0, 1, 1, 1, 1},
                                             {0, 1, 1, 1},
                                             {0, 1, 1},
                                             {0, 1}};
constexpr uint8_t kTotalZerosDcLen[3][4] = {{1, 2, 3, 3}, {1, 2, 2}, {1, 1}};
constexpr uint8_t kTotalZerosDcCode[3][4] = {{1, 1, 1, 0}, {1, 1, 0}, {1, 0}};

// Table 9-10, zerosLeft 1..6 and >6.
constexpr uint8_t kRunLen[7][15] = {{1, 1},
                                    {1, 2, 2},
                                    {2, 2, 2, 2},
                                    {2, 2, 2, 3, 3},
                                    {2, 2, 3, 3, 3, 3},
                                    {2, 3, 3, 3, 3, 3, 3},
                                    {3, 3, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
constexpr uint8_t kRunCode[7][15] = {{1, 0},
                                     {1, 1, 0},
                                     {3, 2, 1, 0},
                                     {3, 2, 1, 1, 0},
                                     {3, 2, 3, 2, 1, 0},
                                     {3, 0, 1, 3, 2, 5, 4},
                                     {7, 6, 5, 4, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1}};

// Codes made only of zeros (total_zeros "0000" style) cannot use the
// zeros/one layout; they are handled by an explicit all-zero entry.
struct VlcWithZero {
    Vlc vlc{};
    int zeroLength = 0; // length of an all-zero codeword, 0 if none
    int zeroValue = 0;
    void add(int length, unsigned code, int value) {
        if (code == 0) {
            zeroLength = length;
            zeroValue = value;
        } else {
            vlc.add(length, code, value);
        }
    }
    int read(BitReader& br) const {
        if (zeroLength && br.peek(zeroLength) == 0) {
            br.skip(zeroLength);
            return zeroValue;
        }
        return vlc.read(br);
    }
};

struct Tables {
    VlcWithZero coeffToken[4]{};
    VlcWithZero totalZeros[15]{};
    VlcWithZero totalZerosDc[3]{};
    VlcWithZero runBefore[7]{};

    Tables() {
        for (int t = 0; t < 4; ++t)
            for (int tc = 0; tc <= (t == 3 ? 4 : 16); ++tc)
                for (int t1 = 0; t1 <= 3 && t1 <= tc; ++t1)
                    coeffToken[t].add(kTokenLen[t][tc][t1], kTokenCode[t][tc][t1], tc * 4 + t1);
        for (int i = 0; i < 15; ++i)
            for (int z = 0; z <= 15 - i; ++z)
                totalZeros[i].add(kTotalZerosLen[i][z], kTotalZerosCode[i][z], z);
        for (int i = 0; i < 3; ++i)
            for (int z = 0; z <= 3 - i; ++z)
                totalZerosDc[i].add(kTotalZerosDcLen[i][z], kTotalZerosDcCode[i][z], z);
        for (int i = 0; i < 7; ++i)
            for (int r = 0; r <= (i == 6 ? 14 : i + 1); ++r)
                runBefore[i].add(kRunLen[i][r], kRunCode[i][r], r);
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

} // namespace

bool readCoeffToken(BitReader& br, int nC, int& totalCoeff, int& trailingOnes) {
    int v;
    if (nC >= 8) {
        uint32_t bits = br.u(6);
        if (bits == 3) {
            totalCoeff = trailingOnes = 0;
            return true;
        }
        totalCoeff = static_cast<int>(bits >> 2) + 1;
        trailingOnes = static_cast<int>(bits & 3);
        return trailingOnes <= totalCoeff;
    }
    int table = nC < 0 ? 3 : nC < 2 ? 0 : nC < 4 ? 1 : 2;
    v = tables().coeffToken[table].read(br);
    if (v < 0) return false;
    totalCoeff = v >> 2;
    trailingOnes = v & 3;
    return true;
}

int readTotalZeros(BitReader& br, int totalCoeff, int maxNumCoeff) {
    if (maxNumCoeff == 4) return tables().totalZerosDc[totalCoeff - 1].read(br);
    return tables().totalZeros[totalCoeff - 1].read(br);
}

int readRunBefore(BitReader& br, int zerosLeft) {
    return tables().runBefore[zerosLeft > 6 ? 6 : zerosLeft - 1].read(br);
}

int readResidualBlockCavlc(BitReader& br, int nC, int32_t* coeffLevel, int startIdx, int endIdx,
                           int maxNumCoeff) {
    int totalCoeff, trailingOnes;
    if (!readCoeffToken(br, nC, totalCoeff, trailingOnes)) return -1;
    if (totalCoeff == 0) return 0;
    if (totalCoeff > maxNumCoeff) return -1;
    int32_t level[16];
    int suffixLength = totalCoeff > 10 && trailingOnes < 3 ? 1 : 0;
    for (int i = 0; i < totalCoeff; ++i) {
        if (i < trailingOnes) {
            level[i] = br.u(1) ? -1 : 1;
            continue;
        }
        uint32_t bits = br.peek(32);
        if (bits == 0) return -1;
        int prefix = __builtin_clz(bits);
        br.skip(prefix + 1);
        int levelCode = (prefix < 15 ? prefix : 15) << suffixLength;
        int suffixSize = prefix == 14 && suffixLength == 0 ? 4 : prefix >= 15 ? prefix - 3 : suffixLength;
        if (suffixSize > 0) {
            if (suffixSize > 16) return -1; // beyond 8-bit level ranges
            levelCode += static_cast<int>(br.u(suffixSize));
        }
        if (prefix >= 15 && suffixLength == 0) levelCode += 15;
        if (prefix >= 16) levelCode += (1 << (prefix - 3)) - 4096;
        if (i == trailingOnes && trailingOnes < 3) levelCode += 2;
        level[i] = (levelCode & 1) == 0 ? (levelCode + 2) >> 1 : (-levelCode - 1) >> 1;
        if (suffixLength == 0) suffixLength = 1;
        int absLevel = level[i] < 0 ? -level[i] : level[i];
        if (absLevel > (3 << (suffixLength - 1)) && suffixLength < 6) ++suffixLength;
    }
    int zerosLeft = 0;
    if (totalCoeff < endIdx - startIdx + 1) {
        zerosLeft = readTotalZeros(br, totalCoeff, maxNumCoeff);
        if (zerosLeft < 0) return -1;
    }
    if (zerosLeft + totalCoeff > endIdx - startIdx + 1) return -1;
    int coeffNum = -1;
    int runs[16];
    for (int i = 0; i < totalCoeff - 1; ++i) {
        int run = 0;
        if (zerosLeft > 0) {
            run = readRunBefore(br, zerosLeft);
            if (run < 0 || run > zerosLeft) return -1;
        }
        runs[i] = run;
        zerosLeft -= run;
    }
    runs[totalCoeff - 1] = zerosLeft;
    for (int i = totalCoeff - 1; i >= 0; --i) {
        coeffNum += runs[i] + 1;
        coeffLevel[startIdx + coeffNum] = level[i];
    }
    return br.hasError() ? -1 : totalCoeff;
}

} // namespace duoscope::h264
