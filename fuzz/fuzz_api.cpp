// Fuzz target over the public interface: the input is a whole file, walked as a caller would.
// Each image is decoded at most once: the last input byte chooses, step by step, whether an
// image is read or skipped and whether an extra block is read or passed over by the next image
// read.
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

void readImage(ReaderHandle* h, int step) {
    AuxHeader* aux = nullptr;
    pqzFreeResource(pqzReadImage(h, step % 3 ? &aux : nullptr));
    pqzFreeResource(aux);
    pqzGetImageNumber(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = inputFile(data, size);
    const unsigned choice = size ? data[size - 1] : 0;
    ReaderHandle* h = pqzOpen(path.c_str());
    for (int step = 0; step < kMaxSteps; step++) {  // block by block
        const bool alternative = (choice >> (step % 8)) & 1;
        const int t = pqzGetNextBlockType(h);
        if (t == PQZ_BLOCK_IMAGE) {
            pqzFreeResource(pqzReadED(h));  // refused: an image is next
            if (alternative)
                pqzSkipImage(h);
            else
                readImage(h, step);
        } else if (t == PQZ_BLOCK_EXTRA) {
            if (alternative)
                readImage(h, step);  // passes over the extra blocks in front of the image
            else
                pqzFreeResource(pqzReadED(h));
        } else {
            break;
        }
    }
    pqzRewind(h);
    for (int step = 0; step < kMaxSteps; step++) {  // skipping
        const int t = pqzGetNextBlockType(h);
        if (t == PQZ_BLOCK_IMAGE)
            pqzSkipImage(h);
        else if (t == PQZ_BLOCK_EXTRA)
            pqzFreeResource(pqzReadED(h));
        else
            break;
    }
    pqzGetLastError(h);
    pqzClose(h);
    return 0;
}
