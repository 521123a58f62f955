#include "PlaylistExtension.h"

#include <string_view>

namespace disc {

namespace {

// The SubPath_type of the MVC dependent view (Blu-ray 3D).
constexpr unsigned kDependentViewSubPath = 8;

// Big-endian reads inside [begin, end) of the file; every read is checked.
class Cursor {
  public:
    Cursor(std::span<const uint8_t> bytes, size_t begin, size_t end, std::string_view what)
        : bytes_(bytes), position_(begin), end_(end), what_(what) {
        if (begin > end || end > bytes.size())
            fail("runs past the end of the playlist (" + std::to_string(end) + " > " +
                 std::to_string(bytes.size()) + ")");
    }
    uint32_t read(unsigned count, std::string_view field) {
        need(count, field);
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i)
            value = (value << 8) | bytes_[position_ + i];
        position_ += count;
        return value;
    }
    std::string text(unsigned count, std::string_view field) {
        need(count, field);
        std::string value(reinterpret_cast<const char*>(bytes_.data() + position_), count);
        position_ += count;
        return value;
    }
    void skip(size_t count, std::string_view field) {
        need(count, field);
        position_ += count;
    }
    // A child structure: a length field of lengthBytes, then that many bytes.
    Cursor child(unsigned lengthBytes, std::string_view what) {
        size_t at = position_;
        uint32_t length = read(lengthBytes, std::string(what) + " length");
        if (length > end_ - position_)
            fail(std::string(what) + " at byte " + std::to_string(at) + " claims " + std::to_string(length) +
                 " bytes, only " + std::to_string(end_ - position_) + " remain");
        Cursor inner(bytes_, position_, position_ + length, what);
        position_ += length;
        return inner;
    }
    size_t position() const { return position_; }
    [[noreturn]] void fail(const std::string& message) const {
        throw PlaylistError("playlist: " + std::string(what_) + ": " + message);
    }

  private:
    void need(size_t count, std::string_view field) const {
        if (count > end_ - position_)
            fail(std::string(field) + " at byte " + std::to_string(position_) + " is cut short");
    }
    std::span<const uint8_t> bytes_;
    size_t position_;
    size_t end_;
    std::string_view what_;
};

std::string clipName(Cursor& item) {
    std::string name = item.text(5, "clip name");
    std::string codec = item.text(4, "clip codec");
    for (char c : name)
        if (c < '0' || c > '9') item.fail("clip name \"" + name + "\" is not five digits");
    if (codec != "M2TS") item.fail("clip " + name + " has codec \"" + codec + "\", not M2TS");
    return name;
}

// PlayItem(): only its first fields; angles and stream tables are libbluray's.
PlaylistItem playItem(Cursor item) {
    PlaylistItem result;
    result.clipName = clipName(item);
    uint32_t flags = item.read(2, "play-item flags");
    result.connectionCondition = flags & 0xF;
    item.skip(1, "ref_to_STC_id");
    result.inTime = item.read(4, "IN_time");
    result.outTime = item.read(4, "OUT_time");
    return result;
}

PlaylistItem subPlayItem(Cursor item) {
    PlaylistItem result;
    result.clipName = clipName(item);
    uint32_t flags = item.read(4, "sub-play-item flags");
    result.connectionCondition = (flags >> 1) & 0xF;
    item.skip(1, "ref_to_STC_id");
    result.inTime = item.read(4, "IN_time");
    result.outTime = item.read(4, "OUT_time");
    return result;
}

// SubPath(): its type, and its items when it is the dependent view.
std::vector<PlaylistItem> subPath(Cursor path, bool& isDependentView) {
    path.skip(1, "reserved");
    isDependentView = path.read(1, "SubPath_type") == kDependentViewSubPath;
    path.skip(3, "reserved");
    unsigned count = path.read(1, "number_of_SubPlayItems");
    std::vector<PlaylistItem> items;
    if (!isDependentView) return items;
    for (unsigned i = 0; i < count; ++i)
        items.push_back(subPlayItem(path.child(2, "sub-play-item")));
    return items;
}

// ExtensionData(): the entry ID1=2, ID2=2 holds the sub-paths a 2D player
// must not see, the MVC dependent view among them.
std::vector<PlaylistItem> dependentViewClips(std::span<const uint8_t> bytes, size_t start) {
    Cursor header(bytes, start, bytes.size(), "extension data");
    uint32_t length = header.read(4, "length");
    if (length == 0) return {};
    if (length > bytes.size() - header.position())
        header.fail("claims " + std::to_string(length) + " bytes, only " +
                    std::to_string(bytes.size() - header.position()) + " remain");
    size_t end = header.position() + length;
    Cursor data(bytes, header.position(), end, "extension data");
    data.skip(4, "data_block_start_address");
    data.skip(3, "reserved");
    unsigned entries = data.read(1, "number_of_ext_data_entries");
    for (unsigned i = 0; i < entries; ++i) {
        uint32_t id1 = data.read(2, "ID1");
        uint32_t id2 = data.read(2, "ID2");
        uint32_t address = data.read(4, "ext_data_start_address");
        uint32_t entryLength = data.read(4, "ext_data_length");
        if (id1 != 2 || id2 != 2) continue;
        // Addresses count from the extension data's length field.
        if (address > end - start || entryLength > end - start - address)
            data.fail("entry 2/2 at " + std::to_string(address) + " (" + std::to_string(entryLength) +
                      " bytes) lies outside the extension data");
        Cursor entry(bytes, start + address, start + address + entryLength, "sub-path extension");
        Cursor paths = entry.child(4, "sub-path extension");
        unsigned count = paths.read(2, "number_of_SubPath_extensions");
        for (unsigned j = 0; j < count; ++j) {
            bool isDependentView = false;
            auto items = subPath(paths.child(4, "sub-path"), isDependentView);
            if (isDependentView) return items;
        }
    }
    return {};
}

} // namespace

PlaylistFacts parsePlaylist(std::span<const uint8_t> bytes) {
    Cursor header(bytes, 0, bytes.size(), "header");
    if (header.text(4, "type_indicator") != "MPLS") header.fail("not a playlist (no \"MPLS\" at byte 0)");
    header.skip(4, "version_number");
    uint32_t playListStart = header.read(4, "PlayList_start_address");
    header.skip(4, "PlayListMark_start_address");
    uint32_t extensionStart = header.read(4, "ExtensionData_start_address");

    PlaylistFacts facts;
    Cursor at(bytes, playListStart, bytes.size(), "PlayList");
    Cursor list = at.child(4, "PlayList");
    list.skip(2, "reserved");
    unsigned itemCount = list.read(2, "number_of_PlayItems");
    list.skip(2, "number_of_SubPaths");
    for (unsigned i = 0; i < itemCount; ++i)
        facts.playItems.push_back(playItem(list.child(2, "play-item")));

    if (extensionStart != 0) facts.dependentClips = dependentViewClips(bytes, extensionStart);
    if (facts.hasDependentView() && facts.dependentClips.size() != facts.playItems.size())
        throw PlaylistError("playlist: the MVC dependent-view sub-path has " +
                            std::to_string(facts.dependentClips.size()) + " items for " +
                            std::to_string(facts.playItems.size()) + " play-items");
    return facts;
}

} // namespace disc
