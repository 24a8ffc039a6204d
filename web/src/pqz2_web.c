/*
 * The WebAssembly face of the decoding API: a handful of flat functions the JavaScript module
 * calls with numbers and pointers. A session owns a copy of the file's bytes, lists its blocks
 * as JSON text and decodes one image at a time into a buffer the caller copies out.
 */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/pqz2.h"

#ifdef __EMSCRIPTEN__
#include <emscripten.h>
#define PQZW_EXPORT EMSCRIPTEN_KEEPALIVE
/* Forwards decode progress to the page; a non-zero answer stops the decode. */
EM_JS(int, pqzw_progress_js, (double done, double total),
      { return Module["onDecodeProgress"] ? (Module["onDecodeProgress"](done, total) | 0) : 0; });
#else
#define PQZW_EXPORT
static int pqzw_progress_js(double done, double total) {
    (void)done;
    (void)total;
    return 0;
}
#endif

/* Bytes of auxiliary headers and extra blocks shown in a listing. */
#define PQZW_PREVIEW_BYTES 256

typedef struct text_buffer {
    char* data;
    size_t length;
    size_t capacity;
    int failed; /* out of memory: the text is cut and reported as such */
} text_buffer;

typedef struct pqzw_session {
    pqz2_file* file;
    uint8_t* bytes;
    pqz2_status status;
    char message[512];
    text_buffer listing;
    void* pixels;
    size_t pixels_size;
    size_t stride;
    pqz2_decode_result result;
    pqz2_image_info info;
    int salvage;
} pqzw_session;

static void text_add(text_buffer* t, const char* s, size_t n) {
    if (t->failed) return;
    if (t->length + n + 1 > t->capacity) {
        size_t capacity = t->capacity ? t->capacity : 4096;
        while (capacity < t->length + n + 1) capacity *= 2;
        char* grown = realloc(t->data, capacity);
        if (!grown) {
            t->failed = 1;
            return;
        }
        t->data = grown;
        t->capacity = capacity;
    }
    memcpy(t->data + t->length, s, n);
    t->length += n;
    t->data[t->length] = 0;
}

static void text_printf(text_buffer* t, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

static void text_printf(text_buffer* t, const char* format, ...) {
    char piece[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n < 0) return;
    text_add(t, piece, (size_t)n < sizeof piece ? (size_t)n : sizeof piece - 1);
}

/* A JSON string: quotes, backslashes and control characters escaped. */
static void text_string(text_buffer* t, const char* s) {
    text_add(t, "\"", 1);
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\') {
            char e[2] = {'\\', (char)c};
            text_add(t, e, 2);
        } else if (c < 0x20) {
            text_printf(t, "\\u%04x", c);
        } else {
            text_add(t, s, 1);
        }
    }
    text_add(t, "\"", 1);
}

