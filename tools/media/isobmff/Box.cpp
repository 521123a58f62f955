#include "Box.h"

#include <cstring>
#include <sstream>

namespace media {

uint32_t fourcc(std::string_view s) {
    if (s.size() != 4)
        throw std::invalid_argument("box type must have 4 characters: '" + std::string(s) + "'");
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

std::string fourccToString(uint32_t type) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) {
        uint8_t c = uint8_t(type >> (24 - 8 * i));
        if (c < 0x20 || c > 0x7e) return "????";
        s[i] = char(c);
    }
    return s;
}

std::optional<BoxHeader> parseBoxHeader(const uint8_t* data, uint64_t available, uint64_t offset) {
    if (available < 8) return std::nullopt;
    BoxHeader h;
    h.offset = offset;
    h.type = readBE32(data + 4);
    uint32_t size32 = readBE32(data);
    if (size32 == 1) {
        if (available < 16) return std::nullopt;
        h.isLargeSize = true;
        h.headerSize = 16;
        h.size = readBE64(data + 8);
        if (h.size == 0) {
            h.runsToEnd = true;
            h.size = available;
        }
    } else if (size32 == 0) {
        h.runsToEnd = true;
        h.size = available;
    } else {
        h.size = size32;
    }
    if (h.size < h.headerSize)
        throw FormatError("box '" + h.typeName() + "' at offset " + std::to_string(offset) + " has size " +
                          std::to_string(h.size) + ", smaller than its header");
    if (h.size > available)
        throw FormatError("box '" + h.typeName() + "' at offset " + std::to_string(offset) + " has size " +
                          std::to_string(h.size) + " but only " + std::to_string(available) +
                          " bytes remain (truncated?)");
    return h;
}

// ---- ByteReader

void ByteReader::fail(const std::string& message) const {
    std::string where = what_.empty() ? std::string() : what_ + ": ";
    throw FormatError(where + message + " at offset " + std::to_string(base_ + pos_));
}

void ByteReader::need(size_t n) {
    if (n > size_ - pos_)
        fail("needs " + std::to_string(n) + " bytes but only " + std::to_string(size_ - pos_) + " remain");
}

