#include "bench/bench_cases.h"

#include <cstdlib>
#include <filesystem>

#include "api/pqz2.h"
#include "bench/heap_peak.h"
#include "bench/peer_codecs.h"
#include "reader/pqz2_read.h"

namespace pqz::bench {

namespace {

// Reads the first image of a PQZ file; null when the reader refuses it. errorCode receives the
// handle's error code.
DibImage* readPqz(const std::string& path, int* errorCode = nullptr) {
    ReaderHandle* h = pqzOpen(path.c_str());
    if (!h) return nullptr;
    DibImage* dib = pqzGetLastError(h) == PQZ_OK ? pqzReadImage(h, nullptr) : nullptr;
    if (errorCode) *errorCode = pqzGetLastError(h);
    pqzClose(h);
    return dib;
}

// Decodes the first image of a PQZ file through the decoding API in the stored layout; empty
// when it fails (with the message in *problem).
std::vector<uint8_t> readPqzApi(const std::string& path, std::string* problem = nullptr) {
    std::vector<uint8_t> out;
    pqz2_file* f = pqz2_create(nullptr);
    pqz2_block block;
    void* pixels = nullptr;
    size_t stride = 0;
    if (pqz2_open_path(f, path.c_str()) == PQZ2_OK && pqz2_next_block(f, &block) == PQZ2_OK &&
        pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, &pixels, &stride, nullptr) == PQZ2_OK) {
        pqz2_image_info info;
        pqz2_image_info_get(f, &info);
        const uint8_t* p = static_cast<const uint8_t*>(pixels);
        out.assign(p, p + stride * info.height);
        pqz2_free(pixels);
    } else if (problem) {
        *problem = pqz2_message(f);
    }
    pqz2_destroy(f);
    return out;
}

// Whether the bitmap shows the picture: 8-bit grey rows, or 24-bit blue, green, red (a 32-bit
// image's bitmap drops the alpha byte). Rows are bottom-up and padded to four bytes.
std::string compareBitmap(const DibImage* dib, const enc::Picture& p) {
    const int channels = p.channels == 1 ? 1 : 3;
    if (dib->biWidth != p.width || dib->biHeight != p.height || dib->biBitCount != 8 * channels)
        return "bitmap of another size or depth";
    const uint8_t* rows = reinterpret_cast<const uint8_t*>(dib + 1) + (channels == 1 ? 4 * 256 : 0);
    const size_t stride = (size_t(p.width) * channels + 3) & ~size_t(3);
    for (int y = 0; y < p.height; y++) {
        const uint8_t* row = rows + size_t(p.height - 1 - y) * stride;
        for (int x = 0; x < p.width; x++)
            for (int c = 0; c < channels; c++) {
                const uint8_t want = channels == 1 ? p.at(x, y, 0) : p.at(x, y, 2 - c);
                if (row[size_t(x) * channels + c] != want)
                    return "decoded pixel differs at x " + std::to_string(x) + ", y " +
                           std::to_string(y);
            }
    }
    return "";
}

bool decodePeer(const Case& c, std::vector<uint8_t>& pixels) {
    return c.peer == Peer::kPng ? decodePng(c.compressed, pixels)
                                : decodeJpegLs(c.compressed, pixels);
}

std::string encodeCase(Case& c) {
    if (c.peer == Peer::kPng) {
        c.compressed = encodePng(*c.picture);
        return "";
    }
    if (c.peer == Peer::kJpegLs) {
        c.compressed = encodeJpegLs(*c.picture);
        return "";
    }
    enc::ImageBlock block;
    if (!c.method->encode || !c.method->encode(*c.picture, block))
        return "the test encoder cannot code this picture";
    c.compressed = pqzFile(block);
    return "";
}

}  // namespace

size_t Case::decodedBytes() const {
    return size_t(picture->width) * picture->height * picture->channels;
}

double Case::bitsPerPixel() const {
    return 8.0 * double(compressed.size()) / (double(picture->width) * picture->height);
}

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pqz2bench.XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

bool prepareCase(Case& c, const std::string& folder) {
    c.prepared = true;
    c.error = encodeCase(c);
    if (!c.error.empty()) return false;

    if (c.peer != Peer::kNone) {
        std::vector<uint8_t> pixels;
        const long long base = heapResetPeak();
        const bool ok = decodePeer(c, pixels);
        c.peakHeap = heapPeak() - base;
        if (!ok)
            c.error = "the peer decoder fails";
        else if (pixels != c.picture->pixels)
            c.error = "the peer decoder gives other pixels";
        return c.error.empty();
    }

    c.path = folder + "/" + c.photo + "-" + c.method->name + ".pqz";  // shared by both readers
    if (!enc::writeFile(c.path, c.compressed)) {
        c.error = "cannot write " + c.path;
        return false;
    }
    if (c.api) {
        std::string problem;
        const long long base = heapResetPeak();
        const std::vector<uint8_t> pixels = readPqzApi(c.path, &problem);
        c.peakHeap = heapPeak() - base;
        if (pixels.empty())
            c.error = "the decoding API refuses the image: " + problem;
        else if (pixels != storedPixels(*c.picture))
            c.error = "the decoding API gives other pixels";
        return c.error.empty();
    }
    int errorCode = 0;
    const long long base = heapResetPeak();
    DibImage* dib = readPqz(c.path, &errorCode);
    c.peakHeap = heapPeak() - base;
    if (!dib) {
        c.error = "the reader refuses the image";
        if (errorCode != PQZ_OK) c.error += " (error code " + std::to_string(errorCode) + ")";
        return false;
    }
    c.error = compareBitmap(dib, *c.picture);
    // The bitmap alone is a heap block of the library: a smaller peak means the counter does
    // not see the library's allocations.
    if (c.error.empty() && heapCounting() && c.peakHeap < static_cast<long long>(dib->biSizeImage))
        c.error = "the heap counter misses the reader's allocations";
    pqzFreeResource(dib);
    return c.error.empty();
}

bool decodeCase(const Case& c) {
    if (c.peer != Peer::kNone) {
        std::vector<uint8_t> pixels;
        return decodePeer(c, pixels);
    }
    if (c.api) {
        pqz2_file* f = pqz2_create(nullptr);
        pqz2_block block;
        void* pixels = nullptr;
        size_t stride = 0;
        const bool ok =
            pqz2_open_path(f, c.path.c_str()) == PQZ2_OK && pqz2_next_block(f, &block) == PQZ2_OK &&
            pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, &pixels, &stride, nullptr) == PQZ2_OK;
        pqz2_free(pixels);
        pqz2_destroy(f);
        return ok;
    }
    DibImage* dib = readPqz(c.path);
    pqzFreeResource(dib);
    return dib != nullptr;
}

}  // namespace pqz::bench
