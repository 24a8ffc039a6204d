// Fuzz target over the public interface: the input is a whole file, walked as a caller would.
// A walk decodes each image at most once: the last input byte chooses, step by step, whether an
// image is read or skipped and whether an extra block is read or passed over by the next image
// read. Every input is walked twice, each time through a fresh handle, and both walks must hand
// out the same.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "reader/pqz2_read.h"

namespace {

// The input as a file without touching the disk.
std::string inputFile(const uint8_t* data, size_t size) {
    static int fd = memfd_create("pqz2fuzz", 0);
    ftruncate(fd, 0);
    pwrite(fd, data, size, 0);
    return "/proc/self/fd/" + std::to_string(fd);
}

constexpr int kMaxSteps = 4096;

// What a walk hands out, folded into one number.
struct Digest {
    uint64_t value = 1469598103934665603u;
    void add(const void* bytes, size_t n) {
        const auto* p = static_cast<const uint8_t*>(bytes);
        for (size_t i = 0; i < n; i++) value = (value ^ p[i]) * 1099511628211u;
    }
    void add(int v) { add(&v, sizeof v); }
};

void readImage(ReaderHandle* h, int step, Digest& digest) {
    AuxHeader* aux = nullptr;
    DibImage* dib = pqzReadImage(h, step % 3 ? &aux : nullptr);
    digest.add(dib != nullptr);
    if (dib) {
        const size_t colours = dib->biBitCount <= 8 ? size_t(4) << dib->biBitCount : 0;
        digest.add(dib, sizeof *dib + colours + dib->biSizeImage);
    }
    if (aux) digest.add(aux, 8 + aux->length);
    pqzFreeResource(dib);
    pqzFreeResource(aux);
    digest.add(pqzGetImageNumber(h));
}

uint64_t walk(const std::string& path, unsigned choice) {
    Digest digest;
    ReaderHandle* h = pqzOpen(path.c_str());
    for (int step = 0; step < kMaxSteps; step++) {  // block by block
        const bool alternative = (choice >> (step % 8)) & 1;
        const int t = pqzGetNextBlockType(h);
        digest.add(t);
        if (t == PQZ_BLOCK_IMAGE) {
            pqzFreeResource(pqzReadED(h));  // refused: an image is next
            if (alternative)
                digest.add(pqzSkipImage(h));
            else
                readImage(h, step, digest);
        } else if (t == PQZ_BLOCK_EXTRA) {
            if (alternative) {
                readImage(h, step, digest);  // passes over the extra blocks in front of the image
            } else {
                ExtraBlock* e = pqzReadED(h);
                if (e) digest.add(e, 8 + e->length);
                pqzFreeResource(e);
            }
        } else {
            break;
        }
    }
    digest.add(pqzRewind(h));
    for (int step = 0; step < kMaxSteps; step++) {  // skipping
        const int t = pqzGetNextBlockType(h);
        digest.add(t);
        if (t == PQZ_BLOCK_IMAGE)
            pqzSkipImage(h);
        else if (t == PQZ_BLOCK_EXTRA)
            pqzFreeResource(pqzReadED(h));
        else
            break;
    }
    digest.add(pqzGetLastError(h));
    pqzClose(h);
    return digest.value;
}

}  // namespace

// The file is walked twice through fresh handles: the same input read again in one process gives
// the same blocks, images and codes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = inputFile(data, size);
    const unsigned choice = size ? data[size - 1] : 0;
    if (walk(path, choice) != walk(path, choice)) __builtin_trap();
    return 0;
}
