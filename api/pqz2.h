/*
 * pqz2: the decoding API of the PQZ2 reader.
 *
 * A PQZ file is a sequence of blocks with no file header and no index: image blocks and extra
 * blocks (typed application data). This API opens a file from a path, from memory or from
 * read/seek callbacks, walks its blocks, tells an image's details without decoding it, and
 * decodes an image into a buffer in a chosen pixel layout: by default the stored pixels exactly
 * as the file holds them (every bit of every pixel), or one of a few convenient conversions.
 *
 *     pqz2_file* f = pqz2_create(NULL);                 // NULL options: the defaults
 *     if (pqz2_open_memory(f, data, size) != PQZ2_OK) { puts(pqz2_message(f)); ... }
 *     pqz2_block b;
 *     while (pqz2_next_block(f, &b) == PQZ2_OK) {
 *         if (b.kind != PQZ2_BLOCK_IMAGE) continue;
 *         pqz2_image_info info;
 *         pqz2_image_info_get(f, &info);
 *         size_t stride = pqz2_min_stride(&info, PQZ2_FORMAT_RGBA8);
 *         ... allocate stride * info.height bytes ...
 *         pqz2_decode(f, PQZ2_FORMAT_RGBA8, buffer, stride * info.height, stride, NULL);
 *     }
 *     pqz2_destroy(f);
 *
 * Status and messages: every call that can fail returns a pqz2_status. pqz2_status_text gives
 * a fixed text for a status; pqz2_message gives the message of the most recent call on a file
 * object, saying what and where (block number, byte offset, which limit). Nothing is sticky:
 * a failed call leaves the object usable for the calls that still make sense (a file whose
 * block sequence is broken reports that again at the same place).
 *
 * Threads: a pqz2_file may be used from any thread, but by one thread at a time. Different
 * pqz2_file objects are independent and may be used from different threads at the same time.
 * Decoding does not depend on, and restores, the caller's floating-point settings.
 *
 * Only the functions and types of this header are exported by the library.
 */
#ifndef PQZ2_H
#define PQZ2_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(PQZ2_BUILDING_LIBRARY)
#define PQZ2_EXPORT __declspec(dllexport)
#else
#define PQZ2_EXPORT __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define PQZ2_EXPORT __attribute__((visibility("default")))
#else
#define PQZ2_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define PQZ2_VERSION_MAJOR 2
#define PQZ2_VERSION_MINOR 0
#define PQZ2_VERSION_PATCH 0

/* The library's version as MAJOR * 10000 + MINOR * 100 + PATCH, and as text "2.0.0". */
PQZ2_EXPORT uint32_t pqz2_version(void);
PQZ2_EXPORT const char* pqz2_version_text(void);

/* ---------------------------------------------------------------------------------------- */
/* Status                                                                                    */

typedef enum pqz2_status {
    PQZ2_OK = 0,
    PQZ2_END = 1,                   /* no more blocks: the walk reached the end of the file */
    PQZ2_PARTIAL = 2,               /* salvage only: a damaged image was returned in part
                                       (see pqz2_decode_result) */
    PQZ2_ERR_ARGUMENT = 10,         /* a null pointer, an unknown format or option value */
    PQZ2_ERR_BUFFER_TOO_SMALL = 11, /* stride or buffer size below what the image needs */
    PQZ2_ERR_ORDER = 12,            /* call out of order: no file open, file already open,
                                       no current block, current block of the other kind */
    PQZ2_ERR_IO = 20,               /* the file cannot be opened or read, or a callback failed */
    PQZ2_ERR_NOT_PQZ = 21,          /* the data does not start with valid blocks */
    PQZ2_ERR_DAMAGED = 22,          /* a block or its coded data is damaged or cut short */
    PQZ2_ERR_MISSING_MARKER = 23,   /* a coded stream lacks its opening marker */
    PQZ2_ERR_UNSUPPORTED = 24,      /* a valid block in a layout this reader refuses */
    PQZ2_ERR_FORMAT = 25,           /* the requested pixel format is not available for this image */
    PQZ2_ERR_LIMIT = 30,            /* the image exceeds a limit set in pqz2_options */
    PQZ2_ERR_NO_MEMORY = 31,        /* memory cannot be allocated */
    PQZ2_ERR_CANCELLED = 32         /* the progress callback asked to stop */
} pqz2_status;

