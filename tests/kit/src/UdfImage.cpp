#include "UdfImage.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

// Structures and field offsets: ECMA-167 3rd edition (parts 2 to 4) and OSTA
// UDF 2.50; "3/10.1" below is ECMA-167 part 3, 10.1.
namespace kit {
namespace fs = std::filesystem;
namespace {

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kAnchorBlock = 256;
constexpr uint32_t kMainSequence = 32, kReserveSequence = 48, kIntegritySequence = 64;
constexpr uint32_t kPartitionStart = kAnchorBlock + 1;
constexpr uint32_t kAllocationUnit = 32;         // blocks; the metadata file is a whole number of them
constexpr uint64_t kMaxExtent = 0x3FFFF800;      // 30-bit extent length, whole blocks
constexpr uint16_t kPhysical = 0, kMetadata = 1; // partition reference numbers (map order)
constexpr uint8_t kUdfRevision[] = {0x50, 0x02}; // 2.50, little-endian

enum Tag : uint16_t {
    primaryVolume = 1,
    anchor = 2,
    implementationUse = 4,
    partition = 5,
    logicalVolume = 6,
    unallocatedSpace = 7,
    terminating = 8,
    integrity = 9,
    fileSet = 256,
    fileIdentifier = 257,
    extendedFileEntry = 266,
};

void le16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void le32(uint8_t* p, uint32_t v) {
    le16(p, v);
    le16(p + 2, v >> 16);
}
void le64(uint8_t* p, uint64_t v) {
    le32(p, static_cast<uint32_t>(v));
    le32(p + 4, static_cast<uint32_t>(v >> 32));
}

uint32_t blocksFor(uint64_t bytes) {
    return static_cast<uint32_t>((bytes + kBlock - 1) / kBlock);
}

// CRC-ITU-T (x^16 + x^12 + x^5 + 1, initial 0), 3/7.2.6.
uint16_t descriptorCrc(const uint8_t* data, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// Descriptor tag (3/7.2) of a descriptor of `length` bytes already written after it.
void finishTag(uint8_t* p, uint16_t id, uint32_t location, size_t length) {
    le16(p, id);
    le16(p + 2, 3); // descriptor version of NSR03 volumes
    le16(p + 6, 1); // tag serial number
    le16(p + 8, descriptorCrc(p + 16, length - 16));
    le16(p + 10, static_cast<uint32_t>(length - 16));
    le32(p + 12, location);
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i)
        if (i != 4) sum = static_cast<uint8_t>(sum + p[i]);
    p[4] = sum;
}

// Entity identifier (1/7.4): flags 0, identifier, suffix.
void regid(uint8_t* p, const char* identifier, std::initializer_list<uint8_t> suffix = {}) {
    std::memcpy(p + 1, identifier, std::min<size_t>(std::strlen(identifier), 23));
    std::copy(suffix.begin(), suffix.end(), p + 24);
}
void udfRegid(uint8_t* p, const char* identifier) {
    regid(p, identifier, {kUdfRevision[0], kUdfRevision[1]});
}
void implementationRegid(uint8_t* p) {
    regid(p, "*Duoscope stereokit");
}

// OSTA Compressed Unicode character set (UDF 2.1.2).
void charspec(uint8_t* p) {
    std::memcpy(p + 1, "OSTA Compressed Unicode", 23);
}

// dstring (1/7.2.12) in 8-bit OSTA compressed Unicode: compression id, characters, length last.
void dstring(uint8_t* p, size_t size, const std::string& text) {
    const size_t length = std::min(text.size(), size - 2);
    p[0] = 8;
    std::memcpy(p + 1, text.data(), length);
    p[size - 1] = static_cast<uint8_t>(length + 1);
}

// A fixed time (2026-01-01 00:00 UTC), so that the same folder gives the same image.
void timestamp(uint8_t* p) {
    le16(p, 0x1000); // local time, offset 0
    le16(p + 2, 2026);
    p[4] = 1;
    p[5] = 1;
}

void longAd(uint8_t* p, uint32_t length, uint32_t block, uint16_t partitionReference, uint32_t uniqueId = 0) {
    le32(p, length);
    le32(p + 4, block);
    le16(p + 8, partitionReference);
    le32(p + 12, uniqueId); // UDF 2.3.4.3: the file's unique id in implementation use
}

struct Node {
    std::string name;
    fs::path path;
    bool isDirectory = false;
    uint64_t size = 0;       // file bytes, or the directory's FID bytes
    uint32_t entryBlock = 0; // metadata partition
    uint32_t dataBlock = 0;  // metadata partition for directories, physical for files
    uint32_t uniqueId = 0;
    std::vector<Node> children;
};

size_t fidSize(const std::string& name) {
    const size_t length = 38 + (name.empty() ? 0 : name.size() + 1);
    return (length + 3) / 4 * 4;
}

Node readTree(const fs::path& path, const std::string& name) {
    Node node;
    node.name = name;
    node.path = path;
    node.isDirectory = fs::is_directory(path);
    if (!node.isDirectory) {
        node.size = fs::file_size(path);
        return node;
    }
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(path))
        entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    node.size = fidSize("");
    for (const fs::path& entry : entries) {
        const std::string childName = entry.filename().string();
        if (childName.size() > 254) throw std::runtime_error("UDF file name too long: " + entry.string());
        node.children.push_back(readTree(entry, childName));
        node.size += fidSize(childName);
    }
    return node;
}

class UdfWriter {
  public:
    UdfWriter(const fs::path& folder, std::string volumeName)
        : root_(readTree(folder, "")), volumeName_(std::move(volumeName)) {}

