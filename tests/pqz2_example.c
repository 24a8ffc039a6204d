/* The example of the README: open a file from memory, read each image's information, decode it
 * to RGBA and print what happened. Exit status 0 when every image decoded. */
#include <pqz2.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* in = fopen(argv[1], "rb");
    if (!in) return 2;
    static unsigned char data[1 << 22];
    size_t size = fread(data, 1, sizeof data, in);
    fclose(in);

    pqz2_file* f = pqz2_create(NULL); /* default options and limits */
    if (!f) return 1;
    pqz2_status s = pqz2_open_memory(f, data, size);
    if (s != PQZ2_OK) {
        fprintf(stderr, "%s: %s\n", pqz2_status_text(s), pqz2_message(f));
        pqz2_destroy(f);
        return 1;
    }
    int failed = 0;
    pqz2_block block;
    while ((s = pqz2_next_block(f, &block)) == PQZ2_OK) {
        if (block.kind != PQZ2_BLOCK_IMAGE) continue; /* extra blocks: pqz2_extra_data */
        pqz2_image_info info;
        if (pqz2_image_info_get(f, &info) != PQZ2_OK) break;
        const char* loss = pqz2_format_loss(&info, PQZ2_FORMAT_RGBA8);
        size_t stride = pqz2_min_stride(&info, PQZ2_FORMAT_RGBA8);
        unsigned char* rgba = malloc(stride * info.height + 1);
        if (!rgba) break;
        s = pqz2_decode(f, PQZ2_FORMAT_RGBA8, rgba, stride * info.height, stride, NULL);
        if (s == PQZ2_OK) {
            printf("image %d: %u x %u, %u bits; RGBA %s\n", block.image_index, info.width,
                   info.height, info.bits_per_pixel, loss ? loss : "keeps everything");
        } else {
            fprintf(stderr, "%s: %s\n", pqz2_status_text(s), pqz2_message(f));
            failed = 1;
        }
        free(rgba);
    }
    if (s != PQZ2_END) {
        fprintf(stderr, "%s: %s\n", pqz2_status_text(s), pqz2_message(f));
        failed = 1;
    }
    pqz2_destroy(f);
    return failed;
}