/* Fixed text of a status, e.g. "damaged data"; never NULL. */
PQZ2_EXPORT const char* pqz2_status_text(pqz2_status status);

/* ---------------------------------------------------------------------------------------- */
/* Options and the file object                                                               */

/* Progress of a decode: work done and work in all, in rows (over all passes of an image with
 * separately coded planes). Called from the decoding thread with done = 0 before anything large
 * is allocated, during the decode, and with done = total once at the end (whose return value
 * no longer matters). Return non-zero to stop the decode: it then returns PQZ2_ERR_CANCELLED,
 * releases what it allocated, and the file stays usable. */
typedef int (*pqz2_progress_fn)(void* user, uint64_t done, uint64_t total);

typedef struct pqz2_options {
    uint32_t struct_size;      /* sizeof(pqz2_options); set by pqz2_options_init */
    uint64_t max_pixels;       /* largest width * height decoded; default 1 << 28 */
    uint64_t max_memory;       /* largest memory one decode may hold for the image, its
                                  payload and its planes, caller buffer excluded (the decoders'
                                  model tables, a few MB at most, come on top); default
                                  1 << 30 bytes */
    int salvage;               /* non-zero: read what survives in a damaged file (see
                                  "Salvage" below) */
    pqz2_progress_fn progress; /* NULL: no progress calls */
    void* progress_user;
} pqz2_options;

/* Fills options with the defaults. */
PQZ2_EXPORT void pqz2_options_init(pqz2_options* options);

typedef struct pqz2_file pqz2_file;

/* Creates a file object with options (NULL: the defaults); NULL only when out of memory. The
 * options are copied. */
PQZ2_EXPORT pqz2_file* pqz2_create(const pqz2_options* options);

/* Releases the object and everything it holds; NULL is allowed. */
PQZ2_EXPORT void pqz2_destroy(pqz2_file* file);

/* The message of the most recent call on file that returned a status other than PQZ2_OK
 * ("" after a call that returned PQZ2_OK). Valid until the next call on file. NULL file: a
 * text saying so. */
PQZ2_EXPORT const char* pqz2_message(const pqz2_file* file);

/* Opening. Each checks that the data starts with a block tag (PQZ2_ERR_NOT_PQZ otherwise; an
 * empty file is a valid file of no blocks; blocks cut short are reported by the walk) and
 * positions the walk before the first block. PQZ2_ERR_IO when the file cannot be opened or
 * read, PQZ2_ERR_ARGUMENT for NULL pointers. A file object opens one file; opening again
 * before pqz2_close gives PQZ2_ERR_ORDER. */
PQZ2_EXPORT pqz2_status pqz2_open_path(pqz2_file* file, const char* path);

/* The memory is not copied: it must stay unchanged until pqz2_close or pqz2_destroy. */
PQZ2_EXPORT pqz2_status pqz2_open_memory(pqz2_file* file, const void* data, size_t size);

typedef struct pqz2_io {
    /* Reads up to size bytes at the current position; returns the count read (0 at the end),
     * or a negative value on failure. */
    int64_t (*read)(void* user, void* buffer, size_t size);
    /* Moves to an absolute position; returns 0 on success. */
    int (*seek)(void* user, uint64_t position);
    /* The size of the data in bytes, or a negative value when unknown; may be NULL (unknown).
     * With an unknown size the walk checks a block's extent by reading its last byte, and a
     * failed seek counts as a position past the end. */
    int64_t (*size)(void* user);
    void* user;
} pqz2_io;

