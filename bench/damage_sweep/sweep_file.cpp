#include "bench/damage_sweep/sweep_file.h"

#include <cstring>

#include "api/pqz2.h"
#include "bench/pqz_inputs.h"

namespace pqz::sweep {

namespace {

// Bytes that look like the start of a block, hidden in extra data and auxiliary headers so that
// a search for the next block meets false starts.
const std::vector<uint8_t> kFalseTags = {0x81, 0x8A, '2', '0', 0x20, 0x00, 0x18, 0x00,
                                         0x81, 0x90, '2', '0', 0x01, 0x00, 0x00, 0x00};

std::vector<uint8_t> filler(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    return v;
}

std::vector<enc::Picture> pictures(int side) {
    const enc::Picture photo = enc::loadImage("coffee.png");
    const int w = std::min(side, photo.width), h = std::min(side * 3 / 4, photo.height);
    const enc::Picture colour =
        enc::crop(photo, (photo.width - w) / 3, (photo.height - h) / 2, w, h);
    return {enc::toGrey(colour), colour};
}

// Writes one image per family and picture; every other image gets an auxiliary header and every
// third is preceded by an extra block, both with false block starts inside.
std::vector<std::string> writeImages(int side, enc::PqzWriter& w,
                                     std::vector<std::string>* missing) {
    std::vector<std::string> families;
    int n = 0;
    for (const bench::PqzMethod& m : bench::pqzMethods()) {
        if (!m.encode) {
            missing->push_back(m.name);
            continue;
        }
        for (const enc::Picture& p : pictures(side)) {
            enc::ImageBlock block;
            if (!m.encode(p, block)) continue;
            if (n % 3 == 0) {
                std::vector<uint8_t> data = filler(40 + n, n);
                data.insert(data.begin() + 8, kFalseTags.begin(), kFalseTags.end());
                w.extraBlock(uint32_t(n), data);
            }
            if (n % 2 == 1) block.aux = std::make_pair(uint32_t(100 + n), kFalseTags);
            w.imageBlock(block);
            families.push_back(m.name);
            n++;
        }
    }
    return families;
}

}  // namespace

uint32_t exactRows(const SweepImage& image, const uint8_t* decoded, uint32_t limit) {
    uint32_t y = 0;
    while (y < limit && y < image.height &&
           std::memcmp(decoded + y * image.rowBytes, image.pixels.data() + y * image.rowBytes,
                       image.rowBytes) == 0)
        y++;
    return y;
}

SweepFile buildSweepFile(int side, std::string* error) {
    SweepFile file;
    enc::PqzWriter w;
    const std::vector<std::string> families = writeImages(side, w, &file.familiesMissing);
    file.bytes = w.bytes();

    // The images as the reader sees them in the undamaged file.
    pqz2_file* f = pqz2_create(nullptr);
    pqz2_status s =
        f ? pqz2_open_memory(f, file.bytes.data(), file.bytes.size()) : PQZ2_ERR_NO_MEMORY;
    pqz2_block b;
    while (s == PQZ2_OK && (s = pqz2_next_block(f, &b)) == PQZ2_OK) {
        file.blockOffsets.push_back(b.offset);
        if (b.kind != PQZ2_BLOCK_IMAGE) continue;
        SweepImage image;
        pqz2_image_info info;
        void* pixels = nullptr;
        size_t stride = 0;
        if ((s = pqz2_image_info_get(f, &info)) != PQZ2_OK ||
            (s = pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, &pixels, &stride, nullptr)) != PQZ2_OK)
            break;
        image.family = families.at(file.images.size());
        image.blockIndex = b.index;
        image.offset = b.offset;
        image.end = b.offset + b.size;
        image.payloadOffset = info.payload_offset;
        image.payloadEnd = info.payload_offset + info.payload_size;
        image.height = info.height;
        image.rowBytes = stride;
        image.pixels.assign(static_cast<uint8_t*>(pixels),
                            static_cast<uint8_t*>(pixels) + stride * info.height);
        pqz2_free(pixels);
        file.images.push_back(std::move(image));
    }
    if (s != PQZ2_END) {
        *error = std::string("the undamaged file does not read back: ") + pqz2_message(f);
        file.bytes.clear();
    }
    pqz2_destroy(f);
    return file;
}

}  // namespace pqz::sweep
