// The converter's access to PQZ files through the library: the block walk of the inspection
// interface for listings and extra blocks, a reader handle for the images.
#include "pqz_access.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "reader/dib.h"
#include "reader/inspect.h"
#include "reader/pqz2_read.h"

namespace pqzconvert {

namespace {

const char* kMethodNames[4] = {"0", "1", "2", "3"};

std::string describeCoding(const pqz::BlockInfo& b) {
    const pqz::ImageHeader& h = b.header;
    if (!(h.flags & pqz::kFlagCompressed)) return "raw";
    std::string s = (h.flags & pqz::kFlagRangeCoded) ? "range-coded" : "bit-stream";
    if (!b.hasHead) return s + ", whole image, no plane table";
    s += (h.flags & pqz::kFlagSeparatePlanes) ? ", separate planes" : ", interleaved";
    s += ", tolerance " + std::to_string(b.tolerance) + ", planes:";
    for (int p = 0; p < b.planeCount; p++) {
        const pqz::PlaneDescriptor& d = b.planes[p];
        s += " [" + std::to_string(p) + ": order " + std::to_string(d.order) + " method " +
             kMethodNames[d.method()] + (d.modelFlag() ? " model" : "");
        if (d.hasReference()) s += " ref(offset " + std::to_string(d.offset) + ")";
        s += "]";
    }
    return s;
}

BlockEntry toEntry(const pqz::BlockInfo& b, int extras) {
    BlockEntry e;
    e.image = b.image;
    e.offset = b.offset;
    e.recordType = b.recordType;
    e.recordStored = b.recordSize;
    if (!b.image) {
        e.extraNumber = extras;
        e.recordOffset = b.offset + 12;  // tag, type, size
        return e;
    }
    e.imageNumber = b.imageNumber;
    e.width = b.header.width;
    e.height = b.header.height;
    e.bitsPerPixel = b.header.bitsPerPixel();
    e.grey = (b.header.format & pqz::kFormatGrey) != 0;
    e.palette = (b.header.format & pqz::kFormatPalette) != 0;
    e.payloadBytes = b.header.payloadSize;
    e.coding = describeCoding(b);
    e.hasAux = b.hasAux;
    return e;
}

// The offset a walk stopped at, from the problem text of the inspection interface.
uint64_t offsetIn(const std::string& problem) {
    const size_t at = problem.find("offset ");
    return at == std::string::npos ? 0 : std::strtoull(problem.c_str() + at + 7, nullptr, 10);
}

bool readableFile(const std::string& path, uint64_t* size, std::string* reason) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *reason = std::strerror(errno);
        return false;
    }
    struct stat st;
    const bool statted = fstat(fileno(f), &st) == 0;
    const int statError = errno;
    std::fclose(f);
    if (!statted) {
        *reason = std::strerror(statError);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *reason = std::strerror(EISDIR);
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        *reason = "empty file (no blocks)";
        return false;
    }
    *size = uint64_t(st.st_size);
    return true;
}

}  // namespace

uint64_t handedOutLength(uint32_t stored) {
    const uint64_t length = (uint64_t(stored) + 3) & ~uint64_t(3);
    return length == 0 ? 4 : length;
}

bool listFile(const std::string& path, Listing* listing, std::string* reason) {
    *listing = Listing();
    if (!readableFile(path, &listing->fileSize, reason)) return false;
    std::vector<pqz::BlockInfo> blocks;
    std::string problem;
    listing->complete = pqz::listBlocks(path, &blocks, &problem);
    int extras = 0;
    for (const pqz::BlockInfo& b : blocks) {
        listing->blocks.push_back(toEntry(b, extras));
        if (!b.image) extras++;
    }
    if (!listing->complete) {
        listing->problem = problem;
        listing->problemOffset = offsetIn(problem);
        // A block that announces more bytes than remain is listed, and is the damaged one.
        listing->lastBlockDamaged =
            !blocks.empty() && problem.find(" announces ") != std::string::npos;
        if (listing->lastBlockDamaged) listing->problemOffset = blocks.back().offset;
    }
    return true;
}

