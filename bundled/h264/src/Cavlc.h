// CAVLC entropy decoding (H.264 9.2): coeff_token, total_zeros and
// run_before tables and the residual_block_cavlc() parser. Tables are built
// once and read-only afterwards; the functions may run on any thread.
#pragma once

#include <cstdint>

#include "BitReader.h"

namespace duoscope::h264 {

// Reads one residual block. nC selects the coeff_token table (-1 for chroma DC
// of 4:2:0). Levels land at coeffLevel[startIdx .. endIdx] in scan order
// (entries not written stay as they were, callers pass zeroed arrays).
// Returns TotalCoeff, or -1 on a bitstream error.
int readResidualBlockCavlc(BitReader& br, int nC, int32_t* coeffLevel, int startIdx, int endIdx,
                           int maxNumCoeff);

// Table lookups, exposed for tests: return false for a code not in the table.
bool readCoeffToken(BitReader& br, int nC, int& totalCoeff, int& trailingOnes);
int readTotalZeros(BitReader& br, int totalCoeff, int maxNumCoeff);
int readRunBefore(BitReader& br, int zerosLeft);

} // namespace duoscope::h264
