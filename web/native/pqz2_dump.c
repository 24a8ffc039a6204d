/*
 * Decodes every image of a PQZ file with the native library and writes the pixels to standard
 * output, for comparison with the WebAssembly build:
 *
 *     pqz2_dump [--salvage] [--time N] FILE FORMAT...
 *
 * FORMAT is a pixel format number of the API (0 native, 1 value, 2 grey8, 3 rgb8, 4 rgba8,
 * 5 index8). For each image block and format one record
 *     "I BLOCK FORMAT STATUS GOOD_ROWS SIZE\n" followed by SIZE bytes of pixels,
 * and at the end "E STATUS\n" with the status that ended the block walk (1 at the end of file).
 * With --time N each image is decoded N more times and each record is followed by
 * "T SECONDS\n", the fastest of them (processor time, buffer allocation included).
 */
#define _POSIX_C_SOURCE 199309L /* clock_gettime */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "api/pqz2.h"

static unsigned char* read_file(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    size_t capacity = 1 << 16, n = 0;
    unsigned char* data = malloc(capacity);
    for (size_t got; data && (got = fread(data + n, 1, capacity - n, f)) > 0;) {
        n += got;
        if (n == capacity) {
            unsigned char* grown = realloc(data, capacity *= 2);
            if (!grown) free(data);
            data = grown;
        }
    }
    fclose(f);
    *size = n;
    return data;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

static void time_image(pqz2_file* file, int format, int repeats) {
    double best = 1e30;
    for (int i = 0; i < repeats; i++) {
        void* pixels = NULL;
        size_t stride = 0;
        double start = now();
        pqz2_decode_alloc(file, (pqz2_format)format, &pixels, &stride, NULL);
        double seconds = now() - start;
        pqz2_free(pixels);
        if (seconds < best) best = seconds;
    }
    printf("T %.9f\n", best);
}

static void dump_image(pqz2_file* file, unsigned block, int format) {
    void* pixels = NULL;
    size_t stride = 0;
    pqz2_decode_result result = {0, 0};
    pqz2_image_info info;
    pqz2_status st = pqz2_image_info_get(file, &info);
    if (st == PQZ2_OK) st = pqz2_decode_alloc(file, (pqz2_format)format, &pixels, &stride, &result);
    size_t size = pixels ? stride * info.height : 0;
    printf("I %u %d %d %u %zu\n", block, format, (int)st, result.good_rows, size);
    if (size) fwrite(pixels, 1, size, stdout);
    pqz2_free(pixels);
}

int main(int argc, char** argv) {
    int first = 1, salvage = 0, repeats = 0;
    if (first < argc && strcmp(argv[first], "--salvage") == 0) salvage = 1, first++;
    if (first + 1 < argc && strcmp(argv[first], "--time") == 0) {
        repeats = atoi(argv[first + 1]);
        first += 2;
    }
    if (argc < first + 2) {
        fprintf(stderr, "usage: pqz2_dump [--salvage] [--time N] FILE FORMAT...\n");
        return 2;
    }
    size_t size = 0;
    unsigned char* data = read_file(argv[first], &size);
    if (!data) {
        fprintf(stderr, "pqz2_dump: cannot read %s\n", argv[first]);
        return 1;
    }
    pqz2_options options;
    pqz2_options_init(&options);
    options.salvage = salvage;
    pqz2_file* file = pqz2_create(&options);
    pqz2_status st = file ? pqz2_open_memory(file, data, size) : PQZ2_ERR_NO_MEMORY;
    pqz2_block b;
    /* With salvage a block cut by the end of the file is current and decodable in part, and the
     * walk goes on behind it. */
    while (st == PQZ2_OK || (salvage && st == PQZ2_ERR_DAMAGED)) {
        st = pqz2_next_block(file, &b);
        if (st != PQZ2_OK && !(salvage && st == PQZ2_ERR_DAMAGED)) break;
        if (b.kind != PQZ2_BLOCK_IMAGE) continue;
        for (int i = first + 1; i < argc; i++) {
            dump_image(file, b.index, atoi(argv[i]));
            if (repeats > 0) time_image(file, atoi(argv[i]), repeats);
        }
    }
    printf("E %d\n", (int)st);
    pqz2_destroy(file);
    free(data);
    return 0;
}