/* read and seek are required (PQZ2_ERR_ARGUMENT otherwise). The callbacks are copied; user
 * must stay valid until pqz2_close or pqz2_destroy. The library calls them only from within its
 * own calls on file. */
PQZ2_EXPORT pqz2_status pqz2_open_io(pqz2_file* file, const pqz2_io* io);

/* Closes the file (the object stays, ready for another open). */
PQZ2_EXPORT pqz2_status pqz2_close(pqz2_file* file);

/* ---------------------------------------------------------------------------------------- */
/* Walking the blocks                                                                        */

typedef enum pqz2_block_kind {
    PQZ2_BLOCK_NONE = 0, /* failed walks only: the bytes there are no block */
    PQZ2_BLOCK_IMAGE = 1,
    PQZ2_BLOCK_EXTRA = 2
} pqz2_block_kind;

/* Where a block breaks off (pqz2_block.damage); PQZ2_DAMAGE_NONE for every whole block. */
typedef enum pqz2_damage {
    PQZ2_DAMAGE_NONE = 0,
    PQZ2_DAMAGE_TAG_CUT = 1,    /* 1 to 3 bytes remain: too few for a block tag */
    PQZ2_DAMAGE_NO_TAG = 2,     /* the bytes there do not start a block */
    PQZ2_DAMAGE_HEADER = 3,     /* the block's header is cut short */
    PQZ2_DAMAGE_AUX_HEADER = 4, /* the image's auxiliary header type and size are cut short */
    PQZ2_DAMAGE_AUX = 5,        /* the auxiliary header's data runs past the end */
    PQZ2_DAMAGE_PAYLOAD = 6,    /* the image's payload runs past the end */
    PQZ2_DAMAGE_PALETTE = 7,    /* the image's palette runs past the end */
    PQZ2_DAMAGE_DATA = 8        /* the extra block's data runs past the end */
} pqz2_damage;

/* Salvage (pqz2_options.salvage != 0) changes the walk and the decode of damaged data only;
 * whole files give the same blocks, pixels and statuses as without it.
 *
 * The walk. A block whose headers are whole but whose data runs past the end of the file is
 * reported as without salvage (PQZ2_ERR_DAMAGED, the block current and decodable in part);
 * the next call moves on instead of repeating it. Where no valid block starts at the place
 * the previous block's sizes lead to (a damaged tag or header, a size that points into the
 * middle of other data or past the end), the walk searches forward for the next valid block.
 * The search starts behind the headers of the previous block, since its sizes may be what is
 * wrong, and accepts a position only when all of these hold:
 *   - a block tag is there, and the block's headers and every part they announce (auxiliary
 *     header, payload, palette, extra data) lie inside the file;
 *   - an image's header is plausible: 1 to 32 bits per pixel, a width and height of at least
 *     1, a raw payload that holds every row, a compressed payload of at least one byte;
 *   - the block is followed by the end of the file or by another block tag with whole
 *     headers, or, for a compressed image, its payload head reads as a valid one (a plane
 *     table giving each plane its own position, the coded stream's opening marker in place).
 * A false start is passed over and the search goes on at the next byte; each candidate costs
 * a few small reads, so a search is linear in the bytes passed. With salvage, pqz2_open_*
 * also accepts data that does not start with a block tag when a valid block is found further
 * on.
 *
 * Skipped bytes. The block found after a search carries the bytes passed over in front of it
 * in skipped_offset and skipped_size: from where the previous block's sizes led (or the start
 * of the file) to the found block. When the block found lies inside the extent the previous
 * block announced (that block's size was wrong), nothing is skipped: those bytes belong to the
 * damaged block. Bytes passed over in front of the end of the file are reported the same way by
 * the call that returns PQZ2_END: *block then has kind PQZ2_BLOCK_NONE, offset = the file's
 * size and the skipped range (skipped_size 0 when the walk ended cleanly).
 *
 * The decode: see pqz2_decode_result. The walk is never stopped by a damaged block: with
 * salvage, pqz2_next_block returns PQZ2_OK, PQZ2_ERR_DAMAGED (a current block cut by the end of
 * the file), PQZ2_END or PQZ2_ERR_IO. */

