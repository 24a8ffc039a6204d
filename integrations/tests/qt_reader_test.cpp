// The Qt plug-in as programs use it (QImageReader, found through QT_PLUGIN_PATH), against the
// library's own decoding of the same bytes: every image of the sample by number and in sequence,
// every reference file, cut, damaged and forged files.
//   qt_reader_test SAMPLE FORGED_DIR VECTORS_DIR
#include <pqz2.h>
#include <sys/resource.h>

#include <QBuffer>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int failures = 0;

#define CHECK(cond, ...)                                                \
    do {                                                                \
        if (!(cond)) {                                                  \
            std::fprintf(stderr, "FAILED %s:%d: ", __FILE__, __LINE__); \
            std::fprintf(stderr, __VA_ARGS__);                          \
            std::fputc('\n', stderr);                                   \
            failures++;                                                 \
        }                                                               \
    } while (0)

// One image as the library gives it: RGBA, and the indices or plain values where the image
// has them. ok is false where the library cannot decode it.
struct Reference {
    bool ok = false;
    pqz2_image_info info{};
    std::vector<uint8_t> rgba;
    std::vector<uint8_t> index;
    std::vector<uint16_t> values;
};

template <typename T>
bool decodeInto(pqz2_file* f, const pqz2_image_info& info, pqz2_format format, std::vector<T>& out,
                size_t perPixel) {
    out.resize(size_t(info.width) * info.height * perPixel);
    return pqz2_decode(f, format, out.data(), out.size() * sizeof(T),
                       info.width * perPixel * sizeof(T), nullptr) == PQZ2_OK;
}

// Every image of the data up to the first block the walk cannot pass.
std::vector<Reference> referenceImages(const QByteArray& data) {
    std::vector<Reference> images;
    pqz2_file* f = pqz2_create(nullptr);
    pqz2_block block;
    if (pqz2_open_memory(f, data.constData(), size_t(data.size())) == PQZ2_OK) {
        while (pqz2_next_block(f, &block) == PQZ2_OK) {
            if (block.kind != PQZ2_BLOCK_IMAGE) continue;
            Reference r;
            // Images beyond the plug-in's pixel limit (2^27) are refused by it.
            if (pqz2_image_info_get(f, &r.info) == PQZ2_OK && r.info.width && r.info.height &&
                uint64_t(r.info.width) * r.info.height <= (uint64_t(1) << 27)) {
                const pqz2_image_info& i = r.info;
                const bool values = i.colour == PQZ2_COLOUR_VALUES && i.bits_per_pixel >= 9 &&
                                    i.bits_per_pixel <= 16;
                if (values)
                    r.ok = decodeInto(f, i, PQZ2_FORMAT_VALUE, r.values, 1);
                else if (pqz2_min_stride(&i, PQZ2_FORMAT_RGBA8))
                    r.ok = decodeInto(f, i, PQZ2_FORMAT_RGBA8, r.rgba, 4);
                if (r.ok && i.colour == PQZ2_COLOUR_PALETTE)
                    r.ok = decodeInto(f, i, PQZ2_FORMAT_INDEX8, r.index, 1);
            }
            images.push_back(std::move(r));
        }
    }
    pqz2_destroy(f);
    return images;
}

// The image holds the reference's pixels without loss: colours and alpha, palette indices,
// the full range of plain values.
void compare(const QString& what, const QImage& image, const Reference& ref) {
    const QByteArray name = what.toLocal8Bit();
    const pqz2_image_info& i = ref.info;
    if (!ref.ok) {
        CHECK(image.isNull(), "%s: the library refuses the image, the plug-in read it",
              name.constData());
        return;
    }
    CHECK(!image.isNull(), "%s: not read", name.constData());
    if (image.isNull()) return;
    CHECK(image.width() == int(i.width) && image.height() == int(i.height), "%s: size %dx%d",
          name.constData(), image.width(), image.height());
    if (image.width() != int(i.width) || image.height() != int(i.height)) return;
    for (uint32_t y = 0; y < i.height; y++) {
        for (uint32_t x = 0; x < i.width; x++) {
            const size_t at = size_t(y) * i.width + x;
            bool same;
            if (!ref.values.empty()) {
                const uint32_t max = (1u << i.bits_per_pixel) - 1;
                const uint16_t grey = uint16_t((ref.values[at] * 65535u + max / 2) / max);
                same = image.format() == QImage::Format_Grayscale16 &&
                       reinterpret_cast<const uint16_t*>(image.constScanLine(int(y)))[x] == grey;
            } else {
                const uint8_t* p = &ref.rgba[4 * at];
                same = image.pixel(int(x), int(y)) == qRgba(p[0], p[1], p[2], p[3]);
                if (!ref.index.empty())
                    same = same && image.pixelIndex(int(x), int(y)) == ref.index[at];
            }
            if (!same) {
                CHECK(false, "%s: pixel %u,%u differs from the library's", name.constData(), x, y);
                return;
            }
        }
    }
}