uint8_t ByteReader::u8() {
    need(1);
    return data_[pos_++];
}
uint16_t ByteReader::u16() {
    need(2);
    uint16_t v = uint16_t((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return v;
}
uint32_t ByteReader::u24() {
    need(3);
    uint32_t v = (uint32_t(data_[pos_]) << 16) | (uint32_t(data_[pos_ + 1]) << 8) | data_[pos_ + 2];
    pos_ += 3;
    return v;
}
uint32_t ByteReader::u32() {
    need(4);
    uint32_t v = readBE32(data_ + pos_);
    pos_ += 4;
    return v;
}
uint64_t ByteReader::u64() {
    need(8);
    uint64_t v = readBE64(data_ + pos_);
    pos_ += 8;
    return v;
}
const uint8_t* ByteReader::bytes(size_t n) {
    need(n);
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
}
void ByteReader::seek(size_t pos) {
    if (pos > size_) fail("seek to " + std::to_string(pos) + " beyond " + std::to_string(size_) + " bytes");
    pos_ = pos;
}

// ---- BoxWriter

void BoxWriter::u16(uint16_t v) {
    out_->push_back(uint8_t(v >> 8));
    out_->push_back(uint8_t(v));
}
void BoxWriter::u24(uint32_t v) {
    out_->push_back(uint8_t(v >> 16));
    out_->push_back(uint8_t(v >> 8));
    out_->push_back(uint8_t(v));
}
void BoxWriter::u32(uint32_t v) {
    uint8_t b[4];
    writeBE32(b, v);
    out_->insert(out_->end(), b, b + 4);
}
void BoxWriter::u64(uint64_t v) {
    uint8_t b[8];
    writeBE64(b, v);
    out_->insert(out_->end(), b, b + 8);
}

void BoxWriter::beginBox(uint32_t type) {
    open_.push_back(out_->size());
    u32(0);
    u32(type);
}

void BoxWriter::beginFullBox(std::string_view type, uint8_t version, uint32_t flags) {
    beginBox(type);
    u8(version);
    u24(flags);
}

void BoxWriter::endBox() {
    if (open_.empty()) throw std::logic_error("BoxWriter::endBox without beginBox");
    size_t start = open_.back();
    open_.pop_back();
    uint64_t size = out_->size() - start;
    if (size <= UINT32_MAX) {
        writeBE32(out_->data() + start, uint32_t(size));
        return;
    }
    // Widen to a 64-bit header: size field 1, type, then the 64-bit size.
    uint8_t large[8];
    writeBE64(large, size + 8);
    out_->insert(out_->begin() + std::ptrdiff_t(start + 8), large, large + 8);
    writeBE32(out_->data() + start, 1);
}

// ---- Box tree

std::optional<size_t> containerPrefixSize(uint32_t type) {
    switch (type) {
    case fourcc("moov"):
    case fourcc("trak"):
    case fourcc("mdia"):
    case fourcc("minf"):
    case fourcc("stbl"):
    case fourcc("dinf"):
    case fourcc("edts"):
    case fourcc("mvex"):
    case fourcc("moof"):
    case fourcc("traf"):
    case fourcc("mfra"):
    case fourcc("tref"):
    case fourcc("vexu"):
    case fourcc("eyes"):
    case fourcc("cams"):
    case fourcc("cmfy"):
    case fourcc("proj"):
        return 0;
    case fourcc("stsd"):
        return 8;
    case fourcc("hvc1"):
    case fourcc("hev1"):
    case fourcc("avc1"):
        return 78;
    default:
        return std::nullopt;
    }
}

uint64_t Box::serializedSize() const {
    uint64_t body = payload.size();
    for (const Box& c : children)
        body += c.serializedSize();
    uint64_t header = (isLargeSize || body + 8 > UINT32_MAX) ? 16 : 8;
    return header + body;
}

const Box* Box::find(uint32_t childType) const {
    for (const Box& c : children)
        if (c.type == childType) return &c;
    return nullptr;
}
Box* Box::find(uint32_t childType) {
    for (Box& c : children)
        if (c.type == childType) return &c;
    return nullptr;
}

namespace {

// Parses [data, data+size) completely into boxes, or returns false when the bytes are not exactly a run
// of boxes (used to decide whether a container's inside can be taken apart without loss).
bool tryParseRun(const uint8_t* data, size_t size, uint64_t base, int depth, std::vector<Box>& out,
                 bool strict) {
    size_t pos = 0;
    while (pos < size) {
        std::optional<BoxHeader> h;
        try {
            h = parseBoxHeader(data + pos, size - pos, base + pos);
        } catch (const FormatError&) {
            if (strict) throw;
            return false;
        }
        if (!h) {
            if (strict)
                throw FormatError(std::to_string(size - pos) + " stray bytes at offset " +
                                  std::to_string(base + pos) + " are not a box");
            return false;
        }
        Box box;
        box.type = h->type;
        box.isLargeSize = h->isLargeSize;
        box.runsToEnd = h->runsToEnd;
        box.offset = h->offset;
        const uint8_t* body = data + pos + h->headerSize;
        size_t bodySize = size_t(h->payloadSize());
        auto prefix = containerPrefixSize(h->type);
        bool parsed = false;
        if (prefix && depth > 0 && bodySize >= *prefix) {
            std::vector<Box> kids;
            if (tryParseRun(body + *prefix, bodySize - *prefix, h->payloadOffset() + *prefix, depth - 1, kids,
                            false)) {
                box.isContainer = true;
                box.payload.assign(body, body + *prefix);
                box.children = std::move(kids);
                parsed = true;
            }
        }
        if (!parsed) box.payload.assign(body, body + bodySize);
        out.push_back(std::move(box));
        pos += size_t(h->size);
    }
    return true;
}

void dumpInto(const std::vector<Box>& boxes, int indent, std::ostringstream& os) {
    for (const Box& b : boxes) {
        os << std::string(size_t(indent) * 2, ' ') << b.typeName() << " @" << b.offset << " size "
           << b.serializedSize();
        if (b.isLargeSize) os << " large";
        if (b.runsToEnd) os << " to-end";
        os << '\n';
        dumpInto(b.children, indent + 1, os);
    }
}

} // namespace

std::vector<Box> parseBoxes(const uint8_t* data, size_t size, uint64_t baseOffset, int maxDepth) {
    std::vector<Box> out;
    tryParseRun(data, size, baseOffset, maxDepth, out, true);
    return out;
}

void writeBox(const Box& box, std::vector<uint8_t>& out) {
    uint64_t size = box.serializedSize();
    BoxWriter w(out);
    if (size > UINT32_MAX || box.isLargeSize) {
        w.u32(1);
        w.u32(box.type);
        w.u64(box.runsToEnd ? 0 : size);
    } else {
        w.u32(box.runsToEnd ? 0 : uint32_t(size));
        w.u32(box.type);
    }
    w.bytes(box.payload);
    for (const Box& c : box.children)
        writeBox(c, out);
}

void writeBoxes(const std::vector<Box>& boxes, std::vector<uint8_t>& out) {
    for (const Box& b : boxes)
        writeBox(b, out);
}

std::string dumpBoxes(const std::vector<Box>& boxes) {
    std::ostringstream os;
    dumpInto(boxes, 0, os);
    return os.str();
}

} // namespace media