bool readExtra(const std::string& path, const BlockEntry& block, Record* out, std::string* reason) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *reason = std::strerror(errno);
        return false;
    }
    out->type = block.recordType;
    out->data.assign(handedOutLength(block.recordStored), 0);
    const bool ok = std::fseek(f, long(block.recordOffset), SEEK_SET) == 0 &&
                    std::fread(out->data.data(), 1, block.recordStored, f) == block.recordStored;
    std::fclose(f);
    if (!ok) *reason = "extra block at offset " + std::to_string(block.offset) + " is cut short";
    return ok;
}

struct ImageReader::Handle {
    ReaderHandle* h = nullptr;
    bool failed = false;
    ~Handle() { pqzClose(h); }
};

ImageReader::ImageReader(const std::string& path) : path_(path) {}
ImageReader::~ImageReader() = default;

namespace {

std::string decodeFailure(ReaderHandle* h) {
    switch (pqzGetLastError(h)) {
        case PQZ_ERR_BAD_STREAM:
            return "a coded stream lacks its opening marker";
        case PQZ_ERR_NO_MEMORY:
            return "out of memory";
        default:
            return "its coded data is damaged";
    }
}

void copyPalette(const DibImage& dib, int bits, StoredImage* out) {
    const uint8_t* table = reinterpret_cast<const uint8_t*>(&dib + 1);
    const int entries = bits == 2 ? 4 : 1 << bits;
    for (int i = 0; i < entries; i++)
        out->paletteRgb.insert(out->paletteRgb.end(),
                               {table[4 * i + 2], table[4 * i + 1], table[4 * i]});
}

}  // namespace

bool ImageReader::decode(int n, StoredImage* out, std::string* reason) {
    if (!handle_) {
        handle_ = std::make_unique<Handle>();
        handle_->h = pqzOpen(path_.c_str());
        const int err = pqzGetLastError(handle_->h);
        if (!handle_->h || err) {
            handle_->failed = true;
            *reason = !handle_->h ? "out of memory"
                      : err == PQZ_ERR_CANNOT_OPEN
                          ? "the file cannot be opened"
                          : "the reader finds no valid blocks at the start of the file";
            return false;
        }
    }
    ReaderHandle* h = handle_->h;
    if (handle_->failed) {
        *reason = "the reader stopped at an earlier damaged block";
        return false;
    }
    if (pqzGetImageNumber(h) > n) pqzRewind(h);
    for (;;) {
        const int t = pqzGetNextBlockType(h);
        if (t == PQZ_BLOCK_EXTRA) {
            ExtraBlock* e = pqzReadED(h);
            if (e) {
                pqzFreeResource(e);
                continue;
            }
            *reason = "the reader finds a damaged extra block in front of it";
        } else if (t == PQZ_BLOCK_IMAGE && pqzGetImageNumber(h) < n) {
            pqzSkipImage(h);
            continue;
        } else if (t == PQZ_BLOCK_IMAGE) {
            break;
        } else {
            *reason = t == PQZ_BLOCK_END ? "the reader finds the file ending in front of it"
                                         : "the reader finds no valid block there";
        }
        handle_->failed = true;
        return false;
    }
    AuxHeader* aux = nullptr;
    pqz::DecodedImage* img = pqz::readDecodedImage(h, &aux);
    if (!img) {
        handle_->failed = true;
        *reason = decodeFailure(h);
        pqzFreeResource(aux);
        return false;
    }
    std::shared_ptr<pqz::DecodedImage> owner(img, pqz::freeDecodedImage);
    std::unique_ptr<DibImage, void (*)(void*)> dib(pqz::buildDib(h, img), pqzFreeResource);
    std::unique_ptr<AuxHeader, void (*)(void*)> auxOwner(aux, pqzFreeResource);
    if (!dib) {
        *reason = "out of memory";
        return false;
    }
    *out = StoredImage();
    out->width = img->width;
    out->height = img->height;
    out->bitsPerPixel = img->format & pqz::kFormatBitsMask;
    out->grey = (img->format & pqz::kFormatGrey) != 0;
    out->rowBytes = img->rowBytes;
    out->pixels = img->data;
    if (out->bitsPerPixel <= 8 && !out->grey) copyPalette(*dib, out->bitsPerPixel, out);
    if (aux) {
        out->hasAux = true;
        out->aux.type = aux->type;
        out->aux.data.assign(aux->data, aux->data + aux->length);
    }
    out->owner = owner;
    return true;
}

}  // namespace pqzconvert
