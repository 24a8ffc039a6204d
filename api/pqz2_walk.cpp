// Walking the blocks: next, rewind, seek, the data of extra blocks and auxiliary headers, and
// the information of an image read from its headers, payload head and palette.
#include <cstring>

#include "api/file.h"
#include "reader/inspect.h"

namespace pqz::api {

std::string damageMessage(const WalkedBlock& b);

namespace {

pqz2_status needOpen(pqz2_file* file) {
    if (!file->source) return fail(file, PQZ2_ERR_ORDER, "no file is open");
    return PQZ2_OK;
}

void fillBlock(const WalkedBlock& w, pqz2_block* b) {
    std::memset(b, 0, sizeof *b);
    const bool known = w.damage != BlockDamage::TagCut && w.damage != BlockDamage::NoTag;
    b->kind = !known ? PQZ2_BLOCK_NONE : w.image ? PQZ2_BLOCK_IMAGE : PQZ2_BLOCK_EXTRA;
    b->index = w.index;
    b->image_index = w.imageIndex;
    b->offset = w.offset;
    b->size = w.size;
    b->extra_type = w.extraType;
    b->extra_size = w.extraSize;
    b->skipped_offset = w.skippedSize ? w.skippedOffset : w.offset;
    b->skipped_size = w.skippedSize;
    b->damage = pqz2_damage(w.damage);
}

bool ownPalette(const ImageHeader& h) {
    return (h.format & kFormatPalette) && h.bitsPerPixel() <= 8;
}

// Reads the palette of an image (blue, green, red per entry in the file) as red, green, blue.
bool readPalette(pqz2_file* file, const WalkedBlock& b, uint8_t rgb[256][3]) {
    uint8_t bgr[768];
    const size_t bytes = size_t(b.paletteBytes);
    if (file->source->readAt(b.paletteOffset, bgr, bytes) != int64_t(bytes)) return false;
    for (size_t i = 0; i < bytes / 3; i++) {
        rgb[i][0] = bgr[3 * i + 2];
        rgb[i][1] = bgr[3 * i + 1];
        rgb[i][2] = bgr[3 * i];
    }
    return true;
}

// The palette of the current block passes on to the images behind it when the block is a colour
// image with a palette; a grey image's palette does not, except at 2 bits. 2-bit images are shown
// as 4-bit colour images, so a 2-bit palette (grey or not) passes on as 16 entries, the 12
// behind its own black.
void passCurrent(pqz2_file* file) {
    if (!file->hasCurrent) return;
    const WalkedBlock& b = file->current;
    const int n = b.header.bitsPerPixel();
    if (b.image && b.damage == BlockDamage::None && ownPalette(b.header) &&
        (!(b.header.format & kFormatGrey) || n == 2)) {
        if (n == 2) std::memset(file->inherited, 0, 16 * 3);
        readPalette(file, b, file->inherited);
    }
    file->hasCurrent = false;
}

pqz2_coding planeCoding(const ImageHeader& h, const PlaneDescriptor* d) {
    if (!(h.flags & kFlagCompressed)) return PQZ2_CODING_RAW;
    if (!(h.flags & kFlagRangeCoded)) return PQZ2_CODING_BITSTREAM;
    if (!d || !d->modelFlag()) return PQZ2_CODING_CONTEXT_MODEL;
    if (d->method() == 1) return PQZ2_CODING_METHOD1;
    if (d->method() == 2) return PQZ2_CODING_METHOD2;
    return PQZ2_CODING_NONE;
}

pqz2_colour colourOf(const ImageHeader& h) {
    const int n = h.bitsPerPixel();
    if (n <= 8) return (h.format & kFormatGrey) ? PQZ2_COLOUR_GREY : PQZ2_COLOUR_PALETTE;
    if (n == 15 || n == 16) return PQZ2_COLOUR_RGB555;
    if (n >= 17 && n <= 32) return PQZ2_COLOUR_BGR;
    return PQZ2_COLOUR_VALUES;
}

// Plane table from the first bytes of the payload, when the image has one.
pqz2_status describePlanes(pqz2_file* file, const WalkedBlock& b, pqz2_image_info* info) {
    uint8_t head[16] = {};
    const size_t want = b.header.payloadSize < 16 ? b.header.payloadSize : 16;
    const int64_t got = file->source->readAt(b.payloadOffset, head, want);
    if (got < 0) return fail(file, PQZ2_ERR_IO, "%s: the payload cannot be read", where(b).c_str());
    BlockInfo table;
    if (!readPlaneTable(b.header, head, size_t(got), &table)) {
        info->coding = planeCoding(b.header, nullptr);
        return PQZ2_OK;
    }
    info->has_plane_table = 1;
    info->tolerance = uint32_t(table.tolerance);
    info->plane_count = uint32_t(table.planeCount);
    int first = 0;
    for (int p = 0; p < table.planeCount; p++) {
        const PlaneDescriptor& d = table.planes[p];
        pqz2_plane_info& out = info->planes[p];
        out.order = d.order;
        out.method = uint8_t(d.method());
        out.model_flag = d.modelFlag();
        out.has_reference = d.hasReference();
        out.offset = d.offset;
        for (int k = 0; k < 3; k++) out.coef[k] = int16_t(d.coef[k]);
        out.coding = planeCoding(b.header, &d);
        if (d.order < table.planes[first].order) first = p;
    }
    // Interleaved planes are decoded together the way the first descriptor says; separate
    // planes one by one, the first in the decoding order opening the payload.
    info->coding = (b.header.flags & kFlagSeparatePlanes) ? info->planes[first].coding
                                                          : info->planes[0].coding;
    return PQZ2_OK;
}

}  // namespace

pqz2_status currentImage(pqz2_file* file, const WalkedBlock** block) {
    if (pqz2_status s = needOpen(file)) return s;
    if (!file->hasCurrent)
        return fail(file, PQZ2_ERR_ORDER, "no current block: call pqz2_next_block first");
    if (!file->current.image)
        return fail(file, PQZ2_ERR_ORDER, "%s is an extra block, not an image",
                    where(file->current).c_str());
    *block = &file->current;
    return PQZ2_OK;
}

pqz2_status describeImage(pqz2_file* file, const WalkedBlock& b, pqz2_image_info* info) {
    std::memset(info, 0, sizeof *info);
    const ImageHeader& h = b.header;
    const int n = h.bitsPerPixel();
    info->width = h.width;
    info->height = h.height;
    info->bits_per_pixel = uint32_t(n);
    info->bytes_per_pixel = uint32_t(n + 7) / 8;
    info->format_byte = h.format;
    info->flags_byte = h.flags;
    info->colour = colourOf(h);
    info->compressed = (h.flags & kFlagCompressed) != 0;
    info->separate_planes = (h.flags & kFlagSeparatePlanes) != 0;
    info->payload_offset = b.payloadOffset;
    info->payload_size = h.payloadSize;
    info->native_row_bytes = packedRowBytes(h.width, n);
    info->has_aux = b.hasAux;
    info->aux_type = b.auxType;
    info->aux_size = b.auxSize;
    if (pqz2_status s = describePlanes(file, b, info)) return s;
    if (ownPalette(h)) {
        info->palette_entries = 1u << n;
        if (b.damage == BlockDamage::None && !readPalette(file, b, info->palette))
            return fail(file, PQZ2_ERR_IO, "%s: the palette cannot be read", where(b).c_str());
    } else if (info->colour == PQZ2_COLOUR_PALETTE) {
        info->palette_entries = 1u << n;
        info->palette_inherited = 1;
        std::memcpy(info->palette, file->inherited, 3 * size_t(info->palette_entries));
    }
    return PQZ2_OK;
}

}  // namespace pqz::api

