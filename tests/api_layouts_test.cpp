// Every pixel layout of the decoding API on every coding family: the stored layout must be the
// test encoders' input pixels exactly, the value layout the pixels as numbers, and the colour
// conversions what the pictures show; the image information read before decoding must agree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/api_test_support.h"
#include "tests/encoder/bitstream_image.h"
#include "tests/encoder/context_encoder.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/test_images.h"

namespace pqz::enc {
namespace {

using test::ApiFile;

// An image block with the pixels the decoder must give, the picture they come from, and the
// coding the information must report.
struct Case {
    std::string name;
    ImageBlock block;
    std::vector<uint8_t> stored;  // expected pixels in the stored layout
    Picture picture;              // at the image's depth: grey levels, indices or colours
    pqz2_coding coding;
};

const Picture& greyPhoto() {
    static const Picture p = toGrey(crop(loadImage("camera.png"), 200, 150, 37, 23));
    return p;
}
const Picture& colourPhoto() {
    static const Picture p = crop(loadImage("coffee.png"), 250, 120, 29, 21);
    return p;
}
const Picture& alphaPhoto() {
    static const Picture p = crop(loadImage("logo.png"), 150, 200, 31, 19);
    return p;
}
const Picture& palettePhoto() {
    static const Picture p = crop(loadImage("green_palette.png", true), 40, 30, 33, 17);
    return p;
}

// The picture as the depth keeps it: grey levels quantised below 8 bits.
Picture atDepth(const Picture& p, int bits) {
    if (p.channels == 1 && p.paletteRgb.empty() && bits < 8) return quantise(p, bits);
    return p;
}

ImageBlock rawBlock(const StoredImage& s) {
    ImageBlock b;
    b.width = s.width;
    b.height = s.height;
    b.format = s.format;
    b.payload = s.data;
    b.palette = s.palette;
    return b;
}

std::vector<Case> cases() {
    std::vector<Case> out;
    auto add = [&](std::string name, ImageBlock block, std::vector<uint8_t> stored,
                   const Picture& pic, int bits, pqz2_coding coding) {
        if (!(block.format & 0x80)) block.palette.clear();
        out.push_back(
            {std::move(name), std::move(block), std::move(stored), atDepth(pic, bits), coding});
    };
    for (int bits : {1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 24, 32}) {
        const Picture& pic = bits <= 8 ? greyPhoto() : bits == 32 ? alphaPhoto() : colourPhoto();
        const StoredImage s = storedImage(pic, bits);
        const std::string depth = std::to_string(bits) + " bits";
        add("raw " + depth, rawBlock(s), s.data, pic, bits, PQZ2_CODING_RAW);
        BitstreamImageOptions o;
        o.planeTable = false;
        std::vector<uint8_t> expected;
        ImageBlock b = encodeBitstreamImage(s, o, &expected);
        add("bit stream " + depth, b, expected, pic, bits, PQZ2_CODING_BITSTREAM);
        if (bits != 15 && bits != 16) {
            add("context model " + depth, contextImageBlock(s.width, s.height, s.format, s.data),
                s.data, pic, bits, PQZ2_CODING_CONTEXT_MODEL);
        }
    }
    const StoredImage pal = storedImage(palettePhoto(), 8);
    add("raw palette", rawBlock(pal), pal.data, palettePhoto(), 8, PQZ2_CODING_RAW);
    std::vector<uint8_t> expected;
    ImageBlock block = encodeBitstreamImage(pal, {}, &expected);
    add("bit stream palette", block, expected, palettePhoto(), 8, PQZ2_CODING_BITSTREAM);
    BitstreamImageOptions separate;
    separate.separatePlanes = true;
    block = encodeBitstreamImage(storedImage(colourPhoto(), 24), separate, &expected);
    add("bit stream separate planes", block, expected, colourPhoto(), 24, PQZ2_CODING_BITSTREAM);
    for (const Picture* pic : {&greyPhoto(), &colourPhoto(), &alphaPhoto()}) {
        const int bits = pic->channels * 8;
        const std::string depth = std::to_string(bits) + " bits";
        const Method1Image m1 = encodeMethod1Picture(*pic, 0, pic->channels > 1);
        add("method 1 " + depth, m1.block, m1.expected, *pic, bits, PQZ2_CODING_METHOD1);
        const Method2Payload m2 = encodeMethod2Picture(*pic, 0, pic->channels == 3);
        add("method 2 " + depth, m2.block, m2.pixels, *pic, bits, PQZ2_CODING_METHOD2);
    }
    Method1Options o;
    o.palette = pal.palette;
    o.grey = false;
    const Picture& p = palettePhoto();
    const Method1Image m1 = encodeMethod1(p.pixels.data(), p.width, p.height, 1, o);
    add("method 1 palette", m1.block, m1.expected, p, 8, PQZ2_CODING_METHOD1);
    return out;
}

uint8_t widen5(int v) {
    return uint8_t(v << 3 | v >> 2);
}

// What the picture shows at (x, y) as red, green, blue, alpha, for an image of n bits whose
// stored pixel starts at px.
void expectedColour(const Case& c, int n, size_t i, const uint8_t* px, uint8_t rgba[4]) {
    const Picture& p = c.picture;
    rgba[3] = 255;
    if (!p.paletteRgb.empty()) {
        for (int k = 0; k < 3; k++) rgba[k] = p.paletteRgb[3 * size_t(p.pixels[i]) + k];
    } else if (p.channels == 1) {
        const int max = (1 << n) - 1;
        rgba[0] = rgba[1] = rgba[2] = uint8_t((p.pixels[i] * 255 + max / 2) / max);
    } else if (n == 15 || n == 16) {
        for (int k = 0; k < 3; k++) rgba[k] = widen5(p.pixels[i * p.channels + k] >> 3);
    } else {
        for (int k = 0; k < 3; k++) rgba[k] = p.pixels[i * p.channels + k];
        if (n == 32) rgba[3] = px[3];  // made up by the test encoder for pictures without one
    }
}

// Compares one decode in format against the picture.
std::string checkFormat(const Case& c, const pqz2_image_info& info, pqz2_format format,
                        const std::vector<uint8_t>& got) {
    const int n = int(info.bits_per_pixel);
    const size_t w = info.width, count = w * info.height;
    const size_t bytes = (size_t(n) + 7) / 8;
    for (size_t i = 0; i < count; i++) {
        const uint8_t* px = c.stored.data() + i * bytes;  // from 8 bits on
        uint8_t rgba[4];
        expectedColour(c, n, i, px, rgba);
        std::vector<uint8_t> want;
        switch (format) {
            case PQZ2_FORMAT_VALUE:
                if (n <= 8) {
                    want = {c.picture.pixels[i]};  // grey level or index
                } else {
                    want.assign(px, px + bytes);  // little-endian hosts
                    if (bytes == 3) want.push_back(0);
                }
                break;
            case PQZ2_FORMAT_INDEX8:
                want = {c.picture.pixels[i]};
                break;
            case PQZ2_FORMAT_GREY8:
                if (c.picture.channels != 1 || !c.picture.paletteRgb.empty()) continue;
                want = {rgba[0]};
                break;
            case PQZ2_FORMAT_RGB8:
                want.assign(rgba, rgba + 3);
                break;
            default:
                want.assign(rgba, rgba + 4);
                break;
        }
        const size_t at = i * want.size();
        if (at + want.size() > got.size() ||
            !std::equal(want.begin(), want.end(), got.begin() + long(at)))
            return "pixel " + std::to_string(i);
    }
    return "";
}

TEST(ApiLayouts, EveryLayoutOnEveryCodingFamily) {
    static_assert(sizeof(uint16_t) == 2, "");
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = test::fileOf(c.block);
        ApiFile f;
        ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
        pqz2_block b;
        ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
        pqz2_image_info info;
        ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
        // The information read before decoding.
        EXPECT_EQ(info.width, c.block.width);
        EXPECT_EQ(info.height, c.block.height);
        EXPECT_EQ(info.format_byte, c.block.format);
        EXPECT_EQ(info.coding, c.coding);
        EXPECT_EQ(info.tolerance, 0u);
        EXPECT_EQ(info.payload_size, c.block.payload.size());
        EXPECT_EQ(size_t(info.native_row_bytes) * info.height, c.stored.size());

        // The stored layout, with a wider stride whose padding stays untouched.
        const size_t row = info.native_row_bytes, stride = row + 3;
        std::vector<uint8_t> padded(stride * info.height, 0xEE);
        ASSERT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, padded.data(), padded.size(), stride, nullptr),
                  PQZ2_OK)
            << pqz2_message(f);
        std::vector<uint8_t> native;
        for (uint32_t y = 0; y < info.height; y++) {
            native.insert(native.end(), padded.begin() + long(y * stride),
                          padded.begin() + long(y * stride + row));
            EXPECT_EQ(padded[y * stride + row + 2], 0xEE);
        }
        EXPECT_TRUE(native == c.stored);

