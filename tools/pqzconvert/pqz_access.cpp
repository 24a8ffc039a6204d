// The converter's access to PQZ files through the library's public decoding API: one walk over
// the blocks for listings, another for the images and extra blocks in file order.
#include "pqz_access.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pqz2.h"

namespace pqzconvert {

namespace {

constexpr uint8_t kFormatGrey = 0x40;
constexpr uint8_t kFormatPalette = 0x80;

// A file object of the library, released with the owner.
struct ApiFile {
    pqz2_file* f = nullptr;
    explicit ApiFile(bool salvage = false) {
        pqz2_options options;
        pqz2_options_init(&options);
        options.salvage = salvage;
        // The converter refuses only images whose pixels alone pass 4 GiB, as when it decoded
        // through bitmaps whose size fits 32 bits.
        options.max_pixels = UINT64_MAX;
        options.max_memory = uint64_t(1) << 32;
        f = pqz2_create(&options);
    }
    ~ApiFile() { pqz2_destroy(f); }
    ApiFile(const ApiFile&) = delete;
    ApiFile& operator=(const ApiFile&) = delete;
};

// Opens path; false with *reason when it cannot.
bool openApi(ApiFile& file, const std::string& path, pqz2_status* status, std::string* reason) {
    if (!file.f) {
        *reason = "out of memory";
        *status = PQZ2_ERR_NO_MEMORY;
        return false;
    }
    *status = pqz2_open_path(file.f, path.c_str());
    if (*status == PQZ2_OK) return true;
    *reason = pqz2_message(file.f);
    return false;
}

std::string describeCoding(const pqz2_image_info& info) {
    if (!info.compressed) return "raw";
    std::string s = info.coding == PQZ2_CODING_BITSTREAM ? "bit-stream" : "range-coded";
    if (!info.has_plane_table) return s + ", whole image, no plane table";
    s += info.separate_planes ? ", separate planes" : ", interleaved";
    s += ", tolerance " + std::to_string(info.tolerance) + ", planes:";
    for (uint32_t p = 0; p < info.plane_count; p++) {
        const pqz2_plane_info& d = info.planes[p];
        s += " [" + std::to_string(p) + ": order " + std::to_string(d.order) + " method " +
             std::to_string(d.method) + (d.model_flag ? " model" : "");
        if (d.has_reference) s += " ref(offset " + std::to_string(d.offset) + ")";
        s += "]";
    }
    return s;
}

BlockEntry toEntry(const pqz2_block& b, const pqz2_image_info* info, int extras) {
    BlockEntry e;
    e.image = b.kind == PQZ2_BLOCK_IMAGE;
    e.index = b.index;
    e.offset = b.offset;
    if (!e.image) {
        e.extraNumber = extras;
        e.recordType = b.extra_type;
        e.recordStored = uint32_t(b.extra_size);
        return e;
    }
    e.imageNumber = b.image_index;
    e.width = int(info->width);
    e.height = int(info->height);
    e.bitsPerPixel = int(info->bits_per_pixel);
    e.grey = (info->format_byte & kFormatGrey) != 0;
    e.palette = (info->format_byte & kFormatPalette) != 0;
    e.payloadBytes = uint32_t(info->payload_size);
    e.coding = describeCoding(*info);
    e.hasAux = info->has_aux != 0;
    e.recordType = info->aux_type;
    e.recordStored = uint32_t(info->aux_size);
    return e;
}

// What stopped a walk at block b: where, and for a block whose data runs past the end, how many
// bytes it announces behind its headers and how many remain.
std::string problemOf(const pqz2_block& b, const pqz2_image_info* info, uint64_t fileSize) {
    const std::string at = " at offset " + std::to_string(b.offset);
    const bool image = b.kind == PQZ2_BLOCK_IMAGE;
    switch (b.damage) {
        case PQZ2_DAMAGE_NO_TAG:
            return "no valid block" + at;
        case PQZ2_DAMAGE_HEADER:
            return std::string(image ? "image header" : "extra block") + at + " is truncated";
        case PQZ2_DAMAGE_AUX_HEADER:
            return "auxiliary header of image " + std::to_string(b.image_index) + at +
                   " is truncated";
        default:
            break;
    }
    const uint64_t from = !image          ? b.offset + 12  // tag, type, size
                          : info->has_aux ? info->payload_offset - info->aux_size
                                          : info->payload_offset;
    const uint64_t body = b.offset + b.size - from;
    const uint64_t remain = fileSize > from ? fileSize - from : 0;
    return (image ? "image " + std::to_string(b.image_index) : std::string("extra block")) + at +
           " announces " + std::to_string(body) + " bytes, " + std::to_string(remain) + " remain";
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

// Walks the blocks of an open file into the listing.
void walk(pqz2_file* f, Listing* listing) {
    for (int extras = 0;;) {
        pqz2_block b;
        const pqz2_status s = pqz2_next_block(f, &b);
        // A few bytes behind the last block end the file, as for the readers.
        if (s == PQZ2_END || (s == PQZ2_ERR_DAMAGED && b.damage == PQZ2_DAMAGE_TAG_CUT)) return;
        // Blocks whose headers are whole (also those whose data runs past the end) are listed.
        const bool listed = s == PQZ2_OK || (s == PQZ2_ERR_DAMAGED && b.damage >= PQZ2_DAMAGE_AUX);
        pqz2_image_info info = {};
        if (listed && b.kind == PQZ2_BLOCK_IMAGE && pqz2_image_info_get(f, &info) != PQZ2_OK) {
            listing->complete = false;
            listing->problem = pqz2_message(f);
            listing->problemOffset = b.offset;
            return;
        }
        if (listed)
            listing->blocks.push_back(
                toEntry(b, &info, b.kind == PQZ2_BLOCK_EXTRA ? extras++ : -1));
        if (s == PQZ2_OK) continue;
        listing->complete = false;
        listing->problemOffset = b.offset;
        listing->lastBlockDamaged = listed;
        listing->problem = s == PQZ2_ERR_IO ? "read error at offset " + std::to_string(b.offset)
                           : s == PQZ2_ERR_DAMAGED ? problemOf(b, &info, listing->fileSize)
                                                   : std::string(pqz2_message(f));
        return;
    }
}

}  // namespace

uint64_t handedOutLength(uint32_t stored) {
    const uint64_t length = (uint64_t(stored) + 3) & ~uint64_t(3);
    return length == 0 ? 4 : length;
}

bool listFile(const std::string& path, Listing* listing, std::string* reason) {
    *listing = Listing();
    if (!readableFile(path, &listing->fileSize, reason)) return false;
    ApiFile file;
    pqz2_status s;
    if (!openApi(file, path, &s, reason)) {
        if (s != PQZ2_ERR_NOT_PQZ) return false;
        listing->complete = false;
        listing->problem = "no valid block at offset 0";
        return true;
    }
    walk(file.f, listing);
    return true;
}

struct ImageReader::File {
    ApiFile api;
    bool open = false;
    bool current = false;  // a block is current
    uint32_t index = 0;    // the current block
};

ImageReader::ImageReader(const std::string& path) : path_(path) {}
ImageReader::~ImageReader() = default;

bool ImageReader::moveTo(const BlockEntry& block, std::string* reason) {
    if (!file_) {
        file_ = std::make_unique<File>();
        pqz2_status s;
        if (!openApi(file_->api, path_, &s, reason)) return false;
        file_->open = true;
    }
    if (!file_->open) {
        *reason = "the file cannot be opened";
        return false;
    }
    pqz2_file* f = file_->api.f;
    if (file_->current && file_->index > block.index) {
        pqz2_rewind(f);
        file_->current = false;
    }
    while (!file_->current || file_->index < block.index) {
        pqz2_block b;
        const pqz2_status s = pqz2_next_block(f, &b);
        if (s != PQZ2_OK) {
            *reason = pqz2_message(f);
            return false;
        }
        file_->current = true;
        file_->index = b.index;
    }
    return true;
}

namespace {

std::string decodeFailure(pqz2_file* f, pqz2_status s) {
    switch (s) {
        case PQZ2_ERR_MISSING_MARKER:
            return "a coded stream lacks its opening marker";
        case PQZ2_ERR_NO_MEMORY:
            return "out of memory";
        case PQZ2_ERR_DAMAGED:
            return "its coded data is damaged";
        default:
            return pqz2_message(f);
    }
}

// The record of `stored` bytes as handed out: zero-padded to a multiple of four bytes.
bool readRecord(pqz2_file* f, bool aux, uint32_t type, uint64_t stored, Record* out) {
    out->type = type;
    out->data.assign(handedOutLength(uint32_t(stored)), 0);
    return (aux ? pqz2_aux_data : pqz2_extra_data)(f, out->data.data(), size_t(stored), nullptr) ==
           PQZ2_OK;
}

}  // namespace

bool ImageReader::readExtra(const BlockEntry& block, Record* out, std::string* reason) {
    if (!moveTo(block, reason)) return false;
    if (readRecord(file_->api.f, false, block.recordType, block.recordStored, out)) return true;
    *reason = pqz2_message(file_->api.f);
    return false;
}

namespace {

// Decodes the current image of f into *out. PQZ2_OK and, with salvage, PQZ2_PARTIAL give an
// image (*result says which rows are good); any other status leaves *reason.
pqz2_status decodeCurrent(pqz2_file* f, StoredImage* out, pqz2_decode_result* result,
                          std::string* reason) {
    pqz2_image_info info;
    pqz2_status s = pqz2_image_info_get(f, &info);
    if (s != PQZ2_OK) {
        *reason = pqz2_message(f);
        return s;
    }
    *out = StoredImage();
    if (info.has_aux && !readRecord(f, true, info.aux_type, info.aux_size, &out->aux)) {
        *reason = pqz2_message(f);
        return PQZ2_ERR_DAMAGED;
    }
    out->hasAux = info.has_aux != 0;
    void* pixels = nullptr;
    size_t stride = 0;
    s = pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, &pixels, &stride, result);
    if (s != PQZ2_OK && s != PQZ2_PARTIAL) {
        *reason = decodeFailure(f, s);
        return s;
    }
    out->owner = std::shared_ptr<void>(pixels, pqz2_free);
    out->width = int(info.width);
    out->height = int(info.height);
    out->bitsPerPixel = int(info.bits_per_pixel);
    out->grey = (info.format_byte & kFormatGrey) != 0;
    out->rowBytes = stride;
    out->pixels = static_cast<const uint8_t*>(pixels);
    if (info.colour == PQZ2_COLOUR_PALETTE)
        for (uint32_t i = 0; i < info.palette_entries; i++)
            out->paletteRgb.insert(out->paletteRgb.end(), info.palette[i], info.palette[i] + 3);
    return s;
}

}  // namespace

bool ImageReader::decode(const BlockEntry& block, StoredImage* out, std::string* reason) {
    if (!moveTo(block, reason)) return false;
    return decodeCurrent(file_->api.f, out, nullptr, reason) == PQZ2_OK;
}

struct SalvageWalk::File {
    ApiFile api{true};
    uint64_t fileSize = 0;
    int extras = 0;
    bool damageSeen = false;
    uint64_t lastDamage = 0;  // offset of the last damage the walk reported
    bool stopped = false;
    std::string startProblem;  // why the file could not be opened for the walk
};

SalvageWalk::SalvageWalk(const std::string& path) : path_(path) {}
SalvageWalk::~SalvageWalk() = default;

bool SalvageWalk::open(uint64_t* fileSize, std::string* reason) {
    file_ = std::make_unique<File>();
    if (!readableFile(path_, &file_->fileSize, reason)) return false;
    *fileSize = file_->fileSize;
    pqz2_status s;
    if (openApi(file_->api, path_, &s, reason)) return true;
    if (s != PQZ2_ERR_NOT_PQZ) return false;
    // The library finds no block at the start: the whole file is left unread.
    file_->startProblem = *reason;
    return true;
}

SalvageStep SalvageWalk::next() {
    SalvageStep step;
    if (!file_ || file_->stopped) return step;
    if (!file_->startProblem.empty()) {
        file_->stopped = true;
        step.kind = SalvageStep::kStop;
        step.problem = file_->startProblem;
        return step;
    }
    pqz2_file* f = file_->api.f;
    pqz2_block b = {};
    const pqz2_status s = pqz2_next_block(f, &b);
    step.skippedOffset = b.skipped_offset;
    step.skippedSize = b.skipped_size;
    // A few bytes behind the last block end the file, as for the plain conversion.
    if (s == PQZ2_END || (s == PQZ2_ERR_DAMAGED && b.damage == PQZ2_DAMAGE_TAG_CUT)) return step;
    step.problemOffset = b.offset;
    if (s != PQZ2_OK && s != PQZ2_ERR_DAMAGED) {
        file_->stopped = true;
        step.kind = SalvageStep::kStop;
        step.problem = s == PQZ2_ERR_IO ? "read error at offset " + std::to_string(b.offset)
                                        : std::string(pqz2_message(f));
        return step;
    }
    if (s == PQZ2_ERR_DAMAGED) {
        // The same answer again: the walk does not get past this damage.
        if (file_->damageSeen && b.offset <= file_->lastDamage) {
            file_->stopped = true;
            step.kind = SalvageStep::kStop;
            step.problem = "no valid block follows offset " + std::to_string(b.offset);
            return step;
        }
        file_->damageSeen = true;
        file_->lastDamage = b.offset;
    }
    const bool listed = s == PQZ2_OK || b.damage >= PQZ2_DAMAGE_AUX;
    pqz2_image_info info = {};
    if (listed && b.kind == PQZ2_BLOCK_IMAGE && pqz2_image_info_get(f, &info) != PQZ2_OK) {
        step.kind = SalvageStep::kUnreadable;
        step.problem = pqz2_message(f);
        return step;
    }
    if (s == PQZ2_ERR_DAMAGED)
        step.problem = b.damage == PQZ2_DAMAGE_NONE ? std::string(pqz2_message(f))
                                                    : problemOf(b, &info, file_->fileSize);
    // The report names the block itself: of a block cut short, say only how.
    const std::string named = (b.kind == PQZ2_BLOCK_IMAGE ? "image " + std::to_string(b.image_index)
                                                          : std::string("extra block")) +
                              " at offset " + std::to_string(b.offset) + " ";
    if (listed && step.problem.compare(0, named.size(), named) == 0)
        step.problem = "cut short: " + step.problem.substr(named.size());
    if (!listed) {
        step.kind = SalvageStep::kUnreadable;
        return step;
    }
    step.kind = SalvageStep::kBlock;
    step.entry = toEntry(b, &info, b.kind == PQZ2_BLOCK_EXTRA ? file_->extras++ : -1);
    step.blockSize = b.size;
    return step;
}

Recovered SalvageWalk::decode(StoredImage* out, uint32_t* goodRows, std::string* reason) {
    pqz2_decode_result result = {};
    const pqz2_status s = decodeCurrent(file_->api.f, out, &result, reason);
    if (s == PQZ2_OK) {
        *goodRows = uint32_t(out->height);
        return Recovered::kWhole;
    }
    if (s != PQZ2_PARTIAL) return Recovered::kNothing;
    *reason = pqz2_message(file_->api.f);
    *goodRows = std::min(result.good_rows, uint32_t(out->height));
    if (*goodRows > 0) return Recovered::kPartial;
    *out = StoredImage();
    return Recovered::kNothing;
}

bool SalvageWalk::readExtra(const BlockEntry& block, Record* out, std::string* reason) {
    if (readRecord(file_->api.f, false, block.recordType, block.recordStored, out)) return true;
    *reason = pqz2_message(file_->api.f);
    return false;
}

}  // namespace pqzconvert
