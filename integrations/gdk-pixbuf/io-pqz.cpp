// gdk-pixbuf loader module for PQZ files. The bytes are buffered as they arrive and decoded from
// memory when loading ends; the first image of the file becomes the pixbuf.
//
// A PQZ file with several images is not an animation: its images carry no timing, may differ in
// size and depth, and are often unrelated pictures. The loader therefore gives the first image
// (as thumbnailers and file choosers show it) and stops buffering once that image is whole.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "pqz_document.h"

namespace {

using pqz2_desktop::Document;

// The first image is looked for at 64 KiB of data and each time the data doubles. Data that
// grows past kMaxBuffered without holding a whole first image is refused: no image within the
// pixel limit needs that many bytes.
constexpr size_t kFirstCheck = size_t(64) << 10;
constexpr size_t kMaxBuffered = size_t(5) * pqz2_desktop::kMaxPixels;

struct LoadContext {
    GdkPixbufModuleSizeFunc size;
    GdkPixbufModulePreparedFunc prepared;
    GdkPixbufModuleUpdatedFunc updated;
    gpointer user;
    std::vector<uint8_t> data;
    size_t nextCheck = kFirstCheck;
    bool firstImageWhole = false;
};

gboolean fail(GError** error, GdkPixbufError code, const char* message) {
    g_set_error(error, GDK_PIXBUF_ERROR, code, "PQZ image: %s", message);
    return FALSE;
}

gboolean failWith(GError** error, pqz2_status status, const char* message) {
    GdkPixbufError code = GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
    if (status == PQZ2_ERR_NO_MEMORY || status == PQZ2_ERR_LIMIT)
        code = GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
    else if (status == PQZ2_ERR_UNSUPPORTED || status == PQZ2_ERR_FORMAT)
        code = GDK_PIXBUF_ERROR_UNKNOWN_TYPE;
    return fail(error, code, message);
}

gpointer beginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                   GdkPixbufModuleUpdatedFunc updated, gpointer user, GError** error) {
    auto* context = new (std::nothrow) LoadContext{size, prepared, updated, user, {}};
    if (!context) fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
    return context;
}

gboolean loadIncrement(gpointer data, const guchar* bytes, guint size, GError** error) {
    auto* context = static_cast<LoadContext*>(data);
    if (context->firstImageWhole || size == 0) return TRUE;
    std::vector<uint8_t>& buffered = context->data;
    if (buffered.size() + size > kMaxBuffered)
        return fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                    "the first image is larger than the loader accepts");
    try {
        buffered.insert(buffered.end(), bytes, bytes + size);
    } catch (const std::bad_alloc&) {
        return fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
    }
    if (buffered.size() >= 4 && buffered.size() - size < 4 &&
        !pqz2_desktop::startsWithBlockTag(buffered.data(), buffered.size()))
        return fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the data does not start a PQZ file");
    if (buffered.size() >= context->nextCheck) {
        const size_t whole = pqz2_desktop::firstImageBytes(buffered.data(), buffered.size());
        if (whole) {
            buffered.resize(whole);
            context->firstImageWhole = true;
        } else {
            context->nextCheck = buffered.size() * 2;
        }
    }
    return TRUE;
}

// The pixbuf layout for an image: RGBA where the pixels have a fourth byte, RGB otherwise.
bool hasAlpha(const pqz2_image_info& info) {
    return info.colour == PQZ2_COLOUR_BGR && info.bits_per_pixel > 24;
}

