// pqzconvert: converts the images of PQZ files to PNG or BMP, lists their blocks, and writes
// auxiliary headers and extra blocks out as files.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "jobs.h"
#include "options.h"
#include "out_image.h"
#include "outputs.h"
#include "pqz_access.h"

namespace pqzconvert {
namespace {

std::mutex outputLock;

void report(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputLock);
    std::fprintf(stderr, "%spqzconvert: %s\n", isatty(2) ? "\r\033[K" : "", line.c_str());
}

std::string count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Size of an auxiliary header or extra block as -x writes it, and as stored when that differs.
std::string recordSize(uint32_t stored) {
    const uint64_t written = handedOutLength(stored);
    std::string s = count(written, "byte", "bytes");
    if (written != stored) s += " (" + std::to_string(stored) + " stored)";
    return s;
}

std::string blockName(const BlockEntry& b) {
    return b.image ? "image " + std::to_string(b.imageNumber)
                   : "extra block " + std::to_string(b.extraNumber);
}

std::string at(uint64_t offset) {
    return " at offset " + std::to_string(offset);
}

bool listOne(const std::string& file) {
    Listing listing;
    std::string reason;
    if (!listFile(file, &listing, &reason)) {
        report(file + ": " + reason);
        return false;
    }
    std::string text = file + ":\n";
    for (const BlockEntry& b : listing.blocks) {
        text += "  @" + std::to_string(b.offset) + " " + blockName(b) + ": ";
        if (b.image) {
            text += std::to_string(b.width) + "x" + std::to_string(b.height) + ", " +
                    count(b.bitsPerPixel, "bit", "bits") + (b.grey ? " grey" : "") +
                    (b.palette ? " palette" : "") + ", payload " +
                    count(b.payloadBytes, "byte", "bytes") + ", " + b.coding;
            if (b.hasAux)
                text += ", aux header type " + std::to_string(b.recordType) + ", " +
                        recordSize(b.recordStored);
        } else {
            text += "type " + std::to_string(b.recordType) + ", " + recordSize(b.recordStored);
        }
        text += "\n";
    }
    {
        std::lock_guard<std::mutex> lock(outputLock);
        std::fputs(text.c_str(), stdout);
    }
    if (!listing.complete) report(file + ": " + listing.problem + "; nothing further is listed");
    return listing.complete;
}

// What of the file was left unconverted when conversion stopped at listed block `from`.
std::string leftUnconverted(const Listing& listing, size_t from) {
    const uint64_t start =
        from < listing.blocks.size() ? listing.blocks[from].offset : listing.problemOffset;
    int images = 0, firstImage = -1, lastImage = -1, extras = 0;
    for (size_t i = from; i < listing.blocks.size(); i++) {
        const BlockEntry& b = listing.blocks[i];
        if (!b.image) {
            extras++;
            continue;
        }
        images++;
        if (firstImage < 0) firstImage = b.imageNumber;
        lastImage = b.imageNumber;
    }
    std::vector<std::string> parts;
    if (images == 1) parts.push_back("image " + std::to_string(firstImage));
    if (images > 1)
        parts.push_back("images " + std::to_string(firstImage) + " to " +
                        std::to_string(lastImage));
    if (extras) parts.push_back(count(extras, "extra block", "extra blocks"));
    // A block that announces more bytes than remain takes the rest of the file with it.
    const bool unreadableTail = !listing.complete && !listing.lastBlockDamaged;
    if (unreadableTail && !parts.empty())
        parts.push_back("then data from offset " + std::to_string(listing.problemOffset) +
                        " that forms no valid block");
    std::string s = "not converted: the rest of the file from offset " + std::to_string(start) +
                    " (" + count(listing.fileSize - start, "byte", "bytes") + ")";
    if (unreadableTail && parts.empty()) s += ", which forms no valid block";
    for (size_t i = 0; i < parts.size(); i++) s += (i ? ", " : ": ") + parts[i];
    return s;
}

struct FileJob {
    const Options& o;
    OutputPlan& plan;
    BlockPipeline& blocks;
    size_t index;  // of the file among the inputs
    const std::string& file;
    const std::string& base;
};

bool writeRecord(FileJob& job, const std::string& path, const Record& rec,
                 const std::string& what) {
    std::string error;
    if (writeBytes(job.plan, path, rec.data, job.o.keepExisting, &error)) return true;
    report(job.file + ": " + what + ": " + error);
    return false;
}

// Whether conversion reads listed block i: every image, extra blocks with -x, but not a last
// block whose data runs past the end of the file.
bool takesBlock(const Options& o, const Listing& listing, size_t i) {
    if (listing.lastBlockDamaged && i + 1 == listing.blocks.size()) return false;
    return listing.blocks[i].image || o.extract;
}

// Decodes an image and encodes its output file, or reads an extra block (on a worker thread).
void prepareBlock(const Options& o, ImageReader& reader, const BlockEntry& b, PreparedBlock* p) {
    if (!b.image) {
        p->read = reader.readExtra(b, &p->record, &p->reason);
        return;
    }
    StoredImage img;
    p->read = reader.decode(b, &img, &p->reason);
    if (!p->read) return;
    p->width = img.width;
    p->height = img.height;
    p->hasAux = img.hasAux;
    p->aux = std::move(img.aux);
    if (img.width == 0 || img.height == 0) return;
    const OutImage out = toOutImage(img, o.keepFourthByte);
    img.owner.reset();
    encodeImage(out, o.bmp, &p->output, &p->outputError);
}

bool writeImage(FileJob& job, int number, const PreparedBlock& img) {
    const std::string name = job.base + "." + std::to_string(number);
    const std::string what = "image " + std::to_string(number);
    bool ok = true;
    if (img.width == 0 || img.height == 0) {
        if (!job.o.quiet)
            report(job.file + ": " + what + " has no pixels (" + std::to_string(img.width) + "x" +
                   std::to_string(img.height) + "); nothing written");
    } else {
        const std::string path = name + (job.o.bmp ? ".bmp" : ".png");
        std::string error = img.outputError;
        if (error.empty()) writeBytes(job.plan, path, img.output, job.o.keepExisting, &error);
        if (!error.empty()) {
            report(job.file + ": " + what + ": " + error);
            ok = false;
        }
    }
    if (img.hasAux && job.o.extract)
        ok &= writeRecord(job, name + ".aux-" + std::to_string(img.aux.type) + ".bin", img.aux,
                          what + " aux header");
    return ok;
}

// Converts one file; every problem is reported and makes the result false.
bool convertOne(FileJob& job) {
    const ListedFile& listed = job.blocks.listing(job.index);
    if (!listed.readable) {
        report(job.file + ": " + listed.reason);
        return false;
    }
    const Listing& listing = listed.listing;
    if (listing.blocks.empty()) {
        report(job.file + ": not a PQZ file: " + listing.problem);
        return false;
    }
    bool ok = true;
    std::string damage;
    size_t i = 0;
    for (; i < listing.blocks.size(); i++) {
        const BlockEntry& b = listing.blocks[i];
        if (listing.lastBlockDamaged && i + 1 == listing.blocks.size()) {
            damage = "damaged block: " + listing.problem;
            break;
        }
        if (!takesBlock(job.o, listing, i)) continue;
        const PreparedBlock p = job.blocks.take(job.index, i);
        if (!b.image) {
            if (p.read) {
                ok &= writeRecord(job,
                                  job.base + ".extra-" + std::to_string(b.extraNumber) + "-" +
                                      std::to_string(b.recordType) + ".bin",
                                  p.record, blockName(b));
                continue;
            }
            damage = blockName(b) + at(b.offset) + " cannot be read: " + p.reason;
            break;
        }
        if (!p.read) {
            damage = blockName(b) + at(b.offset) + " cannot be decoded: " + p.reason;
            break;
        }
        ok &= writeImage(job, b.imageNumber, p);
    }
    if (damage.empty() && !listing.complete)
        damage = "damaged block after " + blockName(listing.blocks.back()) + ": " + listing.problem;
    if (!damage.empty()) {
        report(job.file + ": " + damage);
        report(job.file + ": " + leftUnconverted(listing, i));
        ok = false;
    }
    return ok;
}

int run(const Options& o) {
    if (o.list) {
        bool ok = true;
        for (const std::string& file : o.files) ok &= listOne(file);
        return ok ? 0 : 1;
    }
    OutputPlan plan(o.outDir, o.files, report, o.quiet);
    const bool progress = !o.quiet && isatty(2) && o.files.size() > 1;
    std::vector<bool> usable(o.files.size());
    for (size_t i = 0; i < o.files.size(); i++) usable[i] = plan.usable(i);
    // Workers list and decode ahead; files are written and reported here, in input order.
    BlockPipeline blocks(
        o.files, usable, o.jobs > 0 ? o.jobs : processorCount(),
        [&o](const Listing& listing, size_t i) { return takesBlock(o, listing, i); },
        [&o](ImageReader& r, const BlockEntry& b, PreparedBlock* p) { prepareBlock(o, r, b, p); });
    bool allOk = true;
    for (size_t i = 0; i < o.files.size(); i++) {
        FileJob job{o, plan, blocks, i, o.files[i], plan.base(i)};
        if (!plan.usable(i) || !convertOne(job)) allOk = false;
        if (progress) {
            std::lock_guard<std::mutex> lock(outputLock);
            std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", i + 1, o.files.size(), o.files[i].c_str());
        }
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
    return allOk ? 0 : 1;
}

}  // namespace
}  // namespace pqzconvert

int main(int argc, char** argv) {
    pqzconvert::Options o;
    const int parsed = pqzconvert::parseArgs(argc, argv, &o);
    return parsed >= 0 ? parsed : pqzconvert::run(o);
}
