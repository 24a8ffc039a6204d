// pqzconvert: converts the images of PQZ files to PNG or BMP, lists their blocks, and writes
// auxiliary headers and extra blocks out as files.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "jobs.h"
#include "options.h"
#include "out_image.h"
#include "outputs.h"
#include "pqz_access.h"
#include "salvage.h"

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
    SalvageReport* salvage = nullptr;  // with --salvage: the report of the file
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

// Encodes the output file of a decoded image; its pixels are released.
void prepareImage(const Options& o, StoredImage& img, PreparedBlock* p) {
    p->width = img.width;
    p->height = img.height;
    p->hasAux = img.hasAux;
    p->aux = std::move(img.aux);
    if (img.width == 0 || img.height == 0) return;
    const OutImage out = toOutImage(img, o.keepFourthByte);
    img.owner.reset();
    encodeImage(out, o.bmp, &p->output, &p->outputError);
}

// Decodes an image and encodes its output file, or reads an extra block (on a worker thread).
void prepareBlock(const Options& o, ImageReader& reader, const BlockEntry& b, PreparedBlock* p) {
    if (!b.image) {
        p->read = reader.readExtra(b, &p->record, &p->reason);
        return;
    }
    StoredImage img;
    p->read = reader.decode(b, &img, &p->reason);
    if (p->read) prepareImage(o, img, p);
}

// Writes image `number` as BASE.NUMBER[MARK].png (or .bmp); *written (when given) is the path of
// the image file written.
bool writeImage(FileJob& job, int number, const PreparedBlock& img, const std::string& mark = "",
                std::string* written = nullptr) {
    const std::string name = job.base + "." + std::to_string(number) + mark;
    const std::string what = "image " + std::to_string(number);
    bool ok = true;
    if (img.width == 0 || img.height == 0) {
        if (!job.o.quiet)
            report(job.file + ": " + what + " has no pixels (" + std::to_string(img.width) + "x" +
                   std::to_string(img.height) + "); nothing written");
    } else {
        const std::string path = name + (job.o.bmp ? ".bmp" : ".png");
        std::string error = img.outputError;
        if (error.empty() && writeBytes(job.plan, path, img.output, job.o.keepExisting, &error) &&
            written)
            *written = path;
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

// Converts what survives of one file and prints its report; false when the file cannot be read
// or an output cannot be written (damage is in the report).
bool salvageOne(FileJob& job) {
    const SalvageImageWriter image = [&job](int number, StoredImage& img, const std::string& mark,
                                            std::string* path) {
        PreparedBlock p;
        prepareImage(job.o, img, &p);
        return writeImage(job, number, p, mark, path);
    };
    const SalvageExtraWriter extra = [&job](const BlockEntry& b, const Record& rec) {
        return writeRecord(job,
                           job.base + ".extra-" + std::to_string(b.extraNumber) + "-" +
                               std::to_string(b.recordType) + ".bin",
                           rec, blockName(b));
    };
    *job.salvage = salvageFile(job.file, image, job.o.extract ? &extra : nullptr);
    if (!job.salvage->unreadable.empty()) {
        report(job.file + ": " + job.salvage->unreadable);
        return false;
    }
    const std::string text = salvageText(*job.salvage);
    {
        std::lock_guard<std::mutex> lock(outputLock);
        std::fputs(text.c_str(), stdout);
    }
    return !job.salvage->writeFailed;
}

// Converts one file; every problem is reported and makes the result false.
bool convertOne(FileJob& job) {
    if (job.salvage) return salvageOne(job);
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

// Exit status of a salvaging run: 1 as without salvage when something that survived (or a whole
// file) could not be converted, else 3 when any file lost anything, else 0. Writes the JSON
// report when asked.
int finishSalvage(const Options& o, std::vector<SalvageReport>& reports, bool allOk) {
    for (size_t i = 0; i < reports.size(); i++)
        if (reports[i].file.empty()) {  // its output folder could not be used
            reports[i].file = o.files[i];
            reports[i].unreadable = "its output folder cannot be used";
        }
    if (!o.jsonFile.empty()) {
        const std::string json = salvageJson(reports);
        FILE* f = std::fopen(o.jsonFile.c_str(), "wb");
        const bool written = f && std::fwrite(json.data(), 1, json.size(), f) == json.size();
        if (!f || (std::fclose(f) != 0) || !written) {
            report("cannot write the report " + o.jsonFile + ": " + std::strerror(errno));
            allOk = false;
        }
    }
    if (!allOk) return 1;
    for (const SalvageReport& r : reports)
        if (r.lostAnything()) return kExitLost;
    return 0;
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
    for (size_t i = 0; i < o.files.size(); i++) usable[i] = plan.usable(i) && !o.salvage;
    // Workers list and decode ahead; files are written and reported here, in input order.
    BlockPipeline blocks(
        o.files, usable, o.jobs > 0 ? o.jobs : processorCount(),
        [&o](const Listing& listing, size_t i) { return takesBlock(o, listing, i); },
        [&o](ImageReader& r, const BlockEntry& b, PreparedBlock* p) { prepareBlock(o, r, b, p); });
    bool allOk = true;
    std::vector<SalvageReport> reports(o.salvage ? o.files.size() : 0);
    for (size_t i = 0; i < o.files.size(); i++) {
        FileJob job{
            o, plan, blocks, i, o.files[i], plan.base(i), o.salvage ? &reports[i] : nullptr};
        if (!plan.usable(i) || !convertOne(job)) allOk = false;
        if (progress) {
            std::lock_guard<std::mutex> lock(outputLock);
            std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", i + 1, o.files.size(), o.files[i].c_str());
        }
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
    if (!o.salvage) return allOk ? 0 : 1;
    return finishSalvage(o, reports, allOk);
}

}  // namespace
}  // namespace pqzconvert

int main(int argc, char** argv) {
    pqzconvert::Options o;
    const int parsed = pqzconvert::parseArgs(argc, argv, &o);
    return parsed >= 0 ? parsed : pqzconvert::run(o);
}
