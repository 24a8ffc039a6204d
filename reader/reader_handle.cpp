#include "reader/reader_handle.h"

#include <cstdlib>

#include "reader/dib.h"
#include "reader/stream_reader.h"

static_assert(sizeof(DibImage) == 40, "the bitmap header is 40 bytes");
static_assert(sizeof(ExtraBlock) == 12, "records are type, length, data");

namespace pqz {

namespace {

// A handle that may read: not null, no error, a reader.
StreamReader* usable(ReaderHandle* h) {
    if (!h || h->errorCode != 0) return nullptr;
    return h->reader;
}

}  // namespace
}  // namespace pqz

using namespace pqz;

extern "C" {

PQZ2_API ReaderHandle* pqzOpen(const char* fileName) {
    auto* h = static_cast<ReaderHandle*>(std::calloc(1, sizeof(ReaderHandle)));
    if (!h) return nullptr;
    h->reader = static_cast<StreamReader*>(std::calloc(1, sizeof(StreamReader)));
    if (!h->reader) {
        h->errorCode = 6;
        return h;
    }
    h->errorCode = openStream(h->reader, fileName);
    if (h->errorCode != 0) {
        closeStream(h->reader);
        std::free(h->reader);
        h->reader = nullptr;
    }
    return h;
}

PQZ2_API int pqzClose(ReaderHandle* handle) {
    if (!handle) return 0;
    if (handle->reader) {
        closeStream(handle->reader);
        std::free(handle->reader);
    }
    std::free(handle);
    return 1;
}

PQZ2_API DibImage* pqzReadImage(ReaderHandle* handle, AuxHeader** aux) {
    if (!handle) return nullptr;
    return convertToDib(handle, aux);
}

PQZ2_API ExtraBlock* pqzReadED(ReaderHandle* handle) {
    StreamReader* r = usable(handle);
    return r ? readExtraBlock(r) : nullptr;
}

PQZ2_API int pqzSkipImage(ReaderHandle* handle) {
    StreamReader* r = usable(handle);
    return r ? skipImage(r) : 0;
}

PQZ2_API int pqzRewind(ReaderHandle* handle) {
    StreamReader* r = usable(handle);
    if (!r) return 0;
    r->imageCount = 0;
    if (!r->file) return 0;
    return std::fseek(r->file, 0, SEEK_SET) == 0 ? 1 : 0;
}

PQZ2_API int pqzGetNextBlockType(ReaderHandle* handle) {
    StreamReader* r = usable(handle);
    if (!r) return 0;
    int t = peekBlockType(r);
    if (t == kBlockNone) handle->errorCode = 1;
    return t;
}

PQZ2_API int pqzGetImageNumber(ReaderHandle* handle) {
    StreamReader* r = usable(handle);
    return r ? r->imageCount : -1;
}

PQZ2_API int pqzGetLastError(ReaderHandle* handle) {
    return handle ? handle->errorCode : 1;
}

PQZ2_API void pqzFreeResource(void* object) {
    std::free(object);
}

}  // extern "C"
