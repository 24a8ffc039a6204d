// Decoding the current image into a caller's buffer or a library buffer: checks of the
// arguments and limits before anything large is allocated, the payload decode, the conversion.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/file.h"
#include "api/pixel_formats.h"
#include "pipeline/payload.h"

namespace pqz::api {

std::string damageMessage(const WalkedBlock& b);

namespace {

constexpr size_t kSlack = kPayloadSlack;  // zero bytes the decoders may read behind payloads

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Memory one decode allocates besides the caller's buffer: the image, the payload, and one
// plane when the planes pass through filters or the merge.
uint64_t decodeMemory(const pqz2_image_info& info) {
    const uint64_t pixels = uint64_t(info.width) * info.height;
    uint64_t bytes = uint64_t(info.native_row_bytes) * info.height + kSlack;
    if (info.compressed) bytes += info.payload_size + kSlack;
    if (info.has_plane_table) bytes += pixels + kSlack;
    return bytes;
}

uint64_t totalRows(const pqz2_image_info& info) {
    return uint64_t(info.height) *
           (info.separate_planes && info.has_plane_table ? info.plane_count : 1);
}

struct Progress {
    pqz2_progress_fn fn;
    void* user;
    // True when the caller asks to stop.
    static bool call(void* self, uint64_t done, uint64_t total) {
        auto* p = static_cast<Progress*>(self);
        return p->fn(p->user, done, total) != 0;
    }
};

// Bytes of the image's payload in the file: all of it, unless the file ends inside it (known
// only to salvage, which decodes what is there).
uint64_t payloadPresent(pqz2_file* file, const WalkedBlock& b) {
    const uint64_t size = b.header.payloadSize;
    if (!file->options.salvage || b.damage == BlockDamage::None ||
        b.damage == BlockDamage::PaletteCut)
        return size;
    ByteSource& source = *file->source;
    const int64_t end = source.size();
    if (end >= 0) {
        if (uint64_t(end) <= b.payloadOffset) return 0;
        const uint64_t there = uint64_t(end) - b.payloadOffset;
        return there < size ? there : size;
    }
    // Unknown size: the largest count of bytes present, by halving.
    uint64_t lo = 0, hi = size;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo + 1) / 2;
        if (bytesPresent(source, b.payloadOffset, mid))
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

// present: the payload bytes that will be loaded (payloadPresent).
pqz2_status checkLimits(pqz2_file* file, const WalkedBlock& b, pqz2_image_info info,
                        uint64_t present) {
    info.payload_size = present;  // a cut payload is loaded as far as it goes
    const uint64_t pixels = uint64_t(info.width) * info.height;
    if (pixels > file->options.max_pixels)
        return fail(file, PQZ2_ERR_LIMIT, "%s: %u x %u pixels exceed max_pixels (%llu)",
                    where(b).c_str(), info.width, info.height,
                    static_cast<unsigned long long>(file->options.max_pixels));
    const uint64_t memory = decodeMemory(info);
    if (memory > file->options.max_memory)
        return fail(file, PQZ2_ERR_LIMIT, "%s: decoding needs %llu bytes, above max_memory (%llu)",
                    where(b).c_str(), static_cast<unsigned long long>(memory),
                    static_cast<unsigned long long>(file->options.max_memory));
    return PQZ2_OK;
}

pqz2_status fromCore(pqz2_file* file, const WalkedBlock& b, Status s) {
    switch (s) {
        case Status::Ok:
            return PQZ2_OK;
        case Status::MissingMarker:
            return fail(file, PQZ2_ERR_MISSING_MARKER,
                        "%s: a coded stream lacks its opening marker", where(b).c_str());
        case Status::Unsupported:
            return fail(file, PQZ2_ERR_UNSUPPORTED, "%s: the coding of the image is not supported",
                        where(b).c_str());
        case Status::LimitExceeded:
            return fail(file, PQZ2_ERR_LIMIT, "%s: a decoder table would exceed its limit",
                        where(b).c_str());
        case Status::OutOfMemory:
            return fail(file, PQZ2_ERR_NO_MEMORY, "%s: out of memory while decoding",
                        where(b).c_str());
        case Status::Cancelled:
            return fail(file, PQZ2_ERR_CANCELLED, "%s: cancelled by the progress callback",
                        where(b).c_str());
        default:
            return fail(file, PQZ2_ERR_DAMAGED, "%s: the coded data is damaged", where(b).c_str());
    }
}

// Decodes the image's pixels in the stored layout into image from the present bytes of its
// payload. Without salvage (salvaged null) any failure of the decoders is returned. With
// salvage, *core receives the decoders' status and salvaged the rows they kept; only failures
// of the file and of memory are returned.
pqz2_status decodePixels(pqz2_file* file, const WalkedBlock& b, DecodedImage& image,
                         const DecodeControl* control, uint64_t present, SalvagedRows* salvaged,
                         Status* core) {
    const ImageHeader& h = b.header;
    ByteSource& source = *file->source;
    if (!(h.flags & kFlagCompressed)) {
        // Bytes behind the rows of a longer raw payload are passed over; with salvage, a
        // shorter one gives the rows it holds.
        const size_t take = present < image.dataSize ? size_t(present) : image.dataSize;
        if (source.readAt(b.payloadOffset, image.data, take) != int64_t(take))
            return fail(file, PQZ2_ERR_IO, "%s: the payload cannot be read", where(b).c_str());
        if (salvaged) {
            salvaged->goodRows = image.rowBytes ? uint32_t(take / image.rowBytes) : image.height;
            salvaged->damageAt = take;
        }
        return PQZ2_OK;
    }
    // The read fills the present bytes (or the decode is given up); only the slack is zeroed.
    std::unique_ptr<uint8_t, FreeDeleter> payload(
        static_cast<uint8_t*>(std::malloc(size_t(present) + kSlack)));
    if (!payload) return fail(file, PQZ2_ERR_NO_MEMORY, "%s: out of memory", where(b).c_str());
    std::memset(payload.get() + present, 0, kSlack);
    if (source.readAt(b.payloadOffset, payload.get(), present) != int64_t(present))
        return fail(file, PQZ2_ERR_IO, "%s: the payload cannot be read", where(b).c_str());
    if (!salvaged)
        return fromCore(file, b, decodePayload(image, h, payload.get(), h.payloadSize, control));
    *core = salvagePayload(image, h, payload.get(), size_t(present), control, salvaged);
    return PQZ2_OK;
}

// Salvage: the outcome of a decode whose pixels are in image, or already in out when copy is
// null. Damage gives PQZ2_PARTIAL with the trusted rows converted and the rest zero; failures
// that are not damage keep their status.
pqz2_status finishSalvage(pqz2_file* file, const WalkedBlock& b, const pqz2_image_info& info,
                          const DecodedImage* copy, pqz2_format format, uint8_t* out, size_t stride,
                          uint64_t present, const SalvagedRows& rows, Status core,
                          pqz2_decode_result* result) {
    const bool cut = present < b.header.payloadSize;
    if (core == Status::Cancelled || core == Status::OutOfMemory ||
        (!cut && (core == Status::Unsupported || core == Status::LimitExceeded)))
        return fromCore(file, b, core);
    uint32_t good = rows.goodRows < info.height ? rows.goodRows : info.height;
    // Without its palette a palette image has no colours; its values are whole.
    const bool colours =
        format == PQZ2_FORMAT_GREY8 || format == PQZ2_FORMAT_RGB8 || format == PQZ2_FORMAT_RGBA8;
    if (b.damage == BlockDamage::PaletteCut && info.colour == PQZ2_COLOUR_PALETTE && colours)
        good = 0;
    const bool damaged = b.damage != BlockDamage::None || core != Status::Ok || good < info.height;
    const size_t rowBytes = minStride(info, format);
    if (copy) convertRows(info, format, copy->data, copy->rowBytes, out, stride, good);
    for (uint32_t y = good; y < info.height; y++) std::memset(out + y * stride, 0, rowBytes);
    if (result) {
        result->damaged = damaged;
        result->good_rows = good;
    }
    if (!damaged) return ok(file);
    std::string why;
    if (b.damage != BlockDamage::None)
        why = std::string(damageText(b.damage)) + " (" + std::to_string(present) + " of " +
              std::to_string(b.header.payloadSize) + " payload bytes there)";
    else if (!info.compressed)
        why = "the raw payload holds " + std::to_string(present) + " bytes, the rows " +
              std::to_string(uint64_t(info.height) * info.native_row_bytes);
    else
        why = "the coded data is damaged, found near payload byte " +
              std::to_string(rows.damageAt) + " (file offset " +
              std::to_string(b.payloadOffset + rows.damageAt) + ")";
    return fail(file, PQZ2_PARTIAL, "%s: %s; %u of %u rows kept", where(b).c_str(), why.c_str(),
                good, info.height);
}

// Who owns the buffer a decode writes to.
enum class Buffer {
    Caller,   // the caller's: on failure it is left as it was, except after damage
    Library,  // pqz2_decode_alloc's: kPixelSlack zero bytes behind the rows, the rows zeroed
              // where the decoders read ahead (pixelDataUse), released on failure
};

// Whether the pixels are decoded straight into the buffer rather than into a record of the
// library's and then copied: only in the stored layout with the rows back to back. The library's
// own buffer always is. A caller's buffer is when the decoders read none of its bytes before
// writing them (it holds anything, and nothing behind the rows is theirs) and, once they have
// begun writing, nothing but damage (which leaves the content unspecified) can stop them: not
// with a progress callback that may cancel, a raw read that may fail half way, or planes that
// allocate one after another.
bool decodesInPlace(const pqz2_file* file, const WalkedBlock& b, pqz2_format format, size_t stride,
                    size_t rowBytes, Buffer owner) {
    if (format != PQZ2_FORMAT_NATIVE || stride != rowBytes) return false;
    if (owner == Buffer::Library) return true;
    const PixelDataUse use = pixelDataUse(b.header);
    return !file->options.progress && !use.readsAhead && !use.failsAfterWriting;
}

// The checks of format, buffer, stride and size; *rowBytes receives the smallest stride and
// *stride the stride in use.
pqz2_status checkBuffer(pqz2_file* file, const WalkedBlock& b, const pqz2_image_info& info,
                        pqz2_format format, size_t size, size_t* stride, size_t* rowBytes) {
    *rowBytes = minStride(info, format);
    if (*rowBytes == 0 && formatLoss(info, format) == kNotAvailable)
        return fail(file, PQZ2_ERR_FORMAT,
                    "%s: pixel format %d is not available for %u bits per pixel", where(b).c_str(),
                    int(format), info.bits_per_pixel);
    if (*stride == 0) *stride = *rowBytes;
    if (*stride < *rowBytes)
        return fail(file, PQZ2_ERR_BUFFER_TOO_SMALL,
                    "%s: stride %zu is below the %zu bytes of a row", where(b).c_str(), *stride,
                    *rowBytes);
    const uint64_t needed = info.height ? uint64_t(*stride) * (info.height - 1) + *rowBytes : 0;
    if (size < needed)
        return fail(file, PQZ2_ERR_BUFFER_TOO_SMALL, "%s: the buffer holds %zu bytes, %llu needed",
                    where(b).c_str(), size, static_cast<unsigned long long>(needed));
    return PQZ2_OK;
}

pqz2_status decodeCurrent(pqz2_file* file, pqz2_format format, void* buffer, size_t size,
                          size_t stride, pqz2_decode_result* result, Buffer owner) {
    if (result) std::memset(result, 0, sizeof *result);
    const WalkedBlock* b = nullptr;
    if (pqz2_status s = currentImage(file, &b)) return s;
    if (unsigned(format) > PQZ2_FORMAT_INDEX8)
        return fail(file, PQZ2_ERR_ARGUMENT, "unknown pixel format %d", int(format));
    if (!buffer) return fail(file, PQZ2_ERR_ARGUMENT, "no buffer (NULL)");
    const bool salvage = file->options.salvage != 0;
    if (b->damage != BlockDamage::None && !salvage)
        return fail(file, PQZ2_ERR_DAMAGED, "%s", damageMessage(*b).c_str());
    pqz2_image_info info;
    if (pqz2_status s = describeImage(file, *b, &info)) return s;
    size_t rowBytes = 0;
    if (pqz2_status s = checkBuffer(file, *b, info, format, size, &stride, &rowBytes)) return s;
    const uint64_t present = payloadPresent(file, *b);
    if (pqz2_status s = checkLimits(file, *b, info, present)) return s;
    // A raw payload holds every row; a shorter one is a damaged block, refused before the
    // image is allocated (a few bytes must not stand for a huge image). Salvage gives the rows
    // it holds, within the limits.
    const uint64_t rows = uint64_t(info.height) * info.native_row_bytes;
    if (!info.compressed && info.payload_size < rows && !salvage)
        return fail(file, PQZ2_ERR_DAMAGED, "%s: the raw payload holds %llu bytes, the rows %llu",
                    where(*b).c_str(), static_cast<unsigned long long>(info.payload_size),
                    static_cast<unsigned long long>(rows));

    const uint64_t total = totalRows(info);
    Progress progress{file->options.progress, file->options.progress_user};
    DecodeControl control{progress.fn ? &Progress::call : nullptr, &progress};
    if (progress.fn && Progress::call(&progress, 0, total))
        return fromCore(file, *b, Status::Cancelled);

    const int n = int(info.bits_per_pixel);
    uint8_t* const out = static_cast<uint8_t*>(buffer);
    const bool inPlace = decodesInPlace(file, *b, format, stride, rowBytes, owner);
    DecodedImage direct{};
    DecodedImagePtr copied;
    if (inPlace) {
        direct = decodedImageOver(out, info.width, info.height, n);
    } else {
        copied.reset(createDecodedImage(info.width, info.height, n, false, true));
        if (!copied) return fail(file, PQZ2_ERR_NO_MEMORY, "%s: out of memory", where(*b).c_str());
    }
    DecodedImage& image = inPlace ? direct : *copied;
    image.format = b->header.format;
    const DecodeControl* pass = progress.fn ? &control : nullptr;
    if (salvage) {
        SalvagedRows kept;
        Status core = Status::Ok;
        if (pqz2_status s = decodePixels(file, *b, image, pass, present, &kept, &core)) return s;
        const pqz2_status s = finishSalvage(file, *b, info, copied.get(), format, out, stride,
                                            present, kept, core, result);
        if ((s == PQZ2_OK || s == PQZ2_PARTIAL) && progress.fn)
            Progress::call(&progress, total, total);
        return s;
    }
    if (pqz2_status s = decodePixels(file, *b, image, pass, present, nullptr, nullptr)) return s;
    if (copied) convertRows(info, format, copied->data, copied->rowBytes, out, stride, info.height);
    if (progress.fn) Progress::call(&progress, total, total);
    if (result) result->good_rows = info.height;
    return ok(file);
}

}  // namespace
}  // namespace pqz::api

