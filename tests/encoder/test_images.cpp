#include "tests/encoder/test_images.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/encoder/pqz_writer.h"

#ifndef PQZ2_SOURCE_DIR
#error "PQZ2_SOURCE_DIR must name the source tree"
#endif

namespace pqz::enc {

std::string imagesDir() {
    return std::string(PQZ2_SOURCE_DIR) + "/tests/data/images";
}
std::string vectorsDir() {
    return std::string(PQZ2_SOURCE_DIR) + "/tests/data/vectors";
}

Picture loadPng(const std::string& path, bool keepIndices) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr,
                                             [](png_structp, png_const_charp) {});
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        throw std::runtime_error("cannot decode " + path);
    }
    png_init_io(png, f);
    png_read_info(png, info);
    int colorType = png_get_color_type(png, info);
    int depth = png_get_bit_depth(png, info);
    Picture p;
    if (colorType == PNG_COLOR_TYPE_PALETTE && keepIndices) {
        png_colorp pal = nullptr;
        int n = 0;
        png_get_PLTE(png, info, &pal, &n);
        for (int i = 0; i < n; i++)
            p.paletteRgb.insert(p.paletteRgb.end(), {pal[i].red, pal[i].green, pal[i].blue});
        if (depth < 8) png_set_packing(png);
    } else {
        if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
        if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
        if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
        if (depth == 16) png_set_strip_16(png);
    }
    png_read_update_info(png, info);
    p.width = int(png_get_image_width(png, info));
    p.height = int(png_get_image_height(png, info));
    p.channels = png_get_channels(png, info);
    p.pixels.resize(size_t(p.width) * p.height * p.channels);
    std::vector<png_bytep> rows(p.height);
    for (int y = 0; y < p.height; y++) rows[y] = &p.pixels[size_t(y) * p.width * p.channels];
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    if (p.channels == 2) {  // grey with alpha: keep grey
        Picture g;
        g.width = p.width;
        g.height = p.height;
        g.channels = 1;
        for (size_t i = 0; i < p.pixels.size(); i += 2) g.pixels.push_back(p.pixels[i]);
        return g;
    }
    return p;
}

Picture loadImage(const std::string& name, bool keepIndices) {
    return loadPng(imagesDir() + "/" + name, keepIndices);
}

Picture toGrey(const Picture& p) {
    if (p.channels == 1) return p;
    Picture g;
    g.width = p.width;
    g.height = p.height;
    g.channels = 1;
    g.pixels.resize(size_t(p.width) * p.height);
    for (int y = 0; y < p.height; y++)
        for (int x = 0; x < p.width; x++)
            g.pixels[size_t(y) * p.width + x] = uint8_t(
                (299 * p.at(x, y, 0) + 587 * p.at(x, y, 1) + 114 * p.at(x, y, 2) + 500) / 1000);
    return g;
}

Picture crop(const Picture& p, int x0, int y0, int width, int height) {
    Picture c;
    c.width = width;
    c.height = height;
    c.channels = p.channels;
    c.paletteRgb = p.paletteRgb;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            for (int ch = 0; ch < p.channels; ch++) c.pixels.push_back(p.at(x0 + x, y0 + y, ch));
    return c;
}

Picture quantise(const Picture& p, int bits) {
    Picture q = p;
    for (auto& v : q.pixels) v = uint8_t(v >> (8 - bits));
    return q;
}

std::vector<uint8_t> packSamples(const std::vector<uint8_t>& samples, int width, int height,
                                 int n) {
    const uint32_t rowBytes = rowBytesFor(uint32_t(width), n);
    std::vector<uint8_t> out(size_t(rowBytes) * height, 0);
    for (int y = 0; y < height; y++) {
        uint8_t* row = &out[size_t(y) * rowBytes];
        if (n >= 8) {
            for (int x = 0; x < width; x++) row[x] = samples[size_t(y) * width + x];
            continue;
        }
        int byte = 0, used = 0;
        for (int x = 0; x < width; x++) {
            if (used + n > 8) {
                byte++;
                used = 0;
            }
            row[byte] |= uint8_t(samples[size_t(y) * width + x] << (8 - used - n));
            used += n;
        }
    }
    return out;
}

std::vector<uint8_t> toStoredBgr(const Picture& p) {
    std::vector<uint8_t> out(p.pixels.size());
    for (size_t i = 0; i < p.pixels.size(); i += p.channels) {
        if (p.channels >= 3) {
            out[i] = p.pixels[i + 2];
            out[i + 1] = p.pixels[i + 1];
            out[i + 2] = p.pixels[i];
            for (int c = 3; c < p.channels; c++) out[i + c] = p.pixels[i + c];
        } else {
            out[i] = p.pixels[i];
        }
    }
    return out;
}

}  // namespace pqz::enc
