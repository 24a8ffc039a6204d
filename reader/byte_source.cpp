#include "reader/byte_source.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace pqz {

namespace {

class FileSource final : public ByteSource {
  public:
    explicit FileSource(FILE* f) : file_(f) {
        if (std::fseek(f, 0, SEEK_END) == 0) {
            const long end = std::ftell(f);
            if (end >= 0) size_ = end;
        }
    }
    ~FileSource() override { std::fclose(file_); }
    int64_t size() override { return size_; }
    int64_t readAt(uint64_t offset, void* dst, size_t n) override {
        if (offset > uint64_t(INT64_MAX)) return 0;
        if (size_ >= 0 && offset >= uint64_t(size_)) return 0;
        if (offset != position_) {
            if (fseeko(file_, off_t(offset), SEEK_SET) != 0) return -1;
            position_ = offset;
        }
        const size_t got = std::fread(dst, 1, n, file_);
        position_ += got;
        if (got < n && std::ferror(file_)) {
            std::clearerr(file_);
            position_ = UINT64_MAX;  // unknown: the next read seeks
            return -1;
        }
        return int64_t(got);
    }

  private:
    FILE* file_;
    int64_t size_ = -1;
    uint64_t position_ = UINT64_MAX;
};

class MemorySource final : public ByteSource {
  public:
    MemorySource(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    int64_t size() override { return int64_t(size_); }
    int64_t readAt(uint64_t offset, void* dst, size_t n) override {
        if (offset >= size_) return 0;
        const size_t take = n < size_ - offset ? n : size_t(size_ - offset);
        if (take) std::memcpy(dst, data_ + offset, take);
        return int64_t(take);
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace

std::unique_ptr<ByteSource> openFileSource(const char* path) {
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) return nullptr;
    auto* source = new (std::nothrow) FileSource(f);
    if (!source) std::fclose(f);
    return std::unique_ptr<ByteSource>(source);
}

std::unique_ptr<ByteSource> memorySource(const void* data, size_t size) {
    return std::unique_ptr<ByteSource>(new (std::nothrow) MemorySource(data, size));
}

bool bytesPresent(ByteSource& source, uint64_t offset, uint64_t n) {
    if (n == 0) return true;
    if (offset > UINT64_MAX - n) return false;
    const int64_t size = source.size();
    if (size >= 0) return offset + n <= uint64_t(size);
    uint8_t last;
    return source.readAt(offset + n - 1, &last, 1) == 1;
}

}  // namespace pqz
