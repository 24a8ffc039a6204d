// Fuzz target over the public interface: the input is a whole file, walked as a caller would.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = inputFile(data, size);
    ReaderHandle* h = pqzOpen(path.c_str());
    for (int i = 0; i < kMaxSteps; i++) {  // every image blindly
        DibImage* d = pqzReadImage(h, nullptr);
        if (!d) break;
        pqzFreeResource(d);
    }
    pqzRewind(h);
    for (int i = 0; i < kMaxSteps; i++) {  // block by block
        const int t = pqzGetNextBlockType(h);
        if (t == PQZ_BLOCK_IMAGE) {
            AuxHeader* aux = nullptr;
            pqzFreeResource(pqzReadED(h));
            pqzFreeResource(pqzReadImage(h, &aux));
            pqzFreeResource(aux);
        } else if (t == PQZ_BLOCK_EXTRA) {
            pqzFreeResource(pqzReadED(h));
        } else {
            break;
        }
        pqzGetImageNumber(h);
    }
    pqzRewind(h);
    for (int i = 0; i < kMaxSteps; i++) {  // skipping
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