static void text_hex(text_buffer* t, const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    text_add(t, "\"", 1);
    for (size_t i = 0; i < n; i++) {
        char pair[2] = {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
        text_add(t, pair, 2);
    }
    text_add(t, "\"", 1);
}

static pqz2_status remember(pqzw_session* s, pqz2_status status) {
    s->status = status;
    snprintf(s->message, sizeof s->message, "%s", status == PQZ2_OK ? "" : pqz2_message(s->file));
    return status;
}

/* Names of codings and colour kinds; codings without a decoder are "none". */
static const char* coding_name(pqz2_coding c) {
    static const char* const names[] = {"raw", "context model", "method 1", "method 2",
                                        "bit stream"};
    return (unsigned)c < sizeof names / sizeof names[0] ? names[c] : "none";
}

static const char* colour_name(pqz2_colour c) {
    static const char* const names[] = {"unknown", "grey", "palette", "rgb555", "bgr", "values"};
    return (unsigned)c < sizeof names / sizeof names[0] ? names[c] : "unknown";
}

/* The first bytes of the current block's auxiliary header or extra data, as hex. */
static void list_preview(pqzw_session* s, int aux) {
    uint8_t preview[PQZW_PREVIEW_BYTES];
    size_t needed = 0;
    pqz2_status st =
        aux ? pqz2_aux_data(s->file, NULL, 0, &needed) : pqz2_extra_data(s->file, NULL, 0, &needed);
    size_t n = needed < sizeof preview ? needed : sizeof preview;
    if (st == PQZ2_OK && n > 0 && needed > n) {
        /* Copying only the start of longer data: read it whole into a temporary. */
        uint8_t* all = malloc(needed);
        if (all && (aux ? pqz2_aux_data(s->file, all, needed, NULL)
                        : pqz2_extra_data(s->file, all, needed, NULL)) == PQZ2_OK)
            memcpy(preview, all, n);
        else
            n = 0;
        free(all);
    } else if (st == PQZ2_OK && n > 0) {
        if ((aux ? pqz2_aux_data(s->file, preview, n, NULL)
                 : pqz2_extra_data(s->file, preview, n, NULL)) != PQZ2_OK)
            n = 0;
    } else {
        n = 0;
    }
    text_add(&s->listing, ",\"preview\":", 11);
    text_hex(&s->listing, preview, n);
}

static void list_planes(text_buffer* t, const pqz2_image_info* info) {
    text_add(t, ",\"planes\":[", 11);
    for (uint32_t i = 0; i < info->plane_count && i < 8; i++) {
        const pqz2_plane_info* p = &info->planes[i];
        text_printf(t,
                    "%s{\"order\":%u,\"method\":%u,\"model_flag\":%u,\"has_reference\":%u,"
                    "\"offset\":%u,\"coef\":[%d,%d,%d],\"coding\":",
                    i ? "," : "", p->order, p->method, p->model_flag, p->has_reference, p->offset,
                    p->coef[0], p->coef[1], p->coef[2]);
        text_string(t, coding_name(p->coding));
        text_add(t, "}", 1);
    }
    text_add(t, "]", 1);
}

static void list_image(pqzw_session* s, const pqz2_image_info* info) {
    text_buffer* t = &s->listing;
    text_printf(t, ",\"width\":%u,\"height\":%u,\"bits_per_pixel\":%u,\"bytes_per_pixel\":%u",
                info->width, info->height, info->bits_per_pixel, info->bytes_per_pixel);
    text_printf(t, ",\"format_byte\":%u,\"flags_byte\":%u,\"colour\":", info->format_byte,
                info->flags_byte);
    text_string(t, colour_name(info->colour));
    text_add(t, ",\"coding\":", 10);
    text_string(t, coding_name(info->coding));
    text_printf(t,
                ",\"compressed\":%d,\"separate_planes\":%d,\"has_plane_table\":%d,"
                "\"tolerance\":%u,\"payload_offset\":%llu,\"payload_size\":%llu,"
                "\"native_row_bytes\":%u,\"palette_entries\":%u,\"palette_inherited\":%d",
                info->compressed, info->separate_planes, info->has_plane_table, info->tolerance,
                (unsigned long long)info->payload_offset, (unsigned long long)info->payload_size,
                info->native_row_bytes, info->palette_entries, info->palette_inherited);
    list_planes(t, info);
    if (info->palette_entries) {
        text_add(t, ",\"palette\":", 11);
        uint32_t entries = info->palette_entries < 256 ? info->palette_entries : 256;
        text_hex(t, &info->palette[0][0], 3 * (size_t)entries);
    }
    static const char* const format_names[] = {"native", "value", "grey8",
                                               "rgb8",   "rgba8", "index8"};
    text_add(t, ",\"formats\":{", 12);
    for (int f = 0; f < 6; f++) {
        const char* loss = pqz2_format_loss(info, (pqz2_format)f);
        text_printf(t, "%s\"%s\":", f ? "," : "", format_names[f]);
        if (loss)
            text_string(t, loss);
        else
            text_add(t, "null", 4);
    }
    text_add(t, "}", 1);
    text_printf(t, ",\"has_aux\":%d", info->has_aux);
    if (info->has_aux) {
        text_printf(t, ",\"aux_type\":%u,\"aux_size\":%llu", info->aux_type,
                    (unsigned long long)info->aux_size);
        list_preview(s, 1);
    }
}

static void list_block(pqzw_session* s, const pqz2_block* b) {
    text_buffer* t = &s->listing;
    text_printf(t,
                "{\"kind\":\"%s\",\"index\":%u,\"image_index\":%d,\"offset\":%llu,"
                "\"size\":%llu,\"skipped_offset\":%llu,\"skipped_size\":%llu,\"damage\":%d",
                b->kind == PQZ2_BLOCK_IMAGE ? "image" : "extra", b->index, b->image_index,
                (unsigned long long)b->offset, (unsigned long long)b->size,
                (unsigned long long)b->skipped_offset, (unsigned long long)b->skipped_size,
                (int)b->damage);
    if (b->kind == PQZ2_BLOCK_EXTRA) {
        text_printf(t, ",\"extra_type\":%u,\"extra_size\":%llu", b->extra_type,
                    (unsigned long long)b->extra_size);
        list_preview(s, 0);
    } else {
        pqz2_image_info info;
        pqz2_status st = pqz2_image_info_get(s->file, &info);
        if (st == PQZ2_OK) {
            list_image(s, &info);
        } else {
            text_printf(t, ",\"info_status\":%d,\"info_message\":", (int)st);
            text_string(t, pqz2_message(s->file));
        }
    }
    text_add(t, "}", 1);
}

static void release_pixels(pqzw_session* s) {
    pqz2_free(s->pixels);
    s->pixels = NULL;
    s->pixels_size = 0;
    s->stride = 0;
}

/* ---------------------------------------------------------------------------------------- */

static int progress(void* user, uint64_t done, uint64_t total) {
    (void)user;
    return pqzw_progress_js((double)done, (double)total);
}

/* Opens size bytes at data, which the session takes over (allocated with malloc; freed by
 * pqzw_close, also when opening fails). NULL only when out of memory. */
PQZW_EXPORT pqzw_session* pqzw_open(uint8_t* data, uint32_t size, int salvage) {
    pqzw_session* s = calloc(1, sizeof *s);
    pqz2_options options;
    pqz2_options_init(&options);
    options.salvage = salvage;
    options.progress = progress;
    if (s) s->file = pqz2_create(&options);
    if (!s || !s->file) {
        free(s);
        free(data);
        return NULL;
    }
    s->bytes = data;
    s->salvage = salvage;
    remember(s, pqz2_open_memory(s->file, data, size));
    return s;
}

PQZW_EXPORT int pqzw_status(const pqzw_session* s) {
    return (int)s->status;
}
PQZW_EXPORT const char* pqzw_message(const pqzw_session* s) {
    return s->message;
}
PQZW_EXPORT const char* pqzw_status_text(int status) {
    return pqz2_status_text((pqz2_status)status);
}

/* Walks every block and returns them as a JSON object {"blocks": [...], "status": S,
 * "message": M}, where S is the status that ended the walk (PQZ2_END when it reached the end
 * of the file). A block cut short by the end of the file is listed last with its "damage"
 * (non-zero) when its headers could be read. The text is valid until the next call on the
 * session. */
PQZW_EXPORT const char* pqzw_list(pqzw_session* s) {
    text_buffer* t = &s->listing;
    t->length = 0;
    t->failed = 0;
    text_add(t, "{\"blocks\":[", 11);
    pqz2_status st = pqz2_rewind(s->file);
    pqz2_block b;
    int listed = 0, remembered = 0;
    while (st == PQZ2_OK) {
        st = pqz2_next_block(s->file, &b);
        /* A block whose headers are whole but whose data runs past the end is described too;
         * with salvage the walk goes on behind it, without it ends there. Its message is kept
         * before describing it, which calls the library again. */
        const int cut =
            st == PQZ2_ERR_DAMAGED && b.kind != PQZ2_BLOCK_NONE && b.damage >= PQZ2_DAMAGE_AUX;
        if (st != PQZ2_OK && !cut) break;
        if (cut && !s->salvage) {
            remember(s, st);
            remembered = 1;
        }
        if (listed++) text_add(t, ",", 1);
        list_block(s, &b);
        if (cut && s->salvage) st = PQZ2_OK;
    }
    if (!remembered) remember(s, st == PQZ2_END ? PQZ2_OK : st);
    text_printf(t, "],\"status\":%d,\"message\":", (int)st);
    text_string(t, s->message);
    text_add(t, "}", 1);
    if (t->failed) {
        s->status = PQZ2_ERR_NO_MEMORY;
        return NULL;
    }
    return t->data;
}

/* Decodes the image in block number block into format (a pqz2_format); the pixels stay in the
 * session until the next decode or pqzw_release. Returns the status. */
PQZW_EXPORT int pqzw_decode(pqzw_session* s, uint32_t block, int format) {
    release_pixels(s);
    memset(&s->result, 0, sizeof s->result);
    memset(&s->info, 0, sizeof s->info);
    pqz2_block b;
    pqz2_status st = pqz2_seek_block(s->file, block, &b);
    /* A block cut by the end of the file is current and decodable in part. */
    if (st == PQZ2_ERR_DAMAGED && b.index == block && b.kind == PQZ2_BLOCK_IMAGE &&
        b.damage >= PQZ2_DAMAGE_AUX)
        st = PQZ2_OK;
    if (st == PQZ2_OK) st = pqz2_image_info_get(s->file, &s->info);
    if (st == PQZ2_OK || st == PQZ2_PARTIAL)
        st = pqz2_decode_alloc(s->file, (pqz2_format)format, &s->pixels, &s->stride, &s->result);
    if (s->pixels) s->pixels_size = s->stride * s->info.height;
    return (int)remember(s, st);
}

PQZW_EXPORT void* pqzw_pixels(const pqzw_session* s) {
    return s->pixels;
}
PQZW_EXPORT uint32_t pqzw_pixels_size(const pqzw_session* s) {
    return (uint32_t)s->pixels_size;
}
PQZW_EXPORT uint32_t pqzw_stride(const pqzw_session* s) {
    return (uint32_t)s->stride;
}
PQZW_EXPORT uint32_t pqzw_width(const pqzw_session* s) {
    return s->info.width;
}
PQZW_EXPORT uint32_t pqzw_height(const pqzw_session* s) {
    return s->info.height;
}
PQZW_EXPORT uint32_t pqzw_bits_per_pixel(const pqzw_session* s) {
    return s->info.bits_per_pixel;
}
PQZW_EXPORT int pqzw_damaged(const pqzw_session* s) {
    return s->result.damaged;
}
PQZW_EXPORT uint32_t pqzw_good_rows(const pqzw_session* s) {
    return s->result.good_rows;
}
PQZW_EXPORT void pqzw_release(pqzw_session* s) {
    release_pixels(s);
}

PQZW_EXPORT void pqzw_close(pqzw_session* s) {
    if (!s) return;
    release_pixels(s);
    pqz2_destroy(s->file);
    free(s->bytes);
    free(s->listing.data);
    free(s);
}
