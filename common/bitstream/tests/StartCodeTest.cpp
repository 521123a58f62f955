#include "bitstream/StartCode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

// The vector search must agree with the byte-by-byte reference everywhere,
// including candidates at block edges, codes cut off by the end and a zero in
// front of a code that lies below the floor.
TEST(StartCode, VectorSearchAgreesWithScalarReference) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> bytes(1 + random() % 300);
        // Mostly zeros and ones so that pairs, triples and codes are everywhere.
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(random() % 4 == 0 ? 0x80 : random() % 2);
        const std::size_t from = random() % bytes.size();
        const std::size_t floor = from - random() % (from + 1) * (round % 2);
        for (std::size_t count = from; count <= bytes.size(); count += 1 + random() % 7) {
            std::size_t vectorLength = 0, scalarLength = 0;
            const std::size_t vector =
                bitstream::findStartCode(bytes.data(), from, floor, count, vectorLength);
            const std::size_t scalar =
                bitstream::findStartCodeScalar(bytes.data(), from, floor, count, scalarLength);
            ASSERT_EQ(vector, scalar) << "round " << round;
            if (scalar != bitstream::npos) {
                ASSERT_EQ(vectorLength, scalarLength) << "round " << round;
            }
        }
    }
}

TEST(StartCode, FourByteFormOnlyAboveTheFloor) {
    const std::vector<std::uint8_t> bytes{0x42, 0, 0, 0, 1, 0x65};
    std::size_t length = 0;
    EXPECT_EQ(bitstream::findStartCode(bytes.data(), 0, bytes.size(), length), 1u);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(bitstream::findStartCode(bytes.data(), 2, bytes.size(), length), 2u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(bitstream::findStartCode(bytes.data(), 2, 1, bytes.size(), length), 1u);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(bitstream::findStartCode(bytes.data(), 0, 4, length), bitstream::npos);
}

} // namespace
