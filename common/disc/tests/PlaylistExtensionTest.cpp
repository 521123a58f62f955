#include "disc/PlaylistExtension.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Playlists written field by field, as an authoring tool lays them out: header,
// PlayList() with its play-items, then ExtensionData() holding entry 2/2.
struct Bytes {
    std::vector<uint8_t> data;
    void put(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i)
            data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void text(const std::string& value) { data.insert(data.end(), value.begin(), value.end()); }
    void set(size_t at, uint32_t value, int count) {
        for (int i = 0; i < count; ++i)
            data[at + i] = static_cast<uint8_t>(value >> (8 * (count - 1 - i)));
    }
};

struct Item {
    std::string clip;
    unsigned connection;
    uint32_t in, out;
};

std::vector<uint8_t> playlist(const std::vector<Item>& items,
                              const std::vector<std::pair<int, std::vector<Item>>>& subPaths,
                              bool withExtension = true) {
    Bytes b;
    b.text("MPLS0200");
    b.put(0, 4); // PlayList_start_address, set below
    b.put(0, 4); // PlayListMark_start_address
    b.put(0, 4); // ExtensionData_start_address
    b.data.resize(b.data.size() + 20);
    b.put(14, 4); // AppInfoPlayList(): length and its body
    b.data.resize(b.data.size() + 14);
    b.set(8, static_cast<uint32_t>(b.data.size()), 4);
    size_t listStart = b.data.size();
    b.put(0, 4);
    b.put(0, 2);
    b.put(static_cast<uint32_t>(items.size()), 2);
    b.put(0, 2);
    for (const Item& item : items) {
        b.put(20 + 2, 2); // play-item length: the fields below plus a stand-in for the stream table
        b.text(item.clip);
        b.text("M2TS");
        b.put(item.connection & 0xF, 2);
        b.put(0, 1);
        b.put(item.in, 4);
        b.put(item.out, 4);
        b.put(0xABCD, 2);
    }
    b.set(listStart, static_cast<uint32_t>(b.data.size() - listStart - 4), 4);
    if (!withExtension) return b.data;

    b.set(16, static_cast<uint32_t>(b.data.size()), 4);
    size_t extStart = b.data.size();
    b.put(0, 4); // length
    b.put(0, 4); // data_block_start_address
    b.put(0, 3);
    b.put(2, 1); // two entries: one the reader must pass over, then 2/2
    b.put(1, 2), b.put(1, 2), b.put(0, 4), b.put(0, 4);
    size_t entry = b.data.size();
    b.put(2, 2), b.put(2, 2), b.put(0, 4), b.put(0, 4);
    size_t entryStart = b.data.size();
    b.put(0, 4);
    b.put(static_cast<uint32_t>(subPaths.size()), 2);
    for (const auto& [type, subItems] : subPaths) {
        size_t pathStart = b.data.size();
        b.put(0, 4);
        b.put(0, 1);
        b.put(static_cast<uint32_t>(type), 1);
        b.put(0, 2);
        b.put(0, 1);
        b.put(static_cast<uint32_t>(subItems.size()), 1);
        for (const Item& item : subItems) {
            b.put(28, 2);
            b.text(item.clip);
            b.text("M2TS");
            b.put((item.connection & 0xF) << 1, 4);
            b.put(0, 1);
            b.put(item.in, 4);
            b.put(item.out, 4);
            b.put(0, 2); // sync_PlayItem_id
            b.put(0, 4); // sync_start_PTS
        }
        b.set(pathStart, static_cast<uint32_t>(b.data.size() - pathStart - 4), 4);
    }
    b.set(entryStart, static_cast<uint32_t>(b.data.size() - entryStart - 4), 4);
    b.set(entry + 4, static_cast<uint32_t>(entryStart - extStart), 4);
    b.set(entry + 8, static_cast<uint32_t>(b.data.size() - entryStart), 4);
    b.set(extStart, static_cast<uint32_t>(b.data.size() - extStart - 4), 4);
    return b.data;
}

const std::vector<Item> kItems = {
    {"00001", 1, 1000, 2000}, {"00002", 5, 2000, 3000}, {"00003", 6, 3000, 4000}};
const std::vector<Item> kDependent = {
    {"00011", 1, 1000, 2000}, {"00012", 5, 2000, 3000}, {"00013", 6, 3000, 4000}};

TEST(PlaylistExtension, ReadsPlayItemsAndTheDependentViewAmongOtherSubPaths) {
    auto bytes = playlist(kItems, {{3, {{"00099", 1, 0, 1}}}, {8, kDependent}});
    disc::PlaylistFacts facts = disc::parsePlaylist(bytes);
    ASSERT_EQ(facts.playItems.size(), 3u);
    ASSERT_TRUE(facts.hasDependentView());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(facts.playItems[i].clipName, kItems[i].clip);
        EXPECT_EQ(facts.playItems[i].connectionCondition, kItems[i].connection);
        EXPECT_EQ(facts.playItems[i].inTime, kItems[i].in);
        EXPECT_EQ(facts.playItems[i].outTime, kItems[i].out);
        EXPECT_EQ(facts.dependentClips[i].clipName, kDependent[i].clip);
        EXPECT_EQ(facts.dependentClips[i].connectionCondition, kDependent[i].connection);
    }
}

TEST(PlaylistExtension, A2DPlaylistHasNoDependentView) {
    EXPECT_FALSE(disc::parsePlaylist(playlist(kItems, {}, false)).hasDependentView());
    EXPECT_FALSE(disc::parsePlaylist(playlist(kItems, {{3, kDependent}})).hasDependentView());
}

// Every cut and every lying length is an error, never a read past the end.
TEST(PlaylistExtension, TruncatedOrLyingPlaylistsAreErrors) {
    auto good = playlist(kItems, {{8, kDependent}});
    for (size_t size = 0; size < good.size(); ++size) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(size));
        try {
            disc::parsePlaylist(cut);
        } catch (const disc::PlaylistError&) {
        }
    }
    auto find = [&](const std::string& text) {
        return static_cast<size_t>(std::search(good.begin(), good.end(), text.begin(), text.end()) -
                                   good.begin());
    };
    for (size_t lengthAt : {find("00013M2TS") - 2, find("00001M2TS") - 2}) {
        auto lying = good;
        lying[lengthAt] = 0xFF;
        EXPECT_THROW(disc::parsePlaylist(lying), disc::PlaylistError) << lengthAt;
    }
    auto badMagic = good;
    badMagic[0] = 'X';
    EXPECT_THROW(disc::parsePlaylist(badMagic), disc::PlaylistError);
    auto badCodec = good;
    badCodec[find("00013M2TS") + 5] = 'X';
    EXPECT_THROW(disc::parsePlaylist(badCodec), disc::PlaylistError);
    auto badExtension = good;
    badExtension[16] = 0x7F; // ExtensionData_start_address far past the end
    EXPECT_THROW(disc::parsePlaylist(badExtension), disc::PlaylistError);

    EXPECT_THROW(disc::parsePlaylist(playlist(kItems, {{8, {kDependent[0]}}})), disc::PlaylistError);
}

} // namespace
