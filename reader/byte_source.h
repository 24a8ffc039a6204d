// The bytes of one PQZ file, read by position: a file on disk, a caller's memory, or callbacks.
// Every read names its offset, so walks can be positioned anywhere (a rewind or a search for the
// next valid block needs no stream state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pqz {

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Bytes in all, or -1 when the source cannot tell.
    virtual int64_t size() = 0;
    // Reads up to n bytes at offset into dst; returns the count read (fewer than n only at the
    // end of the data), or -1 when the source fails.
    virtual int64_t readAt(uint64_t offset, void* dst, size_t n) = 0;
};

// Opens a file for reading; null when it cannot be opened or memory runs out.
std::unique_ptr<ByteSource> openFileSource(const char* path);

// A view of size bytes at data; the memory is not copied. Null when memory runs out.
std::unique_ptr<ByteSource> memorySource(const void* data, size_t size);

// Whether n bytes at offset are all in the source (reads the last of them when the size is
// unknown).
bool bytesPresent(ByteSource& source, uint64_t offset, uint64_t n);

}  // namespace pqz