using namespace pqz;
using namespace pqz::api;

extern "C" {

PQZ2_EXPORT pqz2_status pqz2_next_block(pqz2_file* file, pqz2_block* block) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!block) return fail(file, PQZ2_ERR_ARGUMENT, "no block structure (NULL)");
    if (pqz2_status s = needOpen(file)) return s;
    passCurrent(file);
    WalkedBlock w;
    const WalkResult r = file->options.salvage ? file->walk->salvage(&w) : file->walk->next(&w);
    fillBlock(w, block);
    switch (r) {
        case WalkResult::Ok:
            file->current = w;
            file->hasCurrent = true;
            return ok(file);
        case WalkResult::End:
            block->kind = PQZ2_BLOCK_NONE;
            if (w.skippedSize)
                return fail(file, PQZ2_END,
                            "end of the file at byte offset %llu (%u blocks); bytes %llu to %llu "
                            "hold no valid block",
                            static_cast<unsigned long long>(w.offset), w.index,
                            static_cast<unsigned long long>(w.skippedOffset),
                            static_cast<unsigned long long>(w.offset - 1));
            return fail(file, PQZ2_END, "end of the file at byte offset %llu (%u blocks)",
                        static_cast<unsigned long long>(w.offset), w.index);
        case WalkResult::IoError:
            return fail(file, PQZ2_ERR_IO, "%s: the data cannot be read", where(w).c_str());
        case WalkResult::Damaged:
            break;
    }
    if (w.headersComplete()) {
        file->current = w;
        file->hasCurrent = true;
    }
    return fail(file, PQZ2_ERR_DAMAGED, "%s", damageMessage(w).c_str());
}