// Decodes the selected image into pixbuf (allocated for info's size and hasAlpha).
pqz2_status decodeInto(Document& document, const pqz2_image_info& info, GdkPixbuf* pixbuf) {
    guint length = 0;
    guchar* pixels = gdk_pixbuf_get_pixels_with_length(pixbuf, &length);
    const size_t stride = size_t(gdk_pixbuf_get_rowstride(pixbuf));
    if (!pqz2_desktop::showsValuesAsGrey(info))
        return document.decode(hasAlpha(info) ? PQZ2_FORMAT_RGBA8 : PQZ2_FORMAT_RGB8, pixels,
                               length, stride);
    std::vector<uint16_t> values;
    try {
        values.resize(size_t(info.width) * info.height);
    } catch (const std::bad_alloc&) {
        return PQZ2_ERR_NO_MEMORY;
    }
    const pqz2_status s =
        document.decode(PQZ2_FORMAT_VALUE, values.data(), values.size() * 2, 2 * info.width);
    if (s != PQZ2_OK) return s;
    for (uint32_t y = 0; y < info.height; y++)
        pqz2_desktop::valuesToGrey8(&values[size_t(y) * info.width], info.width,
                                    info.bits_per_pixel, pixels + y * stride, 3);
    return PQZ2_OK;
}

gboolean deliverFirstImage(LoadContext& context, GError** error) {
    if (context.data.empty()) return fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "empty file");
    Document document;
    pqz2_status s = document.open(context.data.data(), context.data.size());
    if (s != PQZ2_OK) return failWith(error, s, document.message());
    if (document.imageCount() == 0) {
        if (document.walkStatus() != PQZ2_OK)
            return failWith(error, document.walkStatus(), document.walkMessage());
        return fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the file holds no image");
    }
    pqz2_image_info info;
    s = document.select(0, &info);
    if (s != PQZ2_OK) return failWith(error, s, document.message());
    if (info.width == 0 || info.height == 0)
        return fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the first image has no pixels");
    if (!pqz2_desktop::showsValuesAsGrey(info) && pqz2_min_stride(&info, PQZ2_FORMAT_RGB8) == 0)
        return fail(error, GDK_PIXBUF_ERROR_UNKNOWN_TYPE,
                    "images of this depth have no colours to show");
    if (uint64_t(info.width) * info.height > pqz2_desktop::kMaxPixels)
        return failWith(error, PQZ2_ERR_LIMIT, "the image exceeds the loader's pixel limit");

    int width = int(info.width), height = int(info.height);
    if (context.size) {
        context.size(&width, &height, context.user);
        if (width <= 0 || height <= 0)
            return fail(error, GDK_PIXBUF_ERROR_FAILED, "no size left to load the image at");
    }
    GdkPixbuf* pixbuf =
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, hasAlpha(info), 8, int(info.width), int(info.height));
    if (!pixbuf) return fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
    s = decodeInto(document, info, pixbuf);
    if (s != PQZ2_OK) {
        g_object_unref(pixbuf);
        return failWith(error, s, s == PQZ2_ERR_NO_MEMORY ? "out of memory" : document.message());
    }
    if (context.prepared) context.prepared(pixbuf, nullptr, context.user);
    if (context.updated)
        context.updated(pixbuf, 0, 0, int(info.width), int(info.height), context.user);
    g_object_unref(pixbuf);
    return TRUE;
}

gboolean stopLoad(gpointer data, GError** error) {
    std::unique_ptr<LoadContext> context(static_cast<LoadContext*>(data));
    try {
        return deliverFirstImage(*context, error);
    } catch (const std::bad_alloc&) {
        return fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
    }
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->begin_load = beginLoad;
    module->stop_load = stopLoad;
    module->load_increment = loadIncrement;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    // A PQZ file starts with a block tag: 0x81, the kind (0x8A image, 0x90 extra data), "20".
    static char imageTag[] = "\x81\x8a\x32\x30";
    static char extraTag[] = "\x81\x90\x32\x30";
    static GdkPixbufModulePattern signature[] = {
        {imageTag, nullptr, 100}, {extraTag, nullptr, 80}, {nullptr, nullptr, 0}};
    static const gchar* mimeTypes[] = {"image/x-pqz", nullptr};
    static const gchar* extensions[] = {"pqz", nullptr};
    info->name = const_cast<gchar*>("pqz");
    info->signature = signature;
    info->description = const_cast<gchar*>("PQZ lossless image");
    info->mime_types = const_cast<gchar**>(mimeTypes);
    info->extensions = const_cast<gchar**>(extensions);
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = const_cast<gchar*>("Other");
}

}  // extern "C"
