// Decoding the current image into a caller's buffer or a library buffer: checks of the
// arguments and limits before anything large is allocated, the payload decode, the conversion.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/core_seam.h"
#include "api/file.h"
#include "api/pixel_formats.h"
#include "pipeline/reader_state.h"

namespace pqz::api {

std::string damageMessage(const WalkedBlock& b);

namespace {

constexpr size_t kSlack = 8;  // zero bytes the decoders may read behind payloads and pixels

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

pqz2_status checkLimits(pqz2_file* file, const WalkedBlock& b, const pqz2_image_info& info) {
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

// Decodes the image's pixels in the stored layout into image.
pqz2_status decodePixels(pqz2_file* file, const WalkedBlock& b, DecodedImage& image,
                         const DecodeControl* control) {
    const ImageHeader& h = b.header;
    ByteSource& source = *file->source;
    if (!(h.flags & kFlagCompressed)) {
        // Bytes behind the rows of a longer raw payload are passed over.
        const size_t take = image.dataSize;
        if (source.readAt(b.payloadOffset, image.data, take) != int64_t(take))
            return fail(file, PQZ2_ERR_IO, "%s: the payload cannot be read", where(b).c_str());
        return PQZ2_OK;
    }
    std::unique_ptr<uint8_t, FreeDeleter> payload(
        static_cast<uint8_t*>(std::calloc(size_t(h.payloadSize) + kSlack, 1)));
    if (!payload) return fail(file, PQZ2_ERR_NO_MEMORY, "%s: out of memory", where(b).c_str());
    if (source.readAt(b.payloadOffset, payload.get(), h.payloadSize) != int64_t(h.payloadSize))
        return fail(file, PQZ2_ERR_IO, "%s: the payload cannot be read", where(b).c_str());
    return fromCore(file, b, decodePayload(image, h, payload.get(), h.payloadSize, control));
}

pqz2_status decodeCurrent(pqz2_file* file, pqz2_format format, void* buffer, size_t size,
                          size_t stride, pqz2_decode_result* result) {
    if (result) std::memset(result, 0, sizeof *result);
    const WalkedBlock* b = nullptr;
    if (pqz2_status s = currentImage(file, &b)) return s;
    if (unsigned(format) > PQZ2_FORMAT_INDEX8)
        return fail(file, PQZ2_ERR_ARGUMENT, "unknown pixel format %d", int(format));
    if (!buffer) return fail(file, PQZ2_ERR_ARGUMENT, "no buffer (NULL)");
    if (b->damage != BlockDamage::None)
        return fail(file, PQZ2_ERR_DAMAGED, "%s", damageMessage(*b).c_str());
    pqz2_image_info info;
    if (pqz2_status s = describeImage(file, *b, &info)) return s;
    const size_t rowBytes = minStride(info, format);
    if (rowBytes == 0 && formatLoss(info, format) == kNotAvailable)
        return fail(file, PQZ2_ERR_FORMAT,
                    "%s: pixel format %d is not available for %u bits per pixel", where(*b).c_str(),
                    int(format), info.bits_per_pixel);
    if (stride == 0) stride = rowBytes;
    if (stride < rowBytes)
        return fail(file, PQZ2_ERR_BUFFER_TOO_SMALL,
                    "%s: stride %zu is below the %zu bytes of a row", where(*b).c_str(), stride,
                    rowBytes);
    const uint64_t needed = info.height ? uint64_t(stride) * (info.height - 1) + rowBytes : 0;
    if (size < needed)
        return fail(file, PQZ2_ERR_BUFFER_TOO_SMALL, "%s: the buffer holds %zu bytes, %llu needed",
                    where(*b).c_str(), size, static_cast<unsigned long long>(needed));
    if (pqz2_status s = checkLimits(file, *b, info)) return s;
    // A raw payload holds every row; a shorter one is a damaged block, refused before the
    // image is allocated (a few bytes must not stand for a huge image).
    const uint64_t rows = uint64_t(info.height) * info.native_row_bytes;
    if (!info.compressed && info.payload_size < rows)
        return fail(file, PQZ2_ERR_DAMAGED, "%s: the raw payload holds %llu bytes, the rows %llu",
                    where(*b).c_str(), static_cast<unsigned long long>(info.payload_size),
                    static_cast<unsigned long long>(rows));

    const uint64_t total = totalRows(info);
    Progress progress{file->options.progress, file->options.progress_user};
    DecodeControl control{progress.fn ? &Progress::call : nullptr, &progress};
    if (progress.fn && Progress::call(&progress, 0, total))
        return fromCore(file, *b, Status::Cancelled);

    const int n = int(info.bits_per_pixel);
    std::unique_ptr<DecodedImage, void (*)(DecodedImage*)> image(
        createDecodedImage(info.width, info.height, n, false, true), &freeDecodedImage);
    if (!image) return fail(file, PQZ2_ERR_NO_MEMORY, "%s: out of memory", where(*b).c_str());
    image->format = b->header.format;
    if (pqz2_status s = decodePixels(file, *b, *image, progress.fn ? &control : nullptr)) return s;
    convertRows(info, format, image->data, image->rowBytes, static_cast<uint8_t*>(buffer), stride,
                info.height);
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
    return decodeCurrent(file, format, buffer, size, stride, result);
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
        return decodeCurrent(file, format, &none, 0, 0, result);
    }
    const uint64_t bytes = uint64_t(rowBytes) * info.height;
    if (pqz2_status s = checkLimits(file, file->current, info)) return s;
    void* buffer = std::malloc(bytes ? size_t(bytes) : 1);
    if (!buffer)
        return fail(file, PQZ2_ERR_NO_MEMORY, "out of memory for %llu bytes of pixels",
                    static_cast<unsigned long long>(bytes));
    const pqz2_status s = decodeCurrent(file, format, buffer, size_t(bytes), rowBytes, result);
    if (s != PQZ2_OK) {
        std::free(buffer);
        return s;
    }
    *pixels = buffer;
    *stride = rowBytes;
    return PQZ2_OK;
}

PQZ2_EXPORT void pqz2_free(void* pixels) {
    std::free(pixels);
}

}  // extern "C"