typedef struct pqz2_block {
    pqz2_block_kind kind;
    uint32_t index;      /* block number in the file, from 0 */
    int32_t image_index; /* images: 0, 1, ... in file order; -1 for extra blocks */
    uint64_t offset;     /* byte offset of the block's tag */
    uint64_t size;       /* bytes of the whole block, tag included */
    uint32_t extra_type; /* extra blocks: the type stored by the writer */
    uint64_t extra_size; /* extra blocks: bytes of data */
    /* Salvage: bytes passed over in front of this block while searching for a valid block
     * (skipped_size 0 when the block followed the previous one directly), starting at
     * skipped_offset; with PQZ2_END, the bytes passed over in front of the end. */
    uint64_t skipped_offset;
    uint64_t skipped_size;
    /* PQZ2_DAMAGE_NONE for a whole block; on PQZ2_ERR_DAMAGED, where the block breaks off. */
    pqz2_damage damage;
} pqz2_block;

/* Moves to the next block and makes it the current block. PQZ2_END at the end of the file
 * (no block is current then). PQZ2_ERR_DAMAGED where no whole block follows: *block
 * then describes what was found there (offset, damage, and as far as they could be read kind,
 * index, image_index, size and the extra block's type and size). A block whose headers are
 * whole but whose data runs past the end (damage PQZ2_DAMAGE_AUX and later) becomes the
 * current block, so that its information can still be read; decoding it gives
 * PQZ2_ERR_DAMAGED. Otherwise no block is current. The walk does not move past a damaged
 * block: asking again gives the same answer, until pqz2_rewind or pqz2_seek_block.
 * PQZ2_ERR_IO when the data cannot be read. block may not be NULL. */
PQZ2_EXPORT pqz2_status pqz2_next_block(pqz2_file* file, pqz2_block* block);

/* Back to before the first block (no block is current). PQZ2_ERR_ORDER when no file is open. */
PQZ2_EXPORT pqz2_status pqz2_rewind(pqz2_file* file);

/* Rewinds and walks to the block numbered index (from 0), which becomes current; PQZ2_END
 * when there are fewer, or the status of a damaged block before it. */
PQZ2_EXPORT pqz2_status pqz2_seek_block(pqz2_file* file, uint32_t index, pqz2_block* block);

/* The data of the current extra block, or the auxiliary header of the current image: copies
 * min(size, its size) bytes into buffer and stores its size in *needed (either may be NULL /
 * 0 to ask only for the size). PQZ2_ERR_BUFFER_TOO_SMALL when size is less than the data. */
PQZ2_EXPORT pqz2_status pqz2_extra_data(pqz2_file* file, void* buffer, size_t size, size_t* needed);
PQZ2_EXPORT pqz2_status pqz2_aux_data(pqz2_file* file, void* buffer, size_t size, size_t* needed);

/* ---------------------------------------------------------------------------------------- */
/* Image information (no decoding)                                                           */

typedef enum pqz2_colour {
    PQZ2_COLOUR_GREY = 1,    /* values are grey levels, 0 .. 2^bits - 1 */
    PQZ2_COLOUR_PALETTE = 2, /* up to 8 bits: values index the palette in pqz2_image_info */
    PQZ2_COLOUR_RGB555 = 3,  /* 15 and 16 bits: blue in bits 0-4, green 5-9, red 10-14 */
    PQZ2_COLOUR_BGR = 4,     /* 17 to 32 bits: bytes blue, green, red, and a fourth byte from
                                25 bits on (taken as alpha by the RGBA8 conversion) */
    PQZ2_COLOUR_VALUES = 5   /* other depths: plain values with no colour meaning */
} pqz2_colour;