// All images of a device's data: by number (size and format told before reading), then, when
// asked, in sequence with a second reader.
void checkData(const QString& what, const QByteArray& data, bool inSequence = true) {
    const std::vector<Reference> refs = referenceImages(data);
    const QByteArray name = what.toLocal8Bit();
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const bool pqz = reader.format() == "pqz";
    const bool tagged = data.startsWith("\x81\x8a\x32\x30") || data.startsWith("\x81\x90\x32\x30");
    // A file is offered as readable when it starts like a PQZ file and holds an image.
    CHECK(pqz == (tagged && !refs.empty()), "%s: format '%s'", name.constData(),
          reader.format().data());
    if (!pqz) {
        CHECK(reader.read().isNull(), "%s: read without a format", name.constData());
        return;
    }
    CHECK(reader.imageCount() == int(refs.size()), "%s: %d images, the library walks %zu",
          name.constData(), reader.imageCount(), refs.size());
    for (size_t n = 0; n < refs.size(); n++) {
        CHECK(reader.jumpToImage(int(n)), "%s: jump to image %zu", name.constData(), n);
        CHECK(reader.size() == QSize(int(refs[n].info.width), int(refs[n].info.height)),
              "%s: size of image %zu", name.constData(), n);
        const QImage::Format told = reader.imageFormat();
        const QImage image = reader.read();
        compare(QStringLiteral("%1 image %2").arg(what).arg(n), image, refs[n]);
        if (image.isNull()) {
            CHECK(reader.error() != QImageReader::UnknownError || !reader.errorString().isEmpty(),
                  "%s: failed read without error", name.constData());
        } else {
            CHECK(told == image.format(), "%s: image %zu told format %d, read %d", name.constData(),
                  n, int(told), int(image.format()));
        }
    }
    if (refs.empty()) {
        CHECK(reader.read().isNull() && reader.error() != QImageReader::UnknownError,
              "%s: no image, but no error", name.constData());
    }
    if (!inSequence) return;
    buffer.seek(0);
    QImageReader sequence(&buffer, "pqz");
    size_t n = 0;
    for (; n < refs.size() && sequence.canRead(); n++)
        compare(QStringLiteral("%1 in sequence, image %2").arg(what).arg(n), sequence.read(),
                refs[n]);
    CHECK(n == refs.size() && !sequence.canRead(), "%s: sequence of %zu images", name.constData(),
          n);
}

int checkFolder(const QString& folder) {
    int files = 0;
    QDirIterator it(folder, {"*.pqz"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        CHECK(file.open(QIODevice::ReadOnly), "cannot read %s", qPrintable(path));
        checkData(path, file.readAll());
        files++;
    }
    return files;
}

void checkSample(const QString& path) {
    QFile file(path);
    CHECK(file.open(QIODevice::ReadOnly), "cannot read the sample");
    const QByteArray data = file.readAll();
    QImageReader reader(path);
    CHECK(reader.format() == "pqz" && reader.imageCount() == 14, "sample: %d images",
          reader.imageCount());
    checkData(QStringLiteral("sample"), data);
    // Found by content under another name, as QImage(path) does.
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("picture.bin"));
    QFile::copy(path, copy);
    const QImage first(copy);
    CHECK(first.width() == 256 && first.height() == 192, "QImage of a copy without suffix");
    // Cut anywhere: the images in front of the cut are read, the cut one is refused.
    for (int cut : {3, 4, 30, 49193, 49194, 60000, 153180, 200000, 403000})
        checkData(QStringLiteral("sample cut to %1 bytes").arg(cut), data.left(cut), cut < 50000);
    // A changed byte in each image's header or payload: read or refused, never a crash.
    for (int at : {8, 14, 49210, 235430, 264900, 307200, 358950, 364100, 386740, 400900}) {
        QByteArray changed = data;
        changed[at] = char(changed[at] ^ 0x5A);
        checkData(QStringLiteral("sample with byte %1 changed").arg(at), changed, false);
    }
}

// Address space for what follows: what the process has now plus 512 MiB.
void limitAddressSpace() {
    unsigned long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) == 1) {
            rlimit limit;
            limit.rlim_cur = limit.rlim_max = rlim_t(pages) * 4096 + (rlim_t(512) << 20);
            setrlimit(RLIMIT_AS, &limit);
        }
        std::fclose(statm);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SAMPLE FORGED_DIR VECTORS_DIR\n", argv[0]);
        return 2;
    }
    CHECK(QImageReader::supportedImageFormats().contains("pqz"), "no pqz plug-in found");
    CHECK(QImageReader::supportedMimeTypes().contains("image/x-pqz"), "no image/x-pqz");
    checkSample(QString::fromLocal8Bit(argv[1]));
    const int vectors = checkFolder(QString::fromLocal8Bit(argv[3]));
    CHECK(vectors >= 70, "only %d reference files found", vectors);
    limitAddressSpace();
    const int forged = checkFolder(QString::fromLocal8Bit(argv[2]));
    CHECK(forged >= 6, "only %d forged files found", forged);
    std::printf("Qt plug-in: sample, %d reference files, %d forged files: %s\n", vectors, forged,
                failures ? "FAILED" : "ok");
    return failures != 0;
}
