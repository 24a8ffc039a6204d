/*
 * PQZ2_read: reader for PQZ lossless image files.
 *
 * A PQZ file is a sequence of blocks: image blocks and extra blocks (typed application data).
 * Open a file with pqzOpen, walk it with pqzGetNextBlockType, read images with pqzReadImage,
 * extra blocks with pqzReadED, skip images with pqzSkipImage, start over with pqzRewind and
 * close it with pqzClose. Every object the library hands out is released with pqzFreeResource.
 *
 * Errors are sticky: once pqzGetLastError(handle) is non-zero, only pqzGetLastError, pqzClose
 * and pqzFreeResource do anything with that handle.
 *
 * Threads: different handles may be used from different threads at the same time; each thread
 * decodes with its own state. One handle must not be used from two threads at once.
 */
#ifndef PQZ2_READ_H
#define PQZ2_READ_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(PQZ2_BUILDING_LIBRARY)
#define PQZ2_API __declspec(dllexport)
#else
#define PQZ2_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define PQZ2_API __attribute__((visibility("default")))
#else
#define PQZ2_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of one open file. */
typedef struct ReaderHandle ReaderHandle;

/* Results of pqzGetNextBlockType. */
enum {
    PQZ_BLOCK_NONE = 0,  /* no valid block here (sets error code 1) */
    PQZ_BLOCK_IMAGE = 1, /* an image block is next */
    PQZ_BLOCK_EXTRA = 2, /* an extra block is next */
    PQZ_BLOCK_END = 3    /* end of file */
};

/* Error codes returned by pqzGetLastError. */
enum {
    PQZ_OK = 0,
    PQZ_ERR_NO_BLOCK = 1,    /* no valid block where one was expected, or null handle */
    PQZ_ERR_CANNOT_OPEN = 2, /* the file cannot be opened */
    PQZ_ERR_BAD_STREAM = 3,  /* a coded stream of an image lacks its opening marker */
    PQZ_ERR_RESERVED = 4,    /* never raised */
    PQZ_ERR_BAD_FILE = 5,    /* the file does not start with valid blocks */
    PQZ_ERR_NO_MEMORY = 6    /* memory for the reader cannot be allocated */
};

/* Device-independent bitmap: this 40-byte header, then 2^biBitCount colour entries
 * (blue, green, red, 0) when biBitCount <= 8, then biSizeImage bytes of bottom-up rows,
 * each padded to a multiple of four bytes. */
typedef struct DibImage {
    uint32_t biSize; /* 40 */
    int32_t biWidth;
    int32_t biHeight; /* positive: bottom-up rows */
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
} DibImage;

/* Auxiliary header of an image, or extra block: type, length (the stored size rounded up to a
 * multiple of 4, at least 4), then length bytes of data (zero behind the stored bytes). */
typedef struct ExtraBlock {
    uint32_t type;
    uint32_t length;
    uint8_t data[4]; /* really `length` bytes */
} ExtraBlock;
typedef ExtraBlock AuxHeader;

/* Opens a file. Returns a handle (check pqzGetLastError), or null when out of memory. */
PQZ2_API ReaderHandle* pqzOpen(const char* fileName);
/* Closes the handle and its file. Returns 1, or 0 for a null handle. */
PQZ2_API int pqzClose(ReaderHandle* handle);
/* Reads the next image as a bitmap (a DibImage header followed by colours and rows), or returns
 * null. When aux is not null it receives the image's auxiliary header or null. */
PQZ2_API DibImage* pqzReadImage(ReaderHandle* handle, AuxHeader** aux);
/* Reads the next block if it is an extra block; null otherwise. */
PQZ2_API ExtraBlock* pqzReadED(ReaderHandle* handle);
/* Passes over the next image without decoding it. Returns 1 while more blocks follow. */
PQZ2_API int pqzSkipImage(ReaderHandle* handle);
/* Goes back to the start of the file. Returns 1 on success. */
PQZ2_API int pqzRewind(ReaderHandle* handle);
/* Kind of the next block: PQZ_BLOCK_NONE, _IMAGE, _EXTRA or _END. */
PQZ2_API int pqzGetNextBlockType(ReaderHandle* handle);
/* Number of images passed since open or rewind; -1 on a failed handle. */
PQZ2_API int pqzGetImageNumber(ReaderHandle* handle);
/* The handle's error code; 1 for a null handle. */
PQZ2_API int pqzGetLastError(ReaderHandle* handle);
/* Releases an object handed out by the library; null is allowed. */
PQZ2_API void pqzFreeResource(void* object);

#ifdef __cplusplus
}
#endif

#endif /* PQZ2_READ_H */
