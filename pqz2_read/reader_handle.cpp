// The ten functions of the historical interface, on top of the decoding API: the block walk of
// pqz2_next_block seen one block ahead, with the rules of this interface for blocks cut short
// (passing over one lands at the end of the file, reading one closes the file).
#include "pqz2_read/reader_handle.h"

#include <cstdlib>
#include <cstring>

#include "pqz2_read/dib.h"

static_assert(sizeof(DibImage) == 40, "the bitmap header is 40 bytes");
static_assert(sizeof(ExtraBlock) == 12, "records are type, length, data");

namespace pqz {

namespace {

// A handle that may read: not null, no error, opened.
ReaderHandle* usable(ReaderHandle* h) {
    return h && h->errorCode == 0 && h->file ? h : nullptr;
}

void forgetAhead(ReaderHandle* h) {
    h->aheadValid = false;
}

// After a damaged block the file is closed for good (a rewind cannot reopen it).
void closeFile(ReaderHandle* h) {
    h->closed = true;
    forgetAhead(h);
    pqz2_close(h->file);
}

void land(ReaderHandle* h) {
    h->landed = true;
    forgetAhead(h);
}

struct Ahead {
    int kind;  // PQZ_BLOCK_NONE, _IMAGE, _EXTRA or _END
    pqz2_damage damage;
};

// The block in front of the position, without passing it.
Ahead lookAhead(ReaderHandle* h) {
    if (h->landed) {
        h->eof = true;
        return {PQZ_BLOCK_END, PQZ2_DAMAGE_NONE};
    }
    if (!h->aheadValid) {
        h->aheadStatus = pqz2_next_block(h->file, &h->ahead);
        h->aheadValid = true;
    }
    const pqz2_block& b = h->ahead;
    switch (h->aheadStatus) {
        case PQZ2_OK:
            return {int(b.kind), PQZ2_DAMAGE_NONE};
        case PQZ2_END:
            h->eof = true;
            return {PQZ_BLOCK_END, PQZ2_DAMAGE_NONE};
        case PQZ2_ERR_DAMAGED:
            if (b.damage == PQZ2_DAMAGE_TAG_CUT) {  // a few bytes behind the last block
                h->eof = true;
                return {PQZ_BLOCK_END, PQZ2_DAMAGE_NONE};
            }
            return {b.kind == PQZ2_BLOCK_NONE ? PQZ_BLOCK_NONE : int(b.kind), b.damage};
        default:
            return {PQZ_BLOCK_NONE, PQZ2_DAMAGE_NO_TAG};
    }
}

// Passes over extra blocks to the next image and counts it. Returns the image's damage in
// *damage and true when its headers are whole; false when there is no image (the file may have
// been closed or landed at its end).
bool passToImage(ReaderHandle* h, pqz2_damage* damage) {
    for (;;) {
        if (h->closed) return false;
        const Ahead a = lookAhead(h);
        if (a.kind == PQZ_BLOCK_END) return false;
        if (a.kind == PQZ_BLOCK_EXTRA && a.damage == PQZ2_DAMAGE_NONE) {
            forgetAhead(h);
            continue;
        }
        if (a.kind == PQZ_BLOCK_EXTRA && a.damage == PQZ2_DAMAGE_DATA) {
            land(h);  // passing over data that is not there ends at the end of the file
            return false;
        }
        if (a.kind != PQZ_BLOCK_IMAGE || a.damage == PQZ2_DAMAGE_HEADER) {
            closeFile(h);
            return false;
        }
        h->imageCount++;
        if (a.damage == PQZ2_DAMAGE_AUX_HEADER) {
            closeFile(h);
            return false;
        }
        *damage = a.damage;
        return true;
    }
}

// A record of an auxiliary header or extra block: type, length (size rounded up to 4, at least
// 4), data zero-filled behind the stored bytes.
ExtraBlock* allocateRecord(uint32_t type, uint64_t size) {
    uint64_t length = (size + 3) & ~uint64_t(3);
    if (length == 0) length = 4;
    if (length > UINT32_MAX) return nullptr;
    auto* rec = static_cast<ExtraBlock*>(std::calloc(1, size_t(length) + 8));
    if (!rec) return nullptr;
    rec->type = type;
    rec->length = uint32_t(length);
    return rec;
}

ExtraBlock* readRecord(ReaderHandle* h, bool aux, uint32_t type, uint64_t size) {
    ExtraBlock* rec = allocateRecord(type, size);
    if (!rec) return nullptr;
    const pqz2_status s = aux ? pqz2_aux_data(h->file, rec->data, size_t(size), nullptr)
                              : pqz2_extra_data(h->file, rec->data, size_t(size), nullptr);
    if (s != PQZ2_OK) {
        std::free(rec);
        return nullptr;
    }
    return rec;
}

// Decodes the image in front (its headers whole) in the stored layout.
DecodedImage* decodeImage(ReaderHandle* h, pqz2_damage damage, AuxHeader** aux) {
    pqz2_image_info info;
    if (pqz2_image_info_get(h->file, &info) != PQZ2_OK) return nullptr;
    if (aux && info.has_aux) {
        // A header that announces more than the file holds is a damaged block.
        if (damage == PQZ2_DAMAGE_AUX) return nullptr;
        *aux = readRecord(h, true, info.aux_type, info.aux_size);
        if (!*aux) return nullptr;
    }
    // Bitmaps the 32-bit bitmap header cannot describe are refused, and so are blocks whose
    // data is not all in the file and raw payloads shorter than the rows, before the image is
    // allocated.
    const int n = int(info.bits_per_pixel);
    if (damage != PQZ2_DAMAGE_NONE || !dibSizeFits(info.width, info.height, n)) return nullptr;
    if (!info.compressed && info.payload_size < uint64_t(info.height) * info.native_row_bytes)
        return nullptr;
    const bool palette = (info.format_byte & 0x80) != 0;
    // The library decodes the stored layout straight into the buffer it returns (the decoders'
    // slack behind the rows); the record takes it over.
    void* rows = nullptr;
    size_t stride = 0;
    const pqz2_status s = pqz2_decode_alloc(h->file, PQZ2_FORMAT_NATIVE, &rows, &stride, nullptr);
    if (s == PQZ2_ERR_MISSING_MARKER) h->errorCode = PQZ_ERR_BAD_STREAM;
    if (s != PQZ2_OK) {
        pqz2_free(rows);
        return nullptr;
    }
    DecodedImage* img = adoptDecodedRows(static_cast<uint8_t*>(rows), &pqz2_free, info.width,
                                         info.height, n, palette);
    if (!img) {
        pqz2_free(rows);
        return nullptr;
    }
    img->format = info.format_byte;
    if (img->palette && !info.palette_inherited) {             // stored with the image
        for (uint32_t i = 0; i < info.palette_entries; i++) {  // stored blue, green, red
            img->palette[3 * i] = info.palette[i][2];
            img->palette[3 * i + 1] = info.palette[i][1];
            img->palette[3 * i + 2] = info.palette[i][0];
        }
    }
    return img;
}

// Passes over one image without decoding it.
void skipOneImage(ReaderHandle* h) {
    pqz2_damage damage;
    if (!passToImage(h, &damage)) return;
    if (damage == PQZ2_DAMAGE_NONE)
        forgetAhead(h);
    else
        land(h);
}

// Handles of failed opens. Nothing is allocated for them, so a caller that gives up without
// pqzClose leaks nothing, and nothing in them ever changes: every function but pqzGetLastError
// and pqzClose refuses a handle with an error code before touching it.
constexpr ReaderHandle failed(int32_t code) {
    ReaderHandle h{};
    h.errorCode = code;
    return h;
}
ReaderHandle failedOpens[] = {failed(PQZ_ERR_CANNOT_OPEN), failed(PQZ_ERR_BAD_FILE),
                              failed(PQZ_ERR_NO_MEMORY)};

ReaderHandle* failedOpen(int32_t code) {
    for (ReaderHandle& h : failedOpens)
        if (h.errorCode == code) return &h;
    return &failedOpens[0];
}

bool isFailedOpen(const ReaderHandle* h) {
    return h >= failedOpens && h < failedOpens + sizeof failedOpens / sizeof failedOpens[0];
}

}  // namespace

DecodedImage* readDecodedImage(ReaderHandle* handle, AuxHeader** aux) {
    if (handle->errorCode != 0 || !handle->file) return nullptr;
    if (aux) *aux = nullptr;
    pqz2_damage damage;
    if (!passToImage(handle, &damage)) return nullptr;
    DecodedImage* img = decodeImage(handle, damage, aux);
    if (handle->errorCode != 0) {  // a coded stream without its marker: nothing is handed out
        if (aux) {
            std::free(*aux);
            *aux = nullptr;
        }
        return nullptr;
    }
    if (!img) {
        closeFile(handle);  // the auxiliary header read so far stays with the caller
        return nullptr;
    }
    forgetAhead(handle);
    return img;
}

}  // namespace pqz