    void write(const fs::path& image) {
        layOut();
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot create " + image.string());
        const std::vector<uint8_t> head = volumeArea();
        out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
        const std::vector<uint8_t> metadata = metadataArea();
        out.write(reinterpret_cast<const char*>(metadata.data()),
                  static_cast<std::streamsize>(metadata.size()));
        writeFileData(root_, out);
        std::vector<uint8_t> last(kBlock);
        anchorPointer(last.data(), totalBlocks_ - 1);
        out.write(reinterpret_cast<const char*>(last.data()), kBlock);
        out.close();
        if (!out) throw std::runtime_error("cannot write " + image.string());
    }

  private:
    void layOut() {
        uint32_t metadataBlock = 2; // file set descriptor, terminating descriptor
        uint32_t nextId = 16;       // UDF 3.2.1.1: 1 to 15 are reserved, 0 is the root's
        assignMetadata(root_, metadataBlock, nextId, true);
        uniqueIdNext_ = nextId;
        metadataBlocks_ = (metadataBlock + kAllocationUnit - 1) / kAllocationUnit * kAllocationUnit;
        metadataEntry_ = metadataBlocks_;
        mirrorEntry_ = metadataBlocks_ + 1;
        mirrorStart_ = metadataBlocks_ + 2;
        uint32_t dataBlock = mirrorStart_ + metadataBlocks_;
        assignData(root_, dataBlock);
        partitionBlocks_ = dataBlock;
        totalBlocks_ = kPartitionStart + partitionBlocks_ + 1;
    }

    void assignMetadata(Node& node, uint32_t& block, uint32_t& nextId, bool isRoot) {
        node.entryBlock = block++;
        node.uniqueId = isRoot ? 0 : nextId++;
        if (!node.isDirectory) {
            ++files_;
            return;
        }
        ++directories_;
        node.dataBlock = block;
        block += blocksFor(node.size);
        for (Node& child : node.children)
            assignMetadata(child, block, nextId, false);
    }

    void assignData(Node& node, uint32_t& block) {
        if (!node.isDirectory) {
            node.dataBlock = block;
            block += blocksFor(node.size);
            return;
        }
        for (Node& child : node.children)
            assignData(child, block);
    }

    uint8_t* at(std::vector<uint8_t>& area, uint32_t block) { return area.data() + size_t{block} * kBlock; }