        for (pqz2_format format : {PQZ2_FORMAT_VALUE, PQZ2_FORMAT_GREY8, PQZ2_FORMAT_RGB8,
                                   PQZ2_FORMAT_RGBA8, PQZ2_FORMAT_INDEX8}) {
            SCOPED_TRACE("format " + std::to_string(format));
            const bool palette = !c.picture.paletteRgb.empty();
            const bool available = format != PQZ2_FORMAT_INDEX8 || palette;
            pqz2_status s;
            const std::vector<uint8_t> got = test::decodeTo(f, format, &s);
            if (!available) {
                EXPECT_EQ(s, PQZ2_ERR_FORMAT);
                EXPECT_EQ(pqz2_min_stride(&info, format), 0u);
                continue;
            }
            ASSERT_EQ(s, PQZ2_OK) << pqz2_message(f);
            EXPECT_EQ(checkFormat(c, info, format, got), "");
            // A conversion says what it drops: colour images lose nothing in RGBA8, 16-bit
            // pixels their 16th bit, palette images their indices outside INDEX8.
            const char* loss = pqz2_format_loss(&info, format);
            const int n = int(info.bits_per_pixel);
            const bool lossless =
                format == PQZ2_FORMAT_VALUE || format == PQZ2_FORMAT_INDEX8 ||
                (c.picture.channels == 1 && !palette) ||
                (!palette && n >= 24 &&
                 (format == PQZ2_FORMAT_RGBA8 || (format == PQZ2_FORMAT_RGB8 && n == 24)));
            EXPECT_EQ(loss == nullptr, lossless) << (loss ? loss : "lossless");
        }
    }
}

}  // namespace
}  // namespace pqz::enc