typedef enum pqz2_coding {
    PQZ2_CODING_RAW = 0,           /* stored uncompressed */
    PQZ2_CODING_CONTEXT_MODEL = 1, /* range-coded, default context model */
    PQZ2_CODING_METHOD1 = 2,       /* range-coded, coding method 1 */
    PQZ2_CODING_METHOD2 = 3,       /* range-coded, coding method 2 */
    PQZ2_CODING_BITSTREAM = 4,     /* prefix-coded bit stream */
    PQZ2_CODING_NONE = 5           /* a range-coded plane with the model flag on methods 0 or
                                      3: no decoder exists, decoding refuses the image */
} pqz2_coding;

typedef struct pqz2_plane_info {
    uint8_t order;  /* position in the decoding order */
    uint8_t method; /* coding / filter method 0..3 */
    uint8_t model_flag;
    uint8_t has_reference; /* predicted from planes decoded before it */
    uint8_t offset;        /* reference: constant added */
    int16_t coef[3];       /* reference: weights */
    pqz2_coding coding;    /* the decoder this plane goes to */
} pqz2_plane_info;

typedef struct pqz2_image_info {
    uint32_t width;
    uint32_t height;
    uint32_t bits_per_pixel;  /* 0 .. 63 as stored */
    uint32_t bytes_per_pixel; /* (bits + 7) / 8: the planes of the image */
    uint8_t format_byte;      /* the stored format byte (depth, grey and palette bits) */
    uint8_t flags_byte;       /* the stored coding flags */
    pqz2_colour colour;
    pqz2_coding coding; /* whole-image coding; per plane in planes[] when has_plane_table */
    int compressed;
    int separate_planes;
    int has_plane_table;  /* planes[] and tolerance come from the payload's head */
    uint32_t tolerance;   /* near-lossless tolerance, 0 = exact */
    uint32_t plane_count; /* entries used in planes[] */
    pqz2_plane_info planes[8];
    uint64_t payload_offset; /* byte offset of the payload in the file */
    uint64_t payload_size;
    uint32_t native_row_bytes; /* bytes of one row in PQZ2_FORMAT_NATIVE */
    /* Palette as red, green, blue triplets, 2^bits entries: for PQZ2_COLOUR_PALETTE, and for
     * grey images of up to 8 bits that store a palette anyway (it then has no effect on the
     * conversions); palette_entries is 0 otherwise. An image of up to 8 bits with neither a
     * palette nor the grey bit uses the palettes of the colour images before it in the file
     * (palette_inherited = 1): each entry from the last such image whose palette has that entry
     * (a 2-bit palette counts as 16 entries, the 12 behind its own black), black where none
     * has; palettes of grey images pass on only at 2 bits. A block cut short in its palette
     * reports no palette colours. */
    uint32_t palette_entries;
    int palette_inherited;
    uint8_t palette[256][3];
    int has_aux; /* an auxiliary header is stored with the image */
    uint32_t aux_type;
    uint64_t aux_size;
} pqz2_image_info;

/* Information of the current image block, read from its header and the first bytes of its
 * payload only. */
PQZ2_EXPORT pqz2_status pqz2_image_info_get(pqz2_file* file, pqz2_image_info* info);

/* ---------------------------------------------------------------------------------------- */
/* Decoding                                                                                  */

typedef enum pqz2_format {
    /* The stored layout, lossless for every depth: rows of native_row_bytes, top row first.
     * Below 8 bits pixels are packed from the most significant bit down (3-bit pixels two per
     * byte in bits 7-5 and 4-2; 5 to 7 bits one per byte in its top bits); from 8 bits on,
     * (bits + 7) / 8 bytes per pixel, little-endian (24 and 32 bits: blue, green, red, fourth). */
    PQZ2_FORMAT_NATIVE = 0,
    /* One value per pixel, lossless, in host byte order: uint8_t up to 8 bits, uint16_t up to
     * 16, uint32_t up to 32 (not available above 32 bits). The value is the pixel as a number:
     * 5-7-bit pixels shifted down, 24/32-bit pixels blue | green << 8 | red << 16 | 4th << 24. */
    PQZ2_FORMAT_VALUE = 1,
    /* Conversions; pqz2_format_loss tells what each drops for a given image. */
    PQZ2_FORMAT_GREY8 = 2, /* one byte per pixel */
    PQZ2_FORMAT_RGB8 = 3,  /* red, green, blue */
    PQZ2_FORMAT_RGBA8 = 4, /* red, green, blue, alpha (255 where the image has none) */
    PQZ2_FORMAT_INDEX8 = 5 /* palette images up to 8 bits: one index per byte; the palette is
                              in pqz2_image_info */
} pqz2_format;

