#include "tests/encoder/pqz_writer.h"

#include <cstdio>

#include "base/image.h"

namespace pqz::enc {

void PqzWriter::u16(uint16_t v) {
    bytes_.push_back(uint8_t(v));
    bytes_.push_back(uint8_t(v >> 8));
}

void PqzWriter::u32(uint32_t v) {
    u16(uint16_t(v));
    u16(uint16_t(v >> 16));
}

void PqzWriter::tag(uint8_t kind, uint8_t major, uint8_t minor) {
    bytes_.insert(bytes_.end(), {0x81, kind, major, minor});
}

void PqzWriter::extraBlock(uint32_t type, const std::vector<uint8_t>& data) {
    extraBlockRaw(type, uint32_t(data.size()), data);
}

void PqzWriter::extraBlockRaw(uint32_t type, uint32_t sizeField, const std::vector<uint8_t>& data) {
    tag(kKindExtra);
    u32(type);
    u32(sizeField);
    rawBytes(data);
}

void PqzWriter::imageBlock(const ImageBlock& b) {
    tag(kKindImage);
    u16(b.width);
    u16(b.height);
    bytes_.insert(bytes_.end(), b.reserved.begin(), b.reserved.end());
    bytes_.push_back(b.format);
    bytes_.push_back(uint8_t(b.aux ? (b.flags | 0x80) : b.flags));
    u32(b.payloadSizeField.value_or(uint32_t(b.payload.size())));
    if (b.aux) {
        u32(b.aux->first);
        u32(b.auxSizeField.value_or(uint32_t(b.aux->second.size())));
        rawBytes(b.aux->second);
    }
    rawBytes(b.payload);
    rawBytes(b.palette);
}

void PqzWriter::rawBytes(const std::vector<uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

bool PqzWriter::save(const std::string& path) const {
    return writeFile(path, bytes_);
}

bool headHasTolerance(int bitsPerPixel, bool grey) {
    int planes = (bitsPerPixel + 7) / 8;
    return planes > 2 || (planes == 1 && grey);
}

void writePayloadHead(BitWriter& bits, int bitsPerPixel, bool grey, int tolerance,
                      const std::vector<PlaneSpec>& planes) {
    if (headHasTolerance(bitsPerPixel, grey)) bits.write(uint32_t(tolerance), 4);
    for (const PlaneSpec& p : planes) {
        uint32_t flags = p.method | (p.modelFlag ? 4 : 0) | (p.hasReference ? 8 : 0);
        bits.write(p.order | flags << 2, 6);
        if (p.hasReference) {
            bits.write(p.offset, 8);
            if (p.order > 1) {
                bits.write(uint32_t(p.coef[0] + 64), 8);
                bits.write(uint32_t(p.coef[1] + 64), 8);
            }
            if (p.order > 2) bits.write(uint32_t(p.coef[2] + 64), 8);
        }
    }
}

uint32_t rowBytesFor(uint32_t width, int n) {
    return packedRowBytes(width, n);
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

}  // namespace pqz::enc
