/* The gdk-pixbuf loader as programs use it, against the library's own decoding of the same
 * bytes. The loader is found through GDK_PIXBUF_MODULE_FILE.
 *
 *   pixbuf_test SAMPLE FORGED_DIR VECTORS_DIR   whole files, small-chunk loading, sizes, every
 *                                               reference file, damaged and forged files
 *   pixbuf_test --thumbnail PNG SAMPLE SIZE     a thumbnail made of the sample's first image
 */
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <pqz2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

static int failures;

#define CHECK(cond, ...)                                           \
    do {                                                           \
        if (!(cond)) {                                             \
            fprintf(stderr, "FAILED %s:%d: ", __FILE__, __LINE__); \
            fprintf(stderr, __VA_ARGS__);                          \
            fputc('\n', stderr);                                   \
            failures++;                                            \
        }                                                          \
    } while (0)

/* The first image of a file as the library decodes it, in the layout the loader promises:
 * RGBA where pixels have a fourth byte, grey levels for 9- to 14-bit values, RGB otherwise. */
typedef struct {
    int ok;
    guint width, height, channels;
    guchar* pixels; /* rows of width * channels bytes */
} Expected;

static void expect_first_image(const guchar* data, gsize size, Expected* e) {
    memset(e, 0, sizeof *e);
    pqz2_options options;
    pqz2_options_init(&options);
    options.max_pixels = (uint64_t)1 << 27; /* the plug-ins' limit */
    pqz2_file* f = pqz2_create(&options);
    pqz2_block b;
    pqz2_image_info info;
    if (pqz2_open_memory(f, data, size) != PQZ2_OK) goto done;
    do {
        if (pqz2_next_block(f, &b) != PQZ2_OK) goto done;
    } while (b.kind != PQZ2_BLOCK_IMAGE);
    if (pqz2_image_info_get(f, &info) != PQZ2_OK || !info.width || !info.height) goto done;
    e->width = info.width;
    e->height = info.height;
    const int values =
        info.colour == PQZ2_COLOUR_VALUES && info.bits_per_pixel >= 9 && info.bits_per_pixel <= 16;
    const int alpha = info.colour == PQZ2_COLOUR_BGR && info.bits_per_pixel > 24;
    e->channels = alpha ? 4 : 3;
    const pqz2_format format = values  ? PQZ2_FORMAT_VALUE
                               : alpha ? PQZ2_FORMAT_RGBA8
                                       : PQZ2_FORMAT_RGB8;
    void* decoded = NULL;
    size_t stride = 0;
    if (pqz2_decode_alloc(f, format, &decoded, &stride, NULL) != PQZ2_OK) goto done;
    e->pixels = g_malloc((gsize)e->width * e->height * e->channels);
    for (guint y = 0; y < e->height; y++) {
        const guchar* in = (const guchar*)decoded + y * stride;
        guchar* out = e->pixels + (gsize)y * e->width * e->channels;
        if (!values) {
            memcpy(out, in, (gsize)e->width * e->channels);
            continue;
        }
        const guint max = (1u << info.bits_per_pixel) - 1;
        for (guint x = 0; x < e->width; x++) {
            guint16 v;
            memcpy(&v, in + 2 * x, 2);
            out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = (guchar)((v * 255u + max / 2) / max);
        }
    }
    pqz2_free(decoded);
    e->ok = 1;
done:
    pqz2_destroy(f);
}

/* The pixbuf holds exactly the expected pixels (or both failed). */
static void check_result(const char* what, GdkPixbuf* pixbuf, GError* error, const Expected* e) {
    if (!e->ok) {
        CHECK(!pixbuf && error, "%s: the library refuses the image but the loader gave %s", what,
              pixbuf ? "a pixbuf" : "no error");
        if (error) {
            CHECK(error->domain == GDK_PIXBUF_ERROR, "%s: error of another domain", what);
            CHECK(!strstr(error->message, "out of memory"),
                  "%s: allocation failed, the loader tried too much: %s", what, error->message);
        }
        return;
    }
    CHECK(pixbuf != NULL, "%s: no pixbuf (%s)", what, error ? error->message : "no error");
    if (!pixbuf) return;
    CHECK((guint)gdk_pixbuf_get_width(pixbuf) == e->width &&
              (guint)gdk_pixbuf_get_height(pixbuf) == e->height &&
              (guint)gdk_pixbuf_get_n_channels(pixbuf) == e->channels &&
              gdk_pixbuf_get_bits_per_sample(pixbuf) == 8,
          "%s: %dx%d with %d channels, expected %ux%u with %u", what, gdk_pixbuf_get_width(pixbuf),
          gdk_pixbuf_get_height(pixbuf), gdk_pixbuf_get_n_channels(pixbuf), e->width, e->height,
          e->channels);
    if ((guint)gdk_pixbuf_get_n_channels(pixbuf) != e->channels) return;
    const guchar* p = gdk_pixbuf_read_pixels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const gsize row = (gsize)e->width * e->channels;
    for (guint y = 0; y < e->height && (guint)gdk_pixbuf_get_width(pixbuf) == e->width; y++) {
        if (memcmp(p + (gsize)y * stride, e->pixels + y * row, row) != 0) {
            CHECK(0, "%s: row %u differs from the library's", what, y);
            break;
        }
    }
}

