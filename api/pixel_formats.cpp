#include "api/pixel_formats.h"

#include <cstring>

namespace pqz::api {

const char* const kNotAvailable = "not available for this image";

namespace {

bool valueAvailable(uint32_t n) {
    return n >= 1 && n <= 32;
}

// The pixel at x of a stored row as a number (below 8 bits packed from the top bit down, as
// many whole pixels per byte as fit; from 8 bits on little-endian bytes).
inline uint32_t pixelAt(const uint8_t* row, uint32_t x, uint32_t n) {
    if (n < 8) {
        const uint32_t per = 8 / n;
        const uint32_t shift = 8 - (x % per + 1) * n;
        return (row[x / per] >> shift) & ((1u << n) - 1);
    }
    const uint32_t bytes = (n + 7) / 8;
    const uint8_t* p = row + size_t(x) * bytes;
    uint32_t v = p[0];
    for (uint32_t k = 1; k < bytes; k++) v |= uint32_t(p[k]) << (8 * k);
    return v;
}

inline uint8_t widen5(uint32_t v) {
    return uint8_t((v << 3) | (v >> 2));
}

inline uint8_t luma(uint32_t r, uint32_t g, uint32_t b) {
    return uint8_t((r * 299 + g * 587 + b * 114 + 500) / 1000);
}

// Red, green, blue and alpha of a pixel value.
inline void colourOf(const pqz2_image_info& info, uint32_t v, uint8_t rgba[4]) {
    rgba[3] = 255;
    switch (info.colour) {
        case PQZ2_COLOUR_GREY: {
            const uint32_t max = (1u << info.bits_per_pixel) - 1;
            rgba[0] = rgba[1] = rgba[2] = uint8_t((v * 255 + max / 2) / max);
            break;
        }
        case PQZ2_COLOUR_PALETTE:
            std::memcpy(rgba, info.palette[v], 3);
            break;
        case PQZ2_COLOUR_RGB555:
            rgba[0] = widen5((v >> 10) & 31);
            rgba[1] = widen5((v >> 5) & 31);
            rgba[2] = widen5(v & 31);
            break;
        default:
            rgba[0] = uint8_t(v >> 16);
            rgba[1] = uint8_t(v >> 8);
            rgba[2] = uint8_t(v);
            if (info.bits_per_pixel > 24) rgba[3] = uint8_t(v >> 24);
            break;
    }
}

void convertRow(const pqz2_image_info& info, pqz2_format format, const uint8_t* in, uint8_t* out) {
    const uint32_t n = info.bits_per_pixel, w = info.width;
    uint8_t c[4];
    for (uint32_t x = 0; x < w; x++) {
        const uint32_t v = pixelAt(in, x, n);
        switch (format) {
            case PQZ2_FORMAT_VALUE:
                if (n <= 8) {
                    out[x] = uint8_t(v);
                } else if (n <= 16) {
                    const uint16_t v16 = uint16_t(v);
                    std::memcpy(out + 2 * size_t(x), &v16, 2);  // rows need no alignment
                } else {
                    std::memcpy(out + 4 * size_t(x), &v, 4);
                }
                break;
            case PQZ2_FORMAT_INDEX8:
                out[x] = uint8_t(v);
                break;
            case PQZ2_FORMAT_GREY8:
                colourOf(info, v, c);
                out[x] = info.colour == PQZ2_COLOUR_GREY ? c[0] : luma(c[0], c[1], c[2]);
                break;
            case PQZ2_FORMAT_RGB8:
                colourOf(info, v, c);
                std::memcpy(out + 3 * size_t(x), c, 3);
                break;
            default:  // RGBA8
                colourOf(info, v, c);
                std::memcpy(out + 4 * size_t(x), c, 4);
                break;
        }
    }
}

}  // namespace

const char* formatLoss(const pqz2_image_info& info, pqz2_format format) {
    const uint32_t n = info.bits_per_pixel;
    const pqz2_colour colour = info.colour;
    switch (format) {
        case PQZ2_FORMAT_NATIVE:
            return nullptr;
        case PQZ2_FORMAT_VALUE:
            return valueAvailable(n) ? nullptr : kNotAvailable;
        case PQZ2_FORMAT_INDEX8:
            return colour == PQZ2_COLOUR_PALETTE && n >= 1 ? nullptr : kNotAvailable;
        case PQZ2_FORMAT_GREY8:
        case PQZ2_FORMAT_RGB8:
        case PQZ2_FORMAT_RGBA8:
            break;
        default:
            return kNotAvailable;
    }
    if (n == 0 || colour == PQZ2_COLOUR_VALUES) return kNotAvailable;
    const bool grey8 = format == PQZ2_FORMAT_GREY8;
    switch (colour) {
        case PQZ2_COLOUR_GREY:
            return nullptr;
        case PQZ2_COLOUR_PALETTE:
            return grey8 ? "the colours and the palette indices (grey levels of the colours)"
                         : "the palette indices (only their colours are kept)";
        case PQZ2_COLOUR_RGB555:
            return grey8 ? "the colours and bit 15 of each pixel (grey levels of the colours)"
                         : "bit 15 of each pixel";
        default:
            if (grey8) return "the colours (grey levels of the colours) and any fourth byte";
            if (n > 24 && format == PQZ2_FORMAT_RGB8) return "the fourth byte of each pixel";
            return nullptr;
    }
}

size_t minStride(const pqz2_image_info& info, pqz2_format format) {
    if (formatLoss(info, format) == kNotAvailable) return 0;
    const size_t w = info.width;
    switch (format) {
        case PQZ2_FORMAT_NATIVE:
            return info.native_row_bytes;
        case PQZ2_FORMAT_VALUE:
            return w * (info.bits_per_pixel <= 8 ? 1 : info.bits_per_pixel <= 16 ? 2 : 4);
        case PQZ2_FORMAT_RGB8:
            return 3 * w;
        case PQZ2_FORMAT_RGBA8:
            return 4 * w;
        default:
            return w;
    }
}

void convertRows(const pqz2_image_info& info, pqz2_format format, const uint8_t* native,
                 size_t nativeStride, uint8_t* out, size_t stride, uint32_t rows) {
    for (uint32_t y = 0; y < rows; y++, native += nativeStride, out += stride) {
        if (format == PQZ2_FORMAT_NATIVE)
            std::memcpy(out, native, info.native_row_bytes);
        else
            convertRow(info, format, native, out);
    }
}

}  // namespace pqz::api
