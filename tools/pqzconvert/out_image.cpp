#include "out_image.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pqzconvert {

namespace {

// Sample x of a packed row of n bits per pixel (n < 8), as the container packs it.
int packedSample(const uint8_t* row, int x, int n) {
    if (n == 3) {
        const uint8_t b = row[x / 2];
        return (x & 1) ? (b >> 2) & 7 : b >> 5;
    }
    if (n >= 5) return row[x] >> (8 - n);
    const int perByte = 8 / n;
    const int shift = 8 - n * (x % perByte + 1);
    return (row[x / perByte] >> shift) & ((1 << n) - 1);
}

}  // namespace

OutImage toOutImage(const StoredImage& img, bool keepFourthByte) {
    OutImage out;
    out.width = img.width;
    out.height = img.height;
    const int n = img.bitsPerPixel;
    const bool grey = img.grey;
    const size_t w = img.width;
    if (n <= 8) {
        out.kind = grey ? OutImage::kGrey : OutImage::kPalette;
        if (!grey) out.paletteRgb = img.paletteRgb;
        if (n == 1 || n == 2 || n == 4 || n == 8) {
            // The container packs rows as PNG does.
            out.depth = n;
            out.rowBytes = img.rowBytes;
            out.rows.assign(img.pixels, img.pixels + img.rowBytes * img.height);
            return out;
        }
        // 0, 3, 5, 6, 7 bits: one byte per pixel; grey keeps the level the bitmap shows.
        out.depth = 8;
        out.significantBits = grey && n > 0 ? n : 0;
        out.rowBytes = w;
        out.rows.resize(w * img.height);
        for (int y = 0; y < img.height; y++) {
            const uint8_t* row = img.pixels + size_t(y) * img.rowBytes;
            for (size_t x = 0; x < w; x++) {
                const int v = n == 0 ? 0 : packedSample(row, int(x), n);
                out.rows[y * w + x] = uint8_t(grey ? v << (8 - n) : v);
            }
        }
        return out;
    }
    const size_t bytes = size_t((n + 7) / 8);
    const uint8_t* px = img.pixels;
    const size_t pixels = w * img.height;
    if (n == 15 || n == 16) {
        out.kind = OutImage::kRgb;
        out.rowBytes = 3 * w;
        out.rows.resize(3 * pixels);
        for (size_t i = 0; i < pixels; i++) {
            const uint32_t v = uint32_t(px[2 * i] | px[2 * i + 1] << 8);
            out.rows[3 * i] = uint8_t((v / 128) & 0xF8);
            out.rows[3 * i + 1] = uint8_t((v / 4) & 0xF8);
            out.rows[3 * i + 2] = uint8_t((v * 8) & 0xFF);
        }
        return out;
    }
    if (bytes == 2) {  // other two-byte samples: one 16-bit grey value, least significant first
        out.kind = OutImage::kGrey;
        out.depth = 16;
        out.significantBits = n;
        out.rowBytes = 2 * w;
        out.rows.resize(2 * pixels);
        for (size_t i = 0; i < pixels; i++) {
            out.rows[2 * i] = px[2 * i + 1];
            out.rows[2 * i + 1] = px[2 * i];
        }
        return out;
    }
    if (bytes == 3 || (bytes == 4 && !keepFourthByte)) {
        out.kind = OutImage::kRgb;
        out.rowBytes = 3 * w;
        out.rows.resize(3 * pixels);
        for (size_t i = 0; i < pixels; i++) {
            const uint8_t* p = px + bytes * i;
            out.rows[3 * i] = p[2];
            out.rows[3 * i + 1] = p[1];
            out.rows[3 * i + 2] = p[0];
        }
        return out;
    }
    if (bytes == 4) {
        out.kind = OutImage::kRgba;
        out.rowBytes = 4 * w;
        out.rows.resize(4 * pixels);
        for (size_t i = 0; i < pixels; i++) {
            const uint8_t* p = px + 4 * i;
            out.rows[4 * i] = p[2];
            out.rows[4 * i + 1] = p[1];
            out.rows[4 * i + 2] = p[0];
            out.rows[4 * i + 3] = p[3];
        }
        return out;
    }
    // 5 to 8 bytes per pixel: the stored bytes as 16-bit samples (pairs, least significant
    // first), three or four of them, missing bytes zero.
    out.kind = bytes <= 6 ? OutImage::kRgb : OutImage::kRgba;
    out.depth = 16;
    const size_t samples = size_t(out.channels());
    out.rowBytes = 2 * samples * w;
    out.rows.assign(out.rowBytes * img.height, 0);
    for (size_t i = 0; i < pixels; i++)
        for (size_t s = 0; s < samples; s++)
            for (size_t k = 0; k < 2; k++) {
                const size_t b = 2 * s + k;
                if (b < bytes) out.rows[2 * (samples * i + s) + (1 - k)] = px[bytes * i + b];
            }
    return out;
}

