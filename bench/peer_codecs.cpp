#include "bench/peer_codecs.h"

#include <charls/charls.h>
#include <png.h>

#include <cstring>
#include <stdexcept>

namespace pqz::bench {

namespace {

int pngColourType(int channels) {
    return channels == 1   ? PNG_COLOR_TYPE_GRAY
           : channels == 3 ? PNG_COLOR_TYPE_RGB
                           : PNG_COLOR_TYPE_RGB_ALPHA;
}

struct MemoryInput {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
    auto* in = static_cast<MemoryInput*>(png_get_io_ptr(png));
    if (length > in->size - in->pos) png_error(png, "read past the end");
    std::memcpy(out, in->data + in->pos, length);
    in->pos += length;
}

void appendToVector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void quietWarning(png_structp, png_const_charp) {}

}  // namespace

std::vector<uint8_t> encodePng(const enc::Picture& p) {
    std::vector<uint8_t> out;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quietWarning);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows(size_t(p.height));
    for (int y = 0; y < p.height; y++)
        rows[size_t(y)] = const_cast<png_bytep>(&p.pixels[size_t(y) * p.width * p.channels]);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("PNG encoding failed");
    }
    png_set_write_fn(png, &out, appendToVector, nullptr);
    png_set_IHDR(png, info, png_uint_32(p.width), png_uint_32(p.height), 8,
                 pngColourType(p.channels), PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

bool decodePng(const std::vector<uint8_t>& file, std::vector<uint8_t>& pixels) {
    MemoryInput in{file.data(), file.size(), 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quietWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    png_bytep* volatile rows = nullptr;  // set after setjmp: volatile keeps it for longjmp
    if (setjmp(png_jmpbuf(png))) {
        delete[] rows;
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &in, readFromMemory);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    pixels.resize(rowBytes * height);
    rows = new png_bytep[height];
    for (png_uint_32 y = 0; y < height; y++) rows[y] = &pixels[y * rowBytes];
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    delete[] rows;
    png_destroy_read_struct(&png, &info, nullptr);
    return width != 0;
}

std::vector<uint8_t> encodeJpegLs(const enc::Picture& p) {
    const charls::frame_info frame{uint32_t(p.width), uint32_t(p.height), 8, p.channels};
    const auto mode =
        p.channels == 1 ? charls::interleave_mode::none : charls::interleave_mode::sample;
    charls::jpegls_encoder encoder;
    encoder.frame_info(frame).interleave_mode(mode).near_lossless(0);
    std::vector<uint8_t> out(encoder.estimated_destination_size());
    encoder.destination(out);
    out.resize(encoder.encode(p.pixels));
    return out;
}

bool decodeJpegLs(const std::vector<uint8_t>& stream, std::vector<uint8_t>& pixels) {
    try {
        charls::jpegls_decoder decoder(stream, true);
        pixels.resize(decoder.destination_size());
        decoder.decode(pixels);
        return true;
    } catch (const charls::jpegls_error&) {
        return false;
    }
}

}  // namespace pqz::bench
