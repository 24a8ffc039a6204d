// Fuzz target over the decoding API, from memory: the input is a whole file. Every block is
// walked; each image's information is read and the image decoded once into a layout chosen by
// the last input byte (with a stride wider than needed on some), some decodes cancelled by the
// progress callback; extra blocks and auxiliary headers are read; then a seek back and one
// more decode.
#include <cstdint>
#include <vector>

#include "api/pqz2.h"

namespace {

constexpr int kMaxBlocks = 4096;
constexpr uint32_t kMaxPixels = 1u << 22;  // keeps fuzzing within its memory

int cancelSome(void* user, uint64_t done, uint64_t total) {
    const unsigned choice = *static_cast<unsigned*>(user);
    return (choice & 0x40) && done > 0 && done * 2 >= total;
}

void decodeCurrent(pqz2_file* f, unsigned choice) {
    pqz2_image_info info;
    if (pqz2_image_info_get(f, &info) != PQZ2_OK) return;
    const pqz2_format format = pqz2_format(choice % 6);
    pqz2_format_loss(&info, format);
    const size_t row = pqz2_min_stride(&info, format);
    if ((choice & 16) || uint64_t(info.width) * info.height > kMaxPixels) {
        // The library checks the limits before it allocates the buffer.
        void* pixels = nullptr;
        size_t stride = 0;
        pqz2_decode_alloc(f, format, &pixels, &stride, nullptr);
        pqz2_free(pixels);
    } else {
        const size_t stride = row + ((choice & 8) ? 3 : 0);
        std::vector<uint8_t> pixels(stride * info.height + 1);
        pqz2_decode(f, format, pixels.data(), pixels.size() - 1, stride, nullptr);
    }
    size_t needed = 0;
    if (pqz2_aux_data(f, nullptr, 0, &needed) == PQZ2_OK && needed < (1u << 20)) {
        std::vector<uint8_t> aux(needed + 1);
        pqz2_aux_data(f, aux.data(), needed, nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned choice = size ? data[size - 1] : 0;
    pqz2_options o;
    pqz2_options_init(&o);
    o.max_pixels = kMaxPixels;
    o.progress = &cancelSome;
    o.progress_user = &choice;
    pqz2_file* f = pqz2_create(&o);
    if (pqz2_open_memory(f, data, size) == PQZ2_OK) {
        pqz2_block b;
        uint32_t blocks = 0;
        for (int step = 0; step < kMaxBlocks && pqz2_next_block(f, &b) == PQZ2_OK; step++) {
            blocks++;
            if (b.kind == PQZ2_BLOCK_IMAGE) {
                decodeCurrent(f, choice);
                choice = (choice >> 1) | (choice << 7 & 0x80);
            } else if (b.extra_size < (1u << 20)) {
                std::vector<uint8_t> extra(size_t(b.extra_size) + 1);
                pqz2_extra_data(f, extra.data(), size_t(b.extra_size), nullptr);
            }
        }
        if (blocks && pqz2_seek_block(f, choice % blocks, &b) == PQZ2_OK &&
            b.kind == PQZ2_BLOCK_IMAGE)
            decodeCurrent(f, choice);
        pqz2_close(f);
    }
    pqz2_destroy(f);
    return 0;
}