/* Loads bytes through a GdkPixbufLoader in chunks of the given size (type NULL: by content). */
static GdkPixbuf* load_in_chunks(const guchar* data, gsize size, gsize chunk, const char* type,
                                 GError** error) {
    GdkPixbufLoader* loader =
        type ? gdk_pixbuf_loader_new_with_type(type, error) : gdk_pixbuf_loader_new();
    if (!loader) return NULL;
    gboolean ok = TRUE;
    for (gsize at = 0; ok && at < size; at += chunk)
        ok = gdk_pixbuf_loader_write(loader, data + at, MIN(chunk, size - at), error);
    if (ok)
        ok = gdk_pixbuf_loader_close(loader, error);
    else
        gdk_pixbuf_loader_close(loader, NULL);
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : NULL;
    if (pixbuf) g_object_ref(pixbuf);
    g_object_unref(loader);
    return pixbuf;
}

/* A file through gdk_pixbuf_new_from_file and through a loader in chunks of 4 KiB, checked
 * against the library. */
static void check_file(const char* path) {
    gchar* data;
    gsize size;
    if (!g_file_get_contents(path, &data, &size, NULL)) {
        CHECK(0, "cannot read %s", path);
        return;
    }
    Expected e;
    expect_first_image((const guchar*)data, size, &e);
    GError* error = NULL;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path, &error);
    check_result(path, pixbuf, error, &e);
    g_clear_object(&pixbuf);
    g_clear_error(&error);
    if (size > 0) {
        pixbuf = load_in_chunks((const guchar*)data, size, 4096, "pqz", &error);
        check_result(path, pixbuf, error, &e);
        g_clear_object(&pixbuf);
        g_clear_error(&error);
    }
    g_free(e.pixels);
    g_free(data);
}

static void check_sample(const char* path) {
    gchar* data;
    gsize size;
    CHECK(g_file_get_contents(path, &data, &size, NULL), "cannot read %s", path);
    Expected e;
    expect_first_image((const guchar*)data, size, &e);
    CHECK(e.ok && e.width == 256 && e.height == 192, "the library reads the sample");

    GError* error = NULL;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path, &error);
    check_result("sample from file", pixbuf, error, &e);
    g_clear_object(&pixbuf);
    g_clear_error(&error);

    /* Small chunks, the type found from the bytes; then chunks that split the tag. */
    pixbuf = load_in_chunks((const guchar*)data, size, 7, NULL, &error);
    check_result("sample in 7-byte chunks", pixbuf, error, &e);
    g_clear_object(&pixbuf);
    g_clear_error(&error);
    pixbuf = load_in_chunks((const guchar*)data, size, 3, "pqz", &error);
    check_result("sample in 3-byte chunks", pixbuf, error, &e);
    g_clear_object(&pixbuf);
    g_clear_error(&error);

    int width = 0, height = 0;
    GdkPixbufFormat* format = gdk_pixbuf_get_file_info(path, &width, &height);
    gchar* format_name = format ? gdk_pixbuf_format_get_name(format) : NULL;
    CHECK(format_name && strcmp(format_name, "pqz") == 0, "the file is recognised as pqz");
    g_free(format_name);
    CHECK(width == 256 && height == 192, "file info gives %dx%d", width, height);
    if (format) {
        gchar** mime = gdk_pixbuf_format_get_mime_types(format);
        CHECK(mime && mime[0] && strcmp(mime[0], "image/x-pqz") == 0, "MIME type image/x-pqz");
        g_strfreev(mime);
    }
    pixbuf = gdk_pixbuf_new_from_file_at_size(path, 64, 64, &error);
    CHECK(pixbuf && gdk_pixbuf_get_width(pixbuf) == 64 && gdk_pixbuf_get_height(pixbuf) == 48,
          "scaled load gives 64x48");
    g_clear_object(&pixbuf);
    g_clear_error(&error);

    /* Cut anywhere in the first image block, the sample is refused; cut behind it, the first
     * image still loads. */
    const gsize cuts[] = {1, 3, 4, 5, 19, 20, 21, 42, 43, 1000, 49193, 49194, 49200, 60000};
    for (gsize i = 0; i < G_N_ELEMENTS(cuts); i++) {
        Expected cut;
        expect_first_image((const guchar*)data, cuts[i], &cut);
        CHECK(cut.ok == (cuts[i] >= 49194), "the library and cut %zu", (size_t)cuts[i]);
        gchar* what = g_strdup_printf("sample cut to %zu bytes", (size_t)cuts[i]);
        pixbuf = load_in_chunks((const guchar*)data, cuts[i], 1024, "pqz", &error);
        check_result(what, pixbuf, error, &cut);
        g_clear_object(&pixbuf);
        g_clear_error(&error);
        g_free(what);
        g_free(cut.pixels);
    }
    g_free(e.pixels);
    g_free(data);
}

