// Demo of the reader library: reads "TestFile.pqz" three times (every image blindly, block by
// block with a report of each, skipping every image) and prints what it sees.
#include <dlfcn.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pqz2_read.h"

#ifndef PQZ2_LIBRARY_FILE
#define PQZ2_LIBRARY_FILE "libPQZ2_read.so"
#endif

namespace {

void* libraryModule = nullptr;
ReaderHandle* openHandle = nullptr;  // closed on the way out, also after an error

[[noreturn]] void fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    if (openHandle) pqzClose(openHandle);
    if (libraryModule) dlclose(libraryModule);
    std::exit(-1);
}

// The library by its file name: first the copy beside this program, then the loader's search.
void* loadLibrary() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.resize(dir.rfind('/') + 1);
        if (void* module = dlopen((dir + PQZ2_LIBRARY_FILE).c_str(), RTLD_NOW)) return module;
    }
    return dlopen(PQZ2_LIBRARY_FILE, RTLD_NOW);
}

}  // namespace

int main() {
#if defined(__x86_64__)
    // Flush denormal results of single-precision vector arithmetic to zero for the whole run.
    _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
#endif
    std::printf("PQZ2_READ library demo\n");
    libraryModule = loadLibrary();
    if (!libraryModule) fatal("Load PQZ2_READ library error");

    ReaderHandle* h = pqzOpen("TestFile.pqz");
    openHandle = h;
    if (!h || pqzGetLastError(h) != 0) fatal("File open error: %d", pqzGetLastError(h));

    std::printf("Simplest PQZ file reading cycle\n");
    while (DibImage* image = pqzReadImage(h, nullptr)) {
        std::printf("Image %d was read\r", pqzGetImageNumber(h) - 1);
        pqzFreeResource(image);
    }
    if (int err = pqzGetLastError(h)) fatal("Some error occured: %d", err);
    std::printf("\nWe are at EOF now.\n");
    if (!pqzRewind(h)) fatal("Error while rewinding");
    std::printf("PQZ file was rewinded\n");

    std::printf("More complicated PQZ file reading cycle\n");
    for (;;) {
        const int t = pqzGetNextBlockType(h);
        if (t == PQZ_BLOCK_NONE) fatal("Some error occured: %d", pqzGetLastError(h));
        if (t == PQZ_BLOCK_END) break;
        if (t == PQZ_BLOCK_IMAGE) {
            std::printf("Reading image number %d:", pqzGetImageNumber(h));
            AuxHeader* aux = nullptr;
            DibImage* image = pqzReadImage(h, &aux);
            if (!image) fatal("Some error occured: %d", pqzGetLastError(h));
            std::printf("\t %dx%dx%d, image size %d bytes\n", image->biWidth, image->biHeight,
                        image->biBitCount, int(image->biSizeImage));
            if (aux) {
                std::printf("Image has auxilary header, type: %d, size: %d\n", int(aux->type),
                            int(aux->length));
                pqzFreeResource(aux);
            }
            pqzFreeResource(image);
        } else {
            std::printf("WOW! This PQZ file has ExtraBlock!\n");
            ExtraBlock* block = pqzReadED(h);
            if (!block) fatal("Some error occured: %d", pqzGetLastError(h));
            std::printf("Enumeration type: %d, block size: %d\n", int(block->type),
                        int(block->length));
            pqzFreeResource(block);
        }
    }
    std::printf("We are at EOF now.\n");
    if (!pqzRewind(h)) fatal("Error while rewinding");
    std::printf("PQZ file was rewinded\n");

    std::printf("Example of image skipping\n");
    int t = pqzGetNextBlockType(h);
    while (t == PQZ_BLOCK_IMAGE) {
        std::printf("Skipping image number %d\r", pqzGetImageNumber(h));
        if (!pqzSkipImage(h)) fatal("Error while skipping");
        t = pqzGetNextBlockType(h);
    }

    pqzClose(h);
    dlclose(libraryModule);
    libraryModule = nullptr;
    std::printf("\nThat is all, folks!");
    return 0;
}