using namespace pqz;

extern "C" {

PQZ2_API ReaderHandle* pqzOpen(const char* fileName) {
    auto* h = static_cast<ReaderHandle*>(std::calloc(1, sizeof(ReaderHandle)));
    if (!h) return nullptr;
    pqz2_options options;
    pqz2_options_init(&options);
    options.max_pixels = UINT64_MAX;  // this interface refuses only what a bitmap cannot hold
    options.max_memory = UINT64_MAX;
    h->file = pqz2_create(&options);
    if (!h->file) {
        std::free(h);
        return failedOpen(PQZ_ERR_NO_MEMORY);
    }
    const pqz2_status s = pqz2_open_path(h->file, fileName);
    if (s == PQZ2_OK) {
        // The blocks up to the first image header must be valid.
        skipOneImage(h);
        if (h->closed) {
            h->errorCode = PQZ_ERR_BAD_FILE;
        } else if (!h->eof) {
            pqzRewind(h);
        }  // no image at all: stay at the end until a rewind
    } else {
        h->errorCode = s == PQZ2_ERR_NOT_PQZ     ? PQZ_ERR_BAD_FILE
                       : s == PQZ2_ERR_NO_MEMORY ? PQZ_ERR_NO_MEMORY
                                                 : PQZ_ERR_CANNOT_OPEN;
    }
    if (h->errorCode != 0) {
        const int32_t code = h->errorCode;
        pqz2_destroy(h->file);
        std::free(h);
        return failedOpen(code);
    }
    return h;
}

PQZ2_API int pqzClose(ReaderHandle* handle) {
    if (!handle) return 0;
    if (isFailedOpen(handle)) return 1;
    pqz2_destroy(handle->file);
    std::free(handle);
    return 1;
}

PQZ2_API DibImage* pqzReadImage(ReaderHandle* handle, AuxHeader** aux) {
    if (!handle) return nullptr;
    return convertToDib(handle, aux);
}

PQZ2_API ExtraBlock* pqzReadED(ReaderHandle* handle) {
    ReaderHandle* h = usable(handle);
    if (!h || h->closed) return nullptr;
    const Ahead a = lookAhead(h);
    if (a.kind == PQZ_BLOCK_END || a.kind == PQZ_BLOCK_IMAGE) return nullptr;  // left in place
    ExtraBlock* rec = nullptr;
    if (a.kind == PQZ_BLOCK_EXTRA && a.damage == PQZ2_DAMAGE_NONE)
        rec = readRecord(h, false, h->ahead.extra_type, h->ahead.extra_size);
    if (!rec) {
        closeFile(h);
        return nullptr;
    }
    forgetAhead(h);
    return rec;
}

PQZ2_API int pqzSkipImage(ReaderHandle* handle) {
    ReaderHandle* h = usable(handle);
    if (!h || h->closed || h->eof) return 0;
    skipOneImage(h);
    return !h->closed && !h->eof ? 1 : 0;
}

PQZ2_API int pqzRewind(ReaderHandle* handle) {
    ReaderHandle* h = usable(handle);
    if (!h) return 0;
    h->imageCount = 0;
    if (h->closed) return 0;
    if (pqz2_rewind(h->file) != PQZ2_OK) return 0;
    forgetAhead(h);
    h->landed = h->eof = false;
    return 1;
}

PQZ2_API int pqzGetNextBlockType(ReaderHandle* handle) {
    ReaderHandle* h = usable(handle);
    if (!h) return PQZ_BLOCK_NONE;
    const int t = h->closed ? PQZ_BLOCK_NONE : lookAhead(h).kind;
    if (t == PQZ_BLOCK_NONE) h->errorCode = PQZ_ERR_NO_BLOCK;
    return t;
}

PQZ2_API int pqzGetImageNumber(ReaderHandle* handle) {
    ReaderHandle* h = usable(handle);
    return h ? h->imageCount : -1;
}

PQZ2_API int pqzGetLastError(ReaderHandle* handle) {
    return handle ? handle->errorCode : 1;
}

PQZ2_API void pqzFreeResource(void* object) {
    std::free(object);
}

}  // extern "C"
