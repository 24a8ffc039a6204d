// The file object: creation, opening from a path, memory or callbacks, status texts and messages.
#include <cstdio>
#include <cstring>
#include <new>

#include "api/file.h"
#include "reader/resync.h"

namespace pqz::api {

namespace {

// Reads through the caller's callbacks, seeking only when the position is not already right.
class CallbackSource final : public ByteSource {
  public:
    explicit CallbackSource(const pqz2_io& io) : io_(io) {
        const int64_t s = io_.size ? io_.size(io_.user) : -1;
        size_ = s >= 0 ? s : -1;
    }
    int64_t size() override { return size_; }
    int64_t readAt(uint64_t offset, void* dst, size_t n) override {
        if (size_ >= 0 && offset >= uint64_t(size_)) return 0;
        if (offset != position_) {
            if (io_.seek(io_.user, offset) != 0) {
                position_ = UINT64_MAX;
                return size_ < 0 ? 0 : -1;  // unknown size: a position past the end
            }
            position_ = offset;
        }
        size_t done = 0;
        while (done < n) {
            const int64_t got = io_.read(io_.user, static_cast<uint8_t*>(dst) + done, n - done);
            if (got < 0 || uint64_t(got) > n - done) {
                position_ = UINT64_MAX;
                return -1;
            }
            if (got == 0) break;
            done += size_t(got);
        }
        position_ += done;
        return int64_t(done);
    }

  private:
    pqz2_io io_;
    int64_t size_;
    uint64_t position_ = UINT64_MAX;
};

// Validates the first block's tag: data that does not start with a block is no PQZ file.
pqz2_status attach(pqz2_file* file, std::unique_ptr<ByteSource> source, const char* what) {
    if (!source) return fail(file, PQZ2_ERR_NO_MEMORY, "out of memory opening %s", what);
    WalkedBlock first;
    const WalkResult r = readBlockAt(*source, 0, &first);
    if (r == WalkResult::IoError) return fail(file, PQZ2_ERR_IO, "%s cannot be read", what);
    if (r == WalkResult::Damaged && first.damage == BlockDamage::NoTag) {
        // With salvage, damage at the start may hide the first blocks: a valid block further on
        // makes it a damaged PQZ file.
        const WalkResult found =
            file->options.salvage ? findBlockFrom(*source, 1, &first) : WalkResult::End;
        if (found == WalkResult::IoError) return fail(file, PQZ2_ERR_IO, "%s cannot be read", what);
        if (found != WalkResult::Ok)
            return fail(file, PQZ2_ERR_NOT_PQZ, "%s is no PQZ file: no block starts at byte 0",
                        what);
    }
    auto* walk = new (std::nothrow) BlockWalk(*source);
    if (!walk) return fail(file, PQZ2_ERR_NO_MEMORY, "out of memory opening %s", what);
    file->walk.reset(walk);
    file->source = std::move(source);
    file->hasCurrent = false;
    std::memset(file->inherited, 0, sizeof file->inherited);
    return ok(file);
}

pqz2_status checkClosed(pqz2_file* file) {
    if (file->source) return fail(file, PQZ2_ERR_ORDER, "a file is already open: close it first");
    return PQZ2_OK;
}

}  // namespace

pqz2_status fail(pqz2_file* file, pqz2_status status, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    file->message = text;
    return status;
}

pqz2_status ok(pqz2_file* file) {
    file->message.clear();
    return PQZ2_OK;
}

std::string where(const WalkedBlock& b) {
    char text[128];
    if (b.imageIndex >= 0)
        std::snprintf(text, sizeof text, "block %u (image %d) at byte offset %llu", b.index,
                      b.imageIndex, static_cast<unsigned long long>(b.offset));
    else
        std::snprintf(text, sizeof text, "block %u at byte offset %llu", b.index,
                      static_cast<unsigned long long>(b.offset));
    return text;
}

std::string damageMessage(const WalkedBlock& b) {
    return where(b) + ": " + damageText(b.damage);
}

}  // namespace pqz::api

using namespace pqz;
using namespace pqz::api;