bool writePng(FILE* f, const OutImage& img, std::string* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr,
                                              [](png_structp, png_const_charp) {});
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = std::ferror(f) ? std::strerror(errno) : "the PNG encoder failed";
        return false;
    }
    png_init_io(png, f);
    static const int kTypes[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_PALETTE, PNG_COLOR_TYPE_RGB,
                                 PNG_COLOR_TYPE_RGB_ALPHA};
    png_set_IHDR(png, info, png_uint_32(img.width), png_uint_32(img.height), img.depth,
                 kTypes[img.kind], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (img.kind == OutImage::kPalette) {
        std::vector<png_color> pal(img.paletteRgb.size() / 3);
        for (size_t i = 0; i < pal.size(); i++)
            pal[i] = {img.paletteRgb[3 * i], img.paletteRgb[3 * i + 1], img.paletteRgb[3 * i + 2]};
        png_set_PLTE(png, info, pal.data(), int(pal.size()));
    }
    if (img.significantBits && img.kind == OutImage::kGrey) {
        png_color_8 sig{};
        sig.gray = png_byte(img.significantBits);
        png_set_sBIT(png, info, &sig);
    }
    png_write_info(png, info);
    for (int y = 0; y < img.height; y++)
        png_write_row(png, img.rows.data() + size_t(y) * img.rowBytes);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

namespace {

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

}  // namespace

bool fitsBmp(const OutImage& img) {
    return img.depth <= 8;
}

bool writeBmp(FILE* f, const OutImage& img, std::string* error) {
    if (!fitsBmp(img)) {
        *error = "more than 8 bits per sample do not fit a BMP file; convert to PNG";
        return false;
    }
    int bits;
    std::vector<uint8_t> colours;  // blue, green, red, 0
    if (img.kind == OutImage::kGrey || img.kind == OutImage::kPalette) {
        bits = img.depth == 2 ? 4 : img.depth;
        const int entries = 1 << bits;
        for (int i = 0; i < entries; i++) {
            uint8_t r = 0, g = 0, b = 0;
            if (img.kind == OutImage::kGrey) {
                const int levels = (1 << img.depth) - 1;
                r = g = b = i <= levels ? uint8_t(i * 255 / levels) : 0;
            } else if (size_t(3 * i + 2) < img.paletteRgb.size()) {
                r = img.paletteRgb[3 * i];
                g = img.paletteRgb[3 * i + 1];
                b = img.paletteRgb[3 * i + 2];
            }
            colours.insert(colours.end(), {b, g, r, 0});
        }
    } else {
        bits = img.kind == OutImage::kRgb ? 24 : 32;
    }
    const size_t stride = ((size_t(img.width) * bits + 31) / 32) * 4;
    const size_t dataSize = stride * img.height;
    std::vector<uint8_t> out;
    const uint32_t offset = uint32_t(14 + 40 + colours.size());
    out.push_back('B');
    out.push_back('M');
    put32(out, uint32_t(offset + dataSize));
    put32(out, 0);
    put32(out, offset);
    put32(out, 40);
    put32(out, uint32_t(img.width));
    put32(out, uint32_t(img.height));
    put16(out, 1);
    put16(out, uint32_t(bits));
    put32(out, 0);
    put32(out, uint32_t(dataSize));
    put32(out, 2835);
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    out.insert(out.end(), colours.begin(), colours.end());
    for (int y = img.height - 1; y >= 0; y--) {
        const uint8_t* row = img.rows.data() + size_t(y) * img.rowBytes;
        std::vector<uint8_t> line(stride, 0);
        if (bits >= 24) {
            const int c = bits / 8;
            for (int x = 0; x < img.width; x++) {
                line[c * x] = row[c * x + 2];
                line[c * x + 1] = row[c * x + 1];
                line[c * x + 2] = row[c * x];
                if (c == 4) line[4 * x + 3] = row[4 * x + 3];
            }
        } else if (img.depth == 2) {  // 2-bit rows widen to 4 bits
            for (int x = 0; x < img.width; x++) {
                const int v = (row[x / 4] >> (6 - 2 * (x % 4))) & 3;
                line[x / 2] |= uint8_t(v << ((x & 1) ? 0 : 4));
            }
        } else {
            std::memcpy(line.data(), row, img.rowBytes);
        }
        out.insert(out.end(), line.begin(), line.end());
    }
    if (std::fwrite(out.data(), 1, out.size(), f) != out.size()) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

bool encodeImage(const OutImage& img, bool bmp, std::vector<uint8_t>* bytes, std::string* error) {
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    if (!f) {
        *error = "out of memory";
        return false;
    }
    bool ok = bmp ? writeBmp(f, img, error) : writePng(f, img, error);
    if (std::fclose(f) != 0 && ok) {
        *error = "out of memory";
        ok = false;
    }
    if (ok) bytes->assign(data, data + size);
    std::free(data);
    return ok;
}

}  // namespace pqzconvert
