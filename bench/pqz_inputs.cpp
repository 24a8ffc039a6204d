#include "bench/pqz_inputs.h"

#include "tests/encoder/method1_encoder.h"

// Encoders that arrive in the tree one by one: each method is built in when its header is there.
#if __has_include("tests/encoder/context_encoder.h")
#include "tests/encoder/context_encoder.h"
#define PQZ2_BENCH_CONTEXT 1
#endif
#if __has_include("tests/encoder/method2_encoder.h")
#include "tests/encoder/method2_encoder.h"
#define PQZ2_BENCH_METHOD2 1
#endif
#if __has_include("tests/encoder/bitstream_image.h")
#include "tests/encoder/bitstream_image.h"
#define PQZ2_BENCH_BITSTREAM 1
#endif

namespace pqz::bench {

std::vector<uint8_t> storedPixels(const enc::Picture& p) {
    return p.channels == 1 ? p.pixels : enc::toStoredBgr(p);
}

uint8_t storedFormat(const enc::Picture& p) {
    return p.channels == 1 ? 0x48 : uint8_t(8 * p.channels);
}

std::vector<uint8_t> pqzFile(const enc::ImageBlock& block) {
    enc::PqzWriter w;
    w.imageBlock(block);
    return w.bytes();
}

namespace {

using EncodeFn = bool (*)(const enc::Picture&, enc::ImageBlock&);

bool encodeRaw(const enc::Picture& p, enc::ImageBlock& b) {
    b = enc::ImageBlock{};
    b.width = uint16_t(p.width);
    b.height = uint16_t(p.height);
    b.format = storedFormat(p);
    b.payload = storedPixels(p);
    return true;
}

bool encodeMethod1(const enc::Picture& p, enc::ImageBlock& b) {
    // Colour planes as differences from green, as an encoder of photos would code them.
    b = enc::encodeMethod1Picture(p, 0, p.channels > 1).block;
    return true;
}

#ifdef PQZ2_BENCH_CONTEXT
bool encodeContext(const enc::Picture& p, enc::ImageBlock& b) {
    b = enc::contextImageBlock(p.width, p.height, storedFormat(p), storedPixels(p));
    return !b.payload.empty();
}
constexpr EncodeFn kContext = encodeContext;
#else
constexpr EncodeFn kContext = nullptr;
#endif

#ifdef PQZ2_BENCH_METHOD2
bool encodeMethod2(const enc::Picture& p, enc::ImageBlock& b) {
    enc::Method2Image image;
    image.width = uint16_t(p.width);
    image.height = uint16_t(p.height);
    image.bitsPerPixel = p.channels * 8;
    image.grey = p.channels == 1;
    image.pixels = storedPixels(p);
    // Colour planes referred to green, as for method 1.
    if (p.channels > 1) image.planes = enc::colourReferencePlanes(p.channels);
    enc::Method2Payload m = enc::encodeMethod2Image(image);
    b = std::move(m.block);
    return !m.slotOverflow;
}
constexpr EncodeFn kMethod2 = encodeMethod2;
#else
constexpr EncodeFn kMethod2 = nullptr;
#endif

#ifdef PQZ2_BENCH_BITSTREAM
// Every plane coded on its own with the given variant of the bit-stream coder.
template <int kVariant>
bool encodeBits(const enc::Picture& p, enc::ImageBlock& b) {
    enc::BitstreamImageOptions options;
    options.separatePlanes = true;
    for (int k = 0; k < p.channels; k++) {
        enc::PlaneSpec spec;
        spec.order = uint8_t(k);
        spec.method = uint8_t(kVariant);
        options.planes.push_back(spec);
    }
    b = enc::encodeBitstreamImage(enc::storedImage(p), options, nullptr);
    return true;
}
template <int kVariant>
constexpr EncodeFn kBits = encodeBits<kVariant>;
#else
template <int kVariant>
constexpr EncodeFn kBits = nullptr;
#endif

}  // namespace

const std::vector<PqzMethod>& pqzMethods() {
    static const std::vector<PqzMethod> methods = {
        {"raw", "raw pixels, no compression (baseline)", encodeRaw},
        {"context", "context model, range-coded (model flag clear)", kContext},
        {"method1", "coding method 1, range-coded", encodeMethod1},
        {"method2", "coding method 2, range-coded", kMethod2},
        {"bits0", "bit-stream coder, variant 0, planes separate", kBits<0>},
        {"bits1", "bit-stream coder, variant 1, planes separate", kBits<1>},
        {"bits2", "bit-stream coder, variant 2, planes separate", kBits<2>},
        {"bits3", "bit-stream coder, variant 3, planes separate", kBits<3>},
    };
    return methods;
}

}  // namespace pqz::bench
