// Writes PQZ files: extra blocks and image blocks with any header, auxiliary header, payload and
// palette, and the bit-packed payload head with its plane table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/encoder/bit_writer.h"

namespace pqz::enc {

constexpr uint8_t kKindImage = 0x8A;
constexpr uint8_t kKindExtra = 0x90;

struct ImageBlock {
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t format = 8;  // bits 0-5 bits per pixel, 0x40 grey, 0x80 palette follows
    uint8_t flags = 0;  // 0x80 aux header (set automatically when aux is given), 0x20 compressed...
    std::array<uint8_t, 6> reserved{};
    std::optional<std::pair<uint32_t, std::vector<uint8_t>>> aux;  // type and data
    std::optional<uint32_t> auxSizeField;                          // stored size if not data size
    std::vector<uint8_t> payload;
    std::optional<uint32_t> payloadSizeField;  // stored payloadSize if not payload.size()
    std::vector<uint8_t> palette;              // written behind the payload as given
};

class PqzWriter {
  public:
    void tag(uint8_t kind, uint8_t major = '2', uint8_t minor = '0');
    void extraBlock(uint32_t type, const std::vector<uint8_t>& data);
    // Extra block whose size field differs from the data written.
    void extraBlockRaw(uint32_t type, uint32_t sizeField, const std::vector<uint8_t>& data);
    void imageBlock(const ImageBlock& block);
    void rawBytes(const std::vector<uint8_t>& bytes);

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    bool save(const std::string& path) const;

  private:
    void u16(uint16_t v);
    void u32(uint32_t v);
    std::vector<uint8_t> bytes_;
};

// Plane descriptor of the payload head.
struct PlaneSpec {
    uint8_t order = 0;   // 0..3
    uint8_t method = 0;  // 0..3
    bool modelFlag = false;
    bool hasReference = false;
    uint8_t offset = 0;
    int coef[3] = {0, 0, 0};  // -64..191
};

// A descriptor of the given order, reference, offset and weights (method and model flag unset).
inline PlaneSpec planeSpec(int order, bool hasReference = false, int offset = 0, int c0 = 0,
                           int c1 = 0, int c2 = 0) {
    PlaneSpec s;
    s.order = uint8_t(order);
    s.hasReference = hasReference;
    s.offset = uint8_t(offset);
    s.coef[0] = c0;
    s.coef[1] = c1;
    s.coef[2] = c2;
    return s;
}

// Writes the head of a compressed payload: the tolerance field (when the image has more than two
// planes, or one plane and the grey bit) and one descriptor per plane.
void writePayloadHead(BitWriter& bits, int bitsPerPixel, bool grey, int tolerance,
                      const std::vector<PlaneSpec>& planes);

// Whether a head carries the 4-bit tolerance field.
bool headHasTolerance(int bitsPerPixel, bool grey);

// Rows of the container layout for n bits per pixel.
uint32_t rowBytesFor(uint32_t width, int bitsPerPixel);

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFile(const std::string& path);

}  // namespace pqz::enc