/* Every .pqz file of a folder (and its subfolders) through check_file. */
static int check_folder(const char* folder) {
    GDir* dir = g_dir_open(folder, 0, NULL);
    if (!dir) return 0;
    int files = 0;
    const char* name;
    while ((name = g_dir_read_name(dir))) {
        gchar* path = g_build_filename(folder, name, NULL);
        if (g_file_test(path, G_FILE_TEST_IS_DIR)) {
            files += check_folder(path);
        } else if (g_str_has_suffix(name, ".pqz")) {
            check_file(path);
            files++;
        }
        g_free(path);
    }
    g_dir_close(dir);
    return files;
}

/* Address space for what follows: what the process has now plus 512 MiB, so that a loader
 * that allocated gigabytes for a forged header would fail visibly ("out of memory"). */
static void limit_address_space(void) {
    unsigned long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm && fscanf(statm, "%lu", &pages) == 1) {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = (rlim_t)pages * 4096 + ((rlim_t)512 << 20);
        setrlimit(RLIMIT_AS, &limit);
    }
    if (statm) fclose(statm);
}

static int check_thumbnail(const char* png, const char* sample, int size) {
    GError* error = NULL;
    GdkPixbuf* thumb = gdk_pixbuf_new_from_file(png, &error);
    GdkPixbuf* image = gdk_pixbuf_new_from_file(sample, NULL);
    CHECK(thumb && image, "thumbnail %s: %s", png, error ? error->message : "no image");
    if (!thumb || !image) return 1;
    const int w = gdk_pixbuf_get_width(thumb), h = gdk_pixbuf_get_height(thumb);
    CHECK(MAX(w, h) == size && w * 3 == h * 4, "thumbnail of %dx%d", w, h);
    /* The thumbnail shows the picture: close to the first image scaled the same way. */
    GdkPixbuf* scaled = gdk_pixbuf_scale_simple(image, w, h, GDK_INTERP_BILINEAR);
    const int n = gdk_pixbuf_get_n_channels(thumb), m = gdk_pixbuf_get_n_channels(scaled);
    double difference = 0;
    for (int y = 0; y < h; y++) {
        const guchar* a = gdk_pixbuf_read_pixels(thumb) + y * gdk_pixbuf_get_rowstride(thumb);
        const guchar* b = gdk_pixbuf_read_pixels(scaled) + y * gdk_pixbuf_get_rowstride(scaled);
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++) difference += abs(a[x * n + c] - b[x * m + c]);
    }
    difference /= 3.0 * w * h;
    CHECK(difference < 6, "thumbnail differs from the image by %.1f on average", difference);
    g_object_unref(scaled);
    g_object_unref(image);
    g_object_unref(thumb);
    return failures != 0;
}

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--thumbnail") == 0)
        return check_thumbnail(argv[2], argv[3], atoi(argv[4]));
    if (argc != 4) {
        fprintf(stderr, "usage: %s SAMPLE FORGED_DIR VECTORS_DIR\n", argv[0]);
        return 2;
    }
    check_sample(argv[1]);
    const int vectors = check_folder(argv[3]);
    CHECK(vectors >= 70, "only %d reference files found", vectors);
    limit_address_space();
    const int forged = check_folder(argv[2]);
    CHECK(forged >= 6, "only %d forged files found", forged);
    printf("pixbuf loader: sample, %d reference files, %d forged files: %s\n", vectors, forged,
           failures ? "FAILED" : "ok");
    return failures != 0;
}