/* NULL when converting the image described by info to format keeps every bit of information;
 * otherwise a text saying what is dropped (e.g. "bit 15 of each pixel"), or "not available
 * for this image" when the format cannot be produced for it. */
PQZ2_EXPORT const char* pqz2_format_loss(const pqz2_image_info* info, pqz2_format format);

/* Bytes of one row of the image in format (the smallest stride); 0 when the format is not
 * available for the image. */
PQZ2_EXPORT size_t pqz2_min_stride(const pqz2_image_info* info, pqz2_format format);

/* What a decode returned. damaged = 0 and good_rows = height for every whole image. With
 * salvage, a damaged image (its payload cut by the end of the file, or coded data that the
 * decoder finds inconsistent) gives damaged = 1 and good_rows = the rows from the top that were
 * decoded before the decoder reached the end of the data or the inconsistency; those rows are
 * in the buffer, every row from good_rows on is zero (all bytes of its min_stride).
 *   - Data cut short: every row counted is exact, as in the whole file. The count is a lower
 *     bound: the decoders take a few bytes ahead, and a row is counted only when nothing
 *     behind the end of the data had been read when it was finished. With planes coded one
 *     after another a row counts only when all its planes are whole.
 *   - Changed bytes inside the data: the rows counted are those decoded before the decoder
 *     found the damage; a change can spoil rows before it is found, which no reader can tell.
 *   - A palette cut by the end of the file: the pixel values are whole, so NATIVE, VALUE and
 *     INDEX8 count every row; conversions to colour count none. */
typedef struct pqz2_decode_result {
    int damaged;        /* salvage: the image is damaged; rows from good_rows on are zero */
    uint32_t good_rows; /* rows from the top that are exact (height when not damaged) */
} pqz2_decode_result;

/* Decodes the current image into buffer (size bytes, rows stride bytes apart, top row first;
 * stride 0 means pqz2_min_stride). result may be NULL. Limits are checked before anything
 * large is allocated. Without salvage, a damaged image gives PQZ2_ERR_DAMAGED and the buffer's
 * content is unspecified; with salvage, PQZ2_PARTIAL (also for good_rows = 0), the message
 * naming the block, its offset, where the damage was found and the good rows, and result says
 * which rows are good. Failures that are not damage (arguments, limits, memory, cancelling, a
 * layout this reader refuses) give their status with or without salvage and leave the buffer
 * as it was, except that running out of memory part way may leave it partly written. */
PQZ2_EXPORT pqz2_status pqz2_decode(pqz2_file* file, pqz2_format format, void* buffer, size_t size,
                                    size_t stride, pqz2_decode_result* result);

/* As pqz2_decode into a buffer the library allocates with the smallest stride (limits checked
 * before it is allocated); release it with pqz2_free. On failure *pixels is NULL; with
 * PQZ2_PARTIAL it holds the partial image. */
PQZ2_EXPORT pqz2_status pqz2_decode_alloc(pqz2_file* file, pqz2_format format, void** pixels,
                                          size_t* stride, pqz2_decode_result* result);

/* Releases a buffer of pqz2_decode_alloc; NULL is allowed. */
PQZ2_EXPORT void pqz2_free(void* pixels);

#ifdef __cplusplus
}
#endif

#endif /* PQZ2_H */