using namespace pqz;
using namespace pqz::api;

extern "C" {

PQZ2_EXPORT const char* pqz2_format_loss(const pqz2_image_info* info, pqz2_format format) {
    return info ? formatLoss(*info, format) : kNotAvailable;
}

PQZ2_EXPORT size_t pqz2_min_stride(const pqz2_image_info* info, pqz2_format format) {
    return info ? minStride(*info, format) : 0;
}

PQZ2_EXPORT pqz2_status pqz2_decode(pqz2_file* file, pqz2_format format, void* buffer, size_t size,
                                    size_t stride, pqz2_decode_result* result) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    return decodeCurrent(file, format, buffer, size, stride, result, Buffer::Caller);
}

PQZ2_EXPORT pqz2_status pqz2_decode_alloc(pqz2_file* file, pqz2_format format, void** pixels,
                                          size_t* stride, pqz2_decode_result* result) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!pixels || !stride)
        return fail(file, PQZ2_ERR_ARGUMENT, "no pixels or stride pointer (NULL)");
    *pixels = nullptr;
    *stride = 0;
    pqz2_image_info info;
    if (pqz2_status s = pqz2_image_info_get(file, &info)) return s;
    const size_t rowBytes = minStride(info, format);
    if (unsigned(format) > PQZ2_FORMAT_INDEX8 || formatLoss(info, format) == kNotAvailable) {
        uint8_t none;  // decodeCurrent reports the format
        return decodeCurrent(file, format, &none, 0, 0, result, Buffer::Caller);
    }
    const uint64_t bytes = uint64_t(rowBytes) * info.height;
    if (pqz2_status s = checkLimits(file, file->current, info, payloadPresent(file, file->current)))
        return s;
    // The stored layout is decoded straight into the buffer returned, which gets the slack the
    // decoders want behind the rows; its rows are zeroed only for decoders that read ahead.
    const bool direct = format == PQZ2_FORMAT_NATIVE;
    const size_t slack = direct ? kPixelSlack : 0;
    const size_t allocated = size_t(bytes) + slack;
    const bool zero = direct && pixelDataUse(file->current.header).readsAhead;
    void* buffer = zero ? std::calloc(allocated, 1) : std::malloc(allocated ? allocated : 1);
    if (!buffer)
        return fail(file, PQZ2_ERR_NO_MEMORY, "out of memory for %llu bytes of pixels",
                    static_cast<unsigned long long>(bytes));
    if (direct && !zero) std::memset(static_cast<uint8_t*>(buffer) + bytes, 0, slack);
    const pqz2_status s = decodeCurrent(file, format, buffer, size_t(bytes), rowBytes, result,
                                        direct ? Buffer::Library : Buffer::Caller);
    if (s != PQZ2_OK && s != PQZ2_PARTIAL) {
        std::free(buffer);
        return s;
    }
    *pixels = buffer;
    *stride = rowBytes;
    return s;
}

PQZ2_EXPORT void pqz2_free(void* pixels) {
    std::free(pixels);
}

}  // extern "C"
