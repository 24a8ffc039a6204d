// Fuzz target over the decoding API with salvage on, from memory: the input is a whole file.
// The walk goes over every block it finds (each behind the one before) to the end; every image
// is decoded into a layout chosen by the last input byte. A kept row count above the image's
// height, a row behind the kept rows that is not zero, or a walk that goes backwards aborts.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "api/pqz2.h"

namespace {

constexpr int kMaxBlocks = 4096;
constexpr uint32_t kMaxPixels = 1u << 22;  // keeps fuzzing within its memory

void check(bool ok) {
    if (!ok) std::abort();
}

void decodeCurrent(pqz2_file* f, pqz2_format format) {
    pqz2_image_info info;
    if (pqz2_image_info_get(f, &info) != PQZ2_OK) return;
    if (uint64_t(info.width) * info.height > kMaxPixels) return;
    const size_t row = pqz2_min_stride(&info, format);
    if (row == 0) format = PQZ2_FORMAT_NATIVE;
    const size_t stride = pqz2_min_stride(&info, format);
    std::vector<uint8_t> pixels(stride * info.height + 1, 0xA5);
    pqz2_decode_result result;
    const pqz2_status s = pqz2_decode(f, format, pixels.data(), pixels.size() - 1, stride, &result);
    if (s != PQZ2_OK && s != PQZ2_PARTIAL) return;
    check(result.good_rows <= info.height);
    check((s == PQZ2_OK) == (result.damaged == 0));
    if (s == PQZ2_OK) check(result.good_rows == info.height);
    for (size_t i = size_t(result.good_rows) * stride; i < stride * info.height; i++)
        check(pixels[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const pqz2_format format = pqz2_format((size ? data[size - 1] : 0) % 6);
    pqz2_options o;
    pqz2_options_init(&o);
    o.max_pixels = kMaxPixels;
    o.salvage = 1;
    pqz2_file* f = pqz2_create(&o);
    if (pqz2_open_memory(f, data, size) == PQZ2_OK) {
        pqz2_block b;
        uint64_t behind = 0;  // the walk only moves forward
        for (int step = 0; step < kMaxBlocks; step++) {
            const pqz2_status s = pqz2_next_block(f, &b);
            if (s == PQZ2_END) {
                check(b.offset == size && b.skipped_offset + b.skipped_size <= size);
                break;
            }
            check(s == PQZ2_OK || s == PQZ2_ERR_DAMAGED);
            check(b.kind != PQZ2_BLOCK_NONE && b.offset >= behind && b.offset < size);
            check(b.skipped_size == 0 || b.skipped_offset + b.skipped_size == b.offset);
            behind = b.offset + 1;
            if (b.kind == PQZ2_BLOCK_IMAGE) decodeCurrent(f, format);
        }
        pqz2_close(f);
    }
    pqz2_destroy(f);
    return 0;
}