extern "C" {

PQZ2_EXPORT uint32_t pqz2_version(void) {
    return PQZ2_VERSION_MAJOR * 10000 + PQZ2_VERSION_MINOR * 100 + PQZ2_VERSION_PATCH;
}

PQZ2_EXPORT const char* pqz2_version_text(void) {
    return "2.0.0";
}

PQZ2_EXPORT const char* pqz2_status_text(pqz2_status status) {
    switch (status) {
        case PQZ2_OK:
            return "success";
        case PQZ2_END:
            return "end of the file";
        case PQZ2_PARTIAL:
            return "image returned in part";
        case PQZ2_ERR_ARGUMENT:
            return "invalid argument";
        case PQZ2_ERR_BUFFER_TOO_SMALL:
            return "buffer too small";
        case PQZ2_ERR_ORDER:
            return "call out of order";
        case PQZ2_ERR_IO:
            return "input error";
        case PQZ2_ERR_NOT_PQZ:
            return "not a PQZ file";
        case PQZ2_ERR_DAMAGED:
            return "damaged data";
        case PQZ2_ERR_MISSING_MARKER:
            return "coded stream without its opening marker";
        case PQZ2_ERR_UNSUPPORTED:
            return "unsupported layout";
        case PQZ2_ERR_FORMAT:
            return "pixel format not available for this image";
        case PQZ2_ERR_LIMIT:
            return "image exceeds a limit";
        case PQZ2_ERR_NO_MEMORY:
            return "out of memory";
        case PQZ2_ERR_CANCELLED:
            return "cancelled";
    }
    return "unknown status";
}

PQZ2_EXPORT void pqz2_options_init(pqz2_options* options) {
    if (!options) return;
    std::memset(options, 0, sizeof *options);
    options->struct_size = sizeof *options;
    options->max_pixels = uint64_t(1) << 28;
    options->max_memory = uint64_t(1) << 30;
}

PQZ2_EXPORT pqz2_file* pqz2_create(const pqz2_options* options) {
    auto* file = new (std::nothrow) pqz2_file;
    if (!file) return nullptr;
    pqz2_options_init(&file->options);
    if (options) {
        // Callers built against an older, shorter options structure keep the later defaults.
        size_t size = options->struct_size ? options->struct_size : sizeof *options;
        if (size > sizeof *options) size = sizeof *options;
        std::memcpy(&file->options, options, size);
        file->options.struct_size = sizeof *options;
    }
    return file;
}

PQZ2_EXPORT void pqz2_destroy(pqz2_file* file) {
    delete file;
}

PQZ2_EXPORT const char* pqz2_message(const pqz2_file* file) {
    return file ? file->message.c_str() : "no file object (NULL)";
}

PQZ2_EXPORT pqz2_status pqz2_open_path(pqz2_file* file, const char* path) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!path) return fail(file, PQZ2_ERR_ARGUMENT, "no path (NULL)");
    if (pqz2_status s = checkClosed(file)) return s;
    std::unique_ptr<ByteSource> source = openFileSource(path);
    if (!source) return fail(file, PQZ2_ERR_IO, "%s cannot be opened", path);
    return attach(file, std::move(source), path);
}

PQZ2_EXPORT pqz2_status pqz2_open_memory(pqz2_file* file, const void* data, size_t size) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!data && size) return fail(file, PQZ2_ERR_ARGUMENT, "no data (NULL) of %zu bytes", size);
    if (pqz2_status s = checkClosed(file)) return s;
    return attach(file, memorySource(data ? data : "", size), "the data in memory");
}

PQZ2_EXPORT pqz2_status pqz2_open_io(pqz2_file* file, const pqz2_io* io) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!io || !io->read || !io->seek)
        return fail(file, PQZ2_ERR_ARGUMENT, "callbacks missing: read and seek are required");
    if (pqz2_status s = checkClosed(file)) return s;
    return attach(file, std::unique_ptr<ByteSource>(new (std::nothrow) CallbackSource(*io)),
                  "the data of the callbacks");
}

PQZ2_EXPORT pqz2_status pqz2_close(pqz2_file* file) {
    if (!file) return PQZ2_ERR_ARGUMENT;
    if (!file->source) return fail(file, PQZ2_ERR_ORDER, "no file is open");
    file->walk.reset();
    file->source.reset();
    file->hasCurrent = false;
    return ok(file);
}

}  // extern "C"
