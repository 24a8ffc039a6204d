#include "pqz_document.h"

#include <cstring>

namespace pqz2_desktop {

namespace {

pqz2_file* createFile() {
    pqz2_options options;
    pqz2_options_init(&options);
    options.max_pixels = kMaxPixels;
    options.max_memory = kMaxMemory;
    return pqz2_create(&options);
}

}  // namespace

bool startsWithBlockTag(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    return size >= 4 && p[0] == 0x81 && (p[1] == 0x8A || p[1] == 0x90) && p[2] == '2' &&
           p[3] == '0';
}

size_t firstImageBytes(const void* data, size_t size) {
    pqz2_file* file = createFile();
    if (!file) return 0;
    size_t bytes = 0;
    pqz2_block block;
    if (pqz2_open_memory(file, data, size) == PQZ2_OK) {
        while (pqz2_next_block(file, &block) == PQZ2_OK) {
            if (block.kind != PQZ2_BLOCK_IMAGE) continue;
            if (block.offset + block.size <= size) bytes = size_t(block.offset + block.size);
            break;
        }
    }
    pqz2_destroy(file);
    return bytes;
}

Document::Document() : file_(createFile()) {}

Document::~Document() {
    pqz2_destroy(file_);
}

pqz2_status Document::open(const void* data, size_t size) {
    if (!file_) return PQZ2_ERR_NO_MEMORY;
    const pqz2_status opened = pqz2_open_memory(file_, data, size);
    if (opened != PQZ2_OK) return opened;
    pqz2_block block;
    for (;;) {
        const pqz2_status s = pqz2_next_block(file_, &block);
        if (s == PQZ2_END) break;
        if (s != PQZ2_OK) {
            walkStatus_ = s;
            const char* text = pqz2_message(file_);
            walkMessage_.assign(text, text + std::strlen(text) + 1);
            break;
        }
        if (block.kind == PQZ2_BLOCK_IMAGE) images_.push_back(block.index);
    }
    return PQZ2_OK;
}

pqz2_status Document::select(size_t index, pqz2_image_info* info) {
    if (!file_ || index >= images_.size()) return PQZ2_ERR_ARGUMENT;
    pqz2_block block;
    const pqz2_status s = pqz2_seek_block(file_, images_[index], &block);
    if (s != PQZ2_OK) return s;
    return pqz2_image_info_get(file_, info);
}

pqz2_status Document::decode(pqz2_format format, void* buffer, size_t size, size_t stride) {
    if (!file_) return PQZ2_ERR_NO_MEMORY;
    return pqz2_decode(file_, format, buffer, size, stride, nullptr);
}

const char* Document::message() const {
    return file_ ? pqz2_message(file_) : "out of memory";
}

bool showsValuesAsGrey(const pqz2_image_info& info) {
    return info.colour == PQZ2_COLOUR_VALUES && info.bits_per_pixel >= 9 &&
           info.bits_per_pixel <= 16;
}

void valuesToGrey16(uint16_t* row, uint32_t width, uint32_t bits) {
    const uint32_t max = (1u << bits) - 1;
    for (uint32_t x = 0; x < width; x++) row[x] = uint16_t((row[x] * 65535u + max / 2) / max);
}

void valuesToGrey8(const uint16_t* values, uint32_t width, uint32_t bits, uint8_t* out,
                   unsigned channels) {
    const uint32_t max = (1u << bits) - 1;
    for (uint32_t x = 0; x < width; x++) {
        const uint8_t grey = uint8_t((values[x] * 255u + max / 2) / max);
        for (unsigned c = 0; c < channels; c++) *out++ = grey;
    }
}

}  // namespace pqz2_desktop