PQZ2_EXPORT pqz2_status pqz2_rewind(pqz2_file* file) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (pqz2_status s = needOpen(file)) return s;
    file->walk->rewind();
    file->hasCurrent = false;
    std::memset(file->inherited, 0, sizeof file->inherited);
    return ok(file);
}

PQZ2_EXPORT pqz2_status pqz2_seek_block(pqz2_file* file, uint32_t index, pqz2_block* block) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!block) return fail(file, PQZ2_ERR_ARGUMENT, "no block structure (NULL)");
    if (pqz2_status s = pqz2_rewind(file)) return s;
    // With salvage the walk goes on behind a damaged block.
    const bool salvage = file->options.salvage != 0;
    for (uint32_t i = 0;; i++) {
        const pqz2_status s = pqz2_next_block(file, block);
        if (i == index || !(s == PQZ2_OK || (salvage && s == PQZ2_ERR_DAMAGED))) return s;
    }
}

PQZ2_EXPORT pqz2_status pqz2_extra_data(pqz2_file* file, void* buffer, size_t size,
                                        size_t* needed) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (pqz2_status s = needOpen(file)) return s;
    if (!file->hasCurrent || file->current.image)
        return fail(file, PQZ2_ERR_ORDER, "the current block is not an extra block");
    const WalkedBlock& b = file->current;
    if (needed) *needed = b.extraSize;
    if (b.damage != BlockDamage::None)
        return fail(file, PQZ2_ERR_DAMAGED, "%s", damageMessage(b).c_str());
    if (!buffer || size == 0) return ok(file);
    const size_t take = size < b.extraSize ? size : b.extraSize;
    if (file->source->readAt(b.dataOffset, buffer, take) != int64_t(take))
        return fail(file, PQZ2_ERR_IO, "%s: the data cannot be read", where(b).c_str());
    if (size < b.extraSize)
        return fail(file, PQZ2_ERR_BUFFER_TOO_SMALL, "%s: %u bytes of data, the buffer holds %zu",
                    where(b).c_str(), b.extraSize, size);
    return ok(file);
}

PQZ2_EXPORT pqz2_status pqz2_aux_data(pqz2_file* file, void* buffer, size_t size, size_t* needed) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    const WalkedBlock* b = nullptr;
    if (pqz2_status s = currentImage(file, &b)) return s;
    if (needed) *needed = b->hasAux ? b->auxSize : 0;
    if (!b->hasAux) return ok(file);
    if (b->damage == BlockDamage::AuxCut)
        return fail(file, PQZ2_ERR_DAMAGED, "%s", damageMessage(*b).c_str());
    if (!buffer || size == 0) return ok(file);
    const size_t take = size < b->auxSize ? size : b->auxSize;
    if (file->source->readAt(b->auxOffset, buffer, take) != int64_t(take))
        return fail(file, PQZ2_ERR_IO, "%s: the auxiliary header cannot be read",
                    where(*b).c_str());
    if (size < b->auxSize)
        return fail(file, PQZ2_ERR_BUFFER_TOO_SMALL,
                    "%s: %u bytes of auxiliary header, the buffer holds %zu", where(*b).c_str(),
                    b->auxSize, size);
    return ok(file);
}

PQZ2_EXPORT pqz2_status pqz2_image_info_get(pqz2_file* file, pqz2_image_info* info) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!info) return fail(file, PQZ2_ERR_ARGUMENT, "no information structure (NULL)");
    const WalkedBlock* b = nullptr;
    if (pqz2_status s = currentImage(file, &b)) return s;
    if (pqz2_status s = describeImage(file, *b, info)) return s;
    return ok(file);
}

}  // extern "C"
