/* The example of the README's section on the decoding API, as a program: decode_all below is
 * the README's code; main reads the file named on the command line into memory. */
#include <pqz2.h>
#include <stdio.h>
#include <stdlib.h>

/* Decodes every image of a PQZ file held in memory to RGBA; 0 when all went well. */
int decode_all(const void* data, size_t size) {
    pqz2_file* f = pqz2_create(NULL);            /* default options and limits */
    if (!f) return 1;
    pqz2_status s = pqz2_open_memory(f, data, size);  /* the memory is not copied */
    pqz2_block block;
    while (s == PQZ2_OK && (s = pqz2_next_block(f, &block)) == PQZ2_OK) {
        if (block.kind != PQZ2_BLOCK_IMAGE) continue;  /* extra block: pqz2_extra_data */
        pqz2_image_info info;
        if ((s = pqz2_image_info_get(f, &info)) != PQZ2_OK) break;
        const char* loss = pqz2_format_loss(&info, PQZ2_FORMAT_RGBA8);  /* NULL: lossless */
        size_t stride = pqz2_min_stride(&info, PQZ2_FORMAT_RGBA8);
        unsigned char* rgba = malloc(stride * info.height + 1);
        if (!rgba) break;
        s = pqz2_decode(f, PQZ2_FORMAT_RGBA8, rgba, stride * info.height, stride, NULL);
        if (s == PQZ2_OK)
            printf("image %d: %u x %u, %u bits per pixel%s%s\n", block.image_index, info.width,
                   info.height, info.bits_per_pixel, loss ? "; RGBA drops " : "",
                   loss ? loss : "");
        free(rgba);
    }
    if (s != PQZ2_END) fprintf(stderr, "%s: %s\n", pqz2_status_text(s), pqz2_message(f));
    pqz2_destroy(f);
    return s != PQZ2_END;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* in = fopen(argv[1], "rb");
    if (!in) return 2;
    static unsigned char data[1 << 22];
    size_t size = fread(data, 1, sizeof data, in);
    fclose(in);
    return decode_all(data, size);
}