    // Blocks 0 to the partition start: volume recognition, descriptor sequences, integrity, anchor.
    std::vector<uint8_t> volumeArea() {
        std::vector<uint8_t> area(size_t{kPartitionStart} * kBlock);
        // Volume recognition sequence (2/9): BEA01, NSR03, TEA01 from block 16.
        const char* identifiers[] = {"BEA01", "NSR03", "TEA01"};
        for (int i = 0; i < 3; ++i) {
            uint8_t* p = at(area, 16 + static_cast<uint32_t>(i));
            std::memcpy(p + 1, identifiers[i], 5);
            p[6] = 1;
        }
        for (const uint32_t start : {kMainSequence, kReserveSequence})
            volumeDescriptors(area, start);
        logicalVolumeIntegrity(area);
        anchorPointer(at(area, kAnchorBlock), kAnchorBlock);
        return area;
    }

    void anchorPointer(uint8_t* p, uint32_t location) {
        le32(p + 16, 16 * kBlock);
        le32(p + 20, kMainSequence);
        le32(p + 24, 16 * kBlock);
        le32(p + 28, kReserveSequence);
        finishTag(p, anchor, location, 512);
    }

    void volumeDescriptors(std::vector<uint8_t>& area, uint32_t start) {
        uint32_t sequenceNumber = 0;
        // Primary volume descriptor (3/10.1)
        uint8_t* p = at(area, start);
        le32(p + 16, sequenceNumber++);
        dstring(p + 24, 32, volumeName_);
        le16(p + 56, 1);
        le16(p + 58, 1);
        le16(p + 60, 2);
        le16(p + 62, 2);
        le32(p + 64, 1);
        le32(p + 68, 1);
        dstring(p + 72, 128, "0000000000000000" + volumeName_);
        charspec(p + 200);
        charspec(p + 264);
        implementationRegid(p + 344);
        timestamp(p + 376);
        implementationRegid(p + 388);
        finishTag(p, primaryVolume, start, 512);

        // Implementation use volume descriptor holding the UDF LV information (UDF 2.2.7)
        p = at(area, start + 1);
        le32(p + 16, sequenceNumber++);
        udfRegid(p + 20, "*UDF LV Info");
        charspec(p + 52);
        dstring(p + 116, 128, volumeName_);
        implementationRegid(p + 352);
        finishTag(p, implementationUse, start + 1, 512);

        // Partition descriptor (3/10.5): one read-only partition, no space bitmaps
        p = at(area, start + 2);
        le32(p + 16, sequenceNumber++);
        le16(p + 20, 1); // allocated
        le16(p + 22, 0); // partition number
        regid(p + 24, "+NSR03");
        le32(p + 184, 1); // access type: read only
        le32(p + 188, kPartitionStart);
        le32(p + 192, partitionBlocks_);
        implementationRegid(p + 196);
        finishTag(p, partition, start + 2, 512);

        // Logical volume descriptor (3/10.6) with the physical partition map
        // and the metadata partition map (UDF 2.2.10)
        p = at(area, start + 3);
        le32(p + 16, sequenceNumber++);
        charspec(p + 20);
        dstring(p + 84, 128, volumeName_);
        le32(p + 212, kBlock);
        regid(p + 216, "*OSTA UDF Compliant", {kUdfRevision[0], kUdfRevision[1], 0});
        longAd(p + 248, kBlock, 0, kMetadata); // the file set descriptor
        le32(p + 264, 6 + 64);
        le32(p + 268, 2);
        implementationRegid(p + 272);
        le32(p + 432, 2 * kBlock);
        le32(p + 436, kIntegritySequence);
        uint8_t* map = p + 440;
        map[0] = 1;
        map[1] = 6;
        le16(map + 2, 1); // volume sequence number
        le16(map + 4, 0); // partition number
        map += 6;
        map[0] = 2;
        map[1] = 64;
        udfRegid(map + 4, "*UDF Metadata Partition");
        le16(map + 36, 1);
        le16(map + 38, 0);
        le32(map + 40, metadataEntry_);
        le32(map + 44, mirrorEntry_);
        le32(map + 48, 0xFFFFFFFF); // no metadata bitmap: the volume is read-only
        le32(map + 52, kAllocationUnit);
        le16(map + 56, 1);
        map[58] = 1; // the mirror duplicates the metadata
        finishTag(p, logicalVolume, start + 3, 440 + 70);

        // Unallocated space descriptor (3/10.8): none
        p = at(area, start + 4);
        le32(p + 16, sequenceNumber++);
        finishTag(p, unallocatedSpace, start + 4, 24);

        finishTag(at(area, start + 5), terminating, start + 5, 512);
    }

    // Logical volume integrity descriptor (3/10.10), closed, with the UDF implementation use (UDF 2.2.6.4).
    void logicalVolumeIntegrity(std::vector<uint8_t>& area) {
        uint8_t* p = at(area, kIntegritySequence);
        timestamp(p + 16);
        le32(p + 28, 1); // close integrity
        le64(p + 40, uniqueIdNext_);
        le32(p + 72, 2);  // partitions
        le32(p + 76, 46); // implementation use length
        le32(p + 80, 0);  // free space: none
        le32(p + 84, 0);
        le32(p + 88, partitionBlocks_); // sizes
        le32(p + 92, metadataBlocks_);
        uint8_t* use = p + 96;
        implementationRegid(use);
        le32(use + 32, files_);
        le32(use + 36, directories_);
        for (int i = 0; i < 3; ++i)
            le16(use + 40 + 2 * i, 0x0250);
        finishTag(p, integrity, kIntegritySequence, 96 + 46);
        finishTag(at(area, kIntegritySequence + 1), terminating, kIntegritySequence + 1, 512);
    }

    // Extended file entry (4/14.17) at `location` of `buffer`, with the given
    // allocation descriptors (long unless `shortAds`).
    void fileEntry(uint8_t* p, uint32_t location, uint8_t fileType, uint64_t length, uint16_t links,
                   uint32_t uniqueId, const std::vector<std::pair<uint32_t, uint32_t>>& extents,
                   uint16_t partition, bool shortAds) {
        le16(p + 20, 4);  // strategy type 4
        le16(p + 24, 1);  // maximum entries
        p[27] = fileType; // 4 directory, 5 file, 250/251 metadata file and its mirror
        le16(p + 34, shortAds ? 0 : 1);
        le32(p + 36, 0xFFFFFFFF); // uid, gid: not specified (UDF 3.3.3.1)
        le32(p + 40, 0xFFFFFFFF);
        // Read (and search, for directories) for everyone; nothing else on a read-only disc.
        le32(p + 44, fileType == 4 ? 0x14A5 : 0x1084);
        le16(p + 48, links);
        le64(p + 56, length);
        le64(p + 64, length);
        uint64_t recorded = 0;
        for (const auto& extent : extents)
            recorded += blocksFor(extent.first);
        le64(p + 72, recorded);
        for (int t = 0; t < 4; ++t)
            timestamp(p + 80 + 12 * t);
        le32(p + 128, 1); // checkpoint
        implementationRegid(p + 168);
        le64(p + 200, uniqueId);
        const size_t adSize = shortAds ? 8 : 16;
        le32(p + 212, static_cast<uint32_t>(extents.size() * adSize));
        uint8_t* ad = p + 216;
        for (const auto& [bytes, block] : extents) {
            if (shortAds) {
                le32(ad, bytes);
                le32(ad + 4, block);
            } else {
                longAd(ad, bytes, block, partition);
            }
            ad += adSize;
        }
        finishTag(p, extendedFileEntry, location, 216 + extents.size() * adSize);
    }

    // File identifier descriptor (4/14.4) at byte `offset` of the directory's data; returns its size.
    size_t fileIdentifierAt(std::vector<uint8_t>& area, const Node& directory, size_t offset,
                            const Node& target, bool isParent) {
        uint8_t* p = at(area, directory.dataBlock) + offset;
        le16(p + 16, 1);
        p[18] = static_cast<uint8_t>((target.isDirectory ? 0x02 : 0) | (isParent ? 0x08 : 0));
        const std::string name = isParent ? "" : target.name;
        p[19] = static_cast<uint8_t>(name.empty() ? 0 : name.size() + 1);
        longAd(p + 20, kBlock, target.entryBlock, kMetadata, target.uniqueId);
        if (!name.empty()) {
            p[38] = 8;
            std::memcpy(p + 39, name.data(), name.size());
        }
        const size_t size = fidSize(name);
        finishTag(p, fileIdentifier, directory.dataBlock + static_cast<uint32_t>(offset / kBlock), size);
        return size;
    }

    void describe(std::vector<uint8_t>& area, const Node& node, const Node& parent) {
        uint8_t* entry = at(area, node.entryBlock);
        if (!node.isDirectory) {
            std::vector<std::pair<uint32_t, uint32_t>> extents;
            for (uint64_t done = 0; done < node.size; done += kMaxExtent)
                extents.push_back({static_cast<uint32_t>(std::min(kMaxExtent, node.size - done)),
                                   node.dataBlock + static_cast<uint32_t>(done / kBlock)});
            fileEntry(entry, node.entryBlock, 5, node.size, 1, node.uniqueId, extents, kPhysical, false);
            return;
        }
        const auto subdirectories = std::count_if(node.children.begin(), node.children.end(),
                                                  [](const Node& child) { return child.isDirectory; });
        fileEntry(entry, node.entryBlock, 4, node.size, static_cast<uint16_t>(1 + subdirectories),
                  node.uniqueId, {{static_cast<uint32_t>(node.size), node.dataBlock}}, kMetadata, false);
        size_t offset = fileIdentifierAt(area, node, 0, parent, true);
        for (const Node& child : node.children) {
            offset += fileIdentifierAt(area, node, offset, child, false);
            describe(area, child, node);
        }
    }

    // The physical partition's metadata part: the metadata file's contents,
    // the entries of the metadata file and its mirror, and the mirror's copy.
    std::vector<uint8_t> metadataArea() {
        std::vector<uint8_t> metadata(size_t{metadataBlocks_} * kBlock);
        // File set descriptor (4/14.1)
        uint8_t* p = metadata.data();
        timestamp(p + 16);
        le16(p + 28, 3);
        le16(p + 30, 3);
        le32(p + 32, 1);
        le32(p + 36, 1);
        charspec(p + 48);
        dstring(p + 112, 128, volumeName_);
        charspec(p + 240);
        dstring(p + 304, 32, volumeName_);
        longAd(p + 400, kBlock, root_.entryBlock, kMetadata);
        regid(p + 416, "*OSTA UDF Compliant", {kUdfRevision[0], kUdfRevision[1], 0});
        finishTag(p, fileSet, 0, 512);
        finishTag(p + kBlock, terminating, 1, 512);
        describe(metadata, root_, root_);

        std::vector<uint8_t> area(metadata);
        area.resize(area.size() + 2 * kBlock);
        const uint32_t metadataBytes = metadataBlocks_ * kBlock;
        fileEntry(at(area, metadataEntry_), metadataEntry_, 250, metadataBytes, 1, 0, {{metadataBytes, 0}},
                  kPhysical, true);
        fileEntry(at(area, mirrorEntry_), mirrorEntry_, 251, metadataBytes, 1, 0,
                  {{metadataBytes, mirrorStart_}}, kPhysical, true);
        area.insert(area.end(), metadata.begin(), metadata.end());
        return area;
    }

    void writeFileData(const Node& node, std::ofstream& out) {
        if (node.isDirectory) {
            for (const Node& child : node.children)
                writeFileData(child, out);
            return;
        }
        std::ifstream in(node.path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + node.path.string());
        std::vector<char> buffer(1 << 20);
        uint64_t copied = 0;
        while (copied < node.size) {
            const auto want =
                static_cast<std::streamsize>(std::min<uint64_t>(buffer.size(), node.size - copied));
            if (!in.read(buffer.data(), want)) throw std::runtime_error("cannot read " + node.path.string());
            out.write(buffer.data(), want);
            copied += static_cast<uint64_t>(want);
        }
        const std::vector<char> padding(blocksFor(node.size) * uint64_t{kBlock} - node.size, 0);
        out.write(padding.data(), static_cast<std::streamsize>(padding.size()));
    }

    Node root_;
    std::string volumeName_;
    uint32_t metadataBlocks_ = 0, metadataEntry_ = 0, mirrorEntry_ = 0, mirrorStart_ = 0;
    uint32_t partitionBlocks_ = 0, totalBlocks_ = 0;
    uint64_t uniqueIdNext_ = 16;
    uint32_t files_ = 0, directories_ = 0;
};

} // namespace

void writeUdfImage(const fs::path& folder, const fs::path& image, const std::string& volumeName) {
    UdfWriter(folder, volumeName).write(image);
}

} // namespace kit
