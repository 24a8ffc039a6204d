// pqzconvert: converts the images of PQZ files to PNG or BMP, lists their blocks, and writes
// auxiliary headers and extra blocks out as files.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "out_image.h"
#include "reader/dib.h"
#include "reader/inspect.h"
#include "reader/pqz2_read.h"

namespace pqzconvert {
namespace {

const char kHelp[] =
    "Usage: pqzconvert [OPTIONS] FILE.pqz...\n"
    "\n"
    "Converts every image of each PQZ file to PNG (default) or BMP. Image K of FILE.pqz\n"
    "(counting from 0) becomes FILE.K.png, in the file's folder or in the folder given by -o.\n"
    "\n"
    "Options:\n"
    "  -f, --format png|bmp  output format (default png)\n"
    "  -o, --output DIR      write the output files into DIR\n"
    "  -l, --list            list the blocks of each file instead of converting: kind, offset,\n"
    "                        size, bits per pixel, coding of each plane, tolerance, payload size\n"
    "  -x, --extract         also write auxiliary headers as FILE.K.aux-TYPE.bin and extra\n"
    "                        blocks as FILE.extra-N-TYPE.bin (their stored data, padded to 4)\n"
    "      --rgb             drop the fourth byte of 4-byte pixels (see below)\n"
    "  -j, --jobs N          convert N files at the same time (default 1)\n"
    "  -q, --quiet           no progress display\n"
    "  -h, --help            this text\n"
    "\n"
    "Conversion is lossless by default: grey images stay grey (1, 2, 4 and 8 bits as they are;\n"
    "3, 5, 6 and 7 bits as 8-bit grey of the same levels, with the significant bits recorded),\n"
    "palette images stay palette images (images without a palette of their own take the\n"
    "colours the reader remembers from the last palette, as the library's bitmaps do), 15- and\n"
    "16-bit pixels become 24-bit colour, 17 to 24-bit pixels are colour. Pixels of 25 to 32\n"
    "bits keep all four bytes: the fourth byte becomes the alpha channel of the PNG (or the\n"
    "fourth byte of a 32-bit BMP), whatever it means to the writer; --rgb drops it. Other\n"
    "two-byte pixels become 16-bit grey; pixels of 5 to 8 bytes become 16-bit colour samples\n"
    "made of their bytes in stored order (PNG only).\n"
    "\n"
    "A damaged file or image is reported on standard error with the file and the block; the\n"
    "other files go on. Exit status: 0 when everything converted, 1 when anything failed,\n"
    "2 for a usage error.\n";

struct Options {
    bool bmp = false;
    bool list = false;
    bool extract = false;
    bool keepFourthByte = true;
    bool quiet = false;
    int jobs = 1;
    std::string outDir;
    std::vector<std::string> files;
};

std::mutex outputLock;

void report(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputLock);
    std::fprintf(stderr, "%spqzconvert: %s\n", isatty(2) ? "\r\033[K" : "", line.c_str());
}

std::string outputBase(const Options& o, const std::string& file) {
    std::string name = file;
    const size_t slash = name.rfind('/');
    std::string dir = slash == std::string::npos ? "." : name.substr(0, slash);
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pqz") == 0)
        name.resize(name.size() - 4);
    return (o.outDir.empty() ? dir : o.outDir) + "/" + name;
}

bool writeRecord(const std::string& path, const ExtraBlock* rec, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f && std::fwrite(rec->data, 1, rec->length, f) == rec->length;
    if (!f || std::fclose(f) != 0 || !ok) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

const char* kMethodNames[4] = {"0", "1", "2", "3"};

std::string describePlanes(const pqz::BlockInfo& b) {
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

bool listFile(const std::string& file) {
    std::vector<pqz::BlockInfo> blocks;
    std::string problem;
    const bool ok = pqz::listBlocks(file, &blocks, &problem);
    std::string text = file + ":\n";
    for (const pqz::BlockInfo& b : blocks) {
        char line[256];
        if (b.image) {
            const pqz::ImageHeader& h = b.header;
            std::snprintf(line, sizeof line,
                          "  @%llu image %d: %ux%u, %d bits%s%s, payload %u bytes, ",
                          (unsigned long long)b.offset, b.imageNumber, h.width, h.height,
                          h.bitsPerPixel(), (h.format & pqz::kFormatGrey) ? " grey" : "",
                          (h.format & pqz::kFormatPalette) ? " palette" : "", h.payloadSize);
            text += line + describePlanes(b);
            if (b.hasAux)
                text += ", aux header type " + std::to_string(b.recordType) + " (" +
                        std::to_string(b.recordSize) + " bytes)";
            text += "\n";
        } else {
            std::snprintf(line, sizeof line, "  @%llu extra block: type %u, %u bytes\n",
                          (unsigned long long)b.offset, b.recordType, b.recordSize);
            text += line;
        }
    }
    {
        std::lock_guard<std::mutex> lock(outputLock);
        std::fputs(text.c_str(), stdout);
    }
    if (!ok) report(file + ": " + problem);
    return ok;
}

// Converts one file; every problem is reported and makes the result false.
bool convertFile(const Options& o, const std::string& file) {
    ReaderHandle* h = pqzOpen(file.c_str());
    if (!h || pqzGetLastError(h) != 0) {
        const int err = pqzGetLastError(h);
        report(file + (err == PQZ_ERR_CANNOT_OPEN ? ": cannot be opened"
                                                  : ": not a PQZ file (no valid first blocks)"));
        pqzClose(h);
        return false;
    }
    const std::string base = outputBase(o, file);
    bool ok = true;
    int extras = 0;
    for (;;) {
        const int number = pqzGetImageNumber(h);
        const int t = pqzGetNextBlockType(h);
        if (t == PQZ_BLOCK_END) break;
        if (t == PQZ_BLOCK_NONE) {
            report(file + ": damaged block " +
                   (number > 0 ? "after image " + std::to_string(number - 1)
                               : std::string("before the first image")) +
                   "; the rest of the file is unreadable");
            ok = false;
            break;
        }
        std::string error;
        if (t == PQZ_BLOCK_EXTRA) {
            ExtraBlock* e = pqzReadED(h);
            if (!e) {
                report(file + ": extra block " + std::to_string(extras) + " is damaged");
                ok = false;
                break;
            }
            if (o.extract && !writeRecord(base + ".extra-" + std::to_string(extras) + "-" +
                                              std::to_string(e->type) + ".bin",
                                          e, &error)) {
                report(file + ": " + error);
                ok = false;
            }
            extras++;
            pqzFreeResource(e);
            continue;
        }
        AuxHeader* aux = nullptr;
        pqz::DecodedImage* img = pqz::readDecodedImage(h, &aux);
        if (!img) {
            report(file + ": image " + std::to_string(number) + " cannot be decoded (damaged" +
                   (pqzGetLastError(h) ? ", error code " + std::to_string(pqzGetLastError(h))
                                       : std::string()) +
                   ")");
            pqzFreeResource(aux);
            ok = false;
            break;
        }
        DibImage* dib = pqz::buildDib(h, img);
        const std::string name = base + "." + std::to_string(number);
        if (!dib) {
            error = "out of memory";
        } else if (img->width == 0 || img->height == 0) {
            if (!o.quiet)
                report(file + ": image " + std::to_string(number) + " has no pixels (" +
                       std::to_string(img->width) + "x" + std::to_string(img->height) +
                       "); nothing written");
        } else {
            const OutImage out = toOutImage(*img, *dib, o.keepFourthByte);
            if (o.bmp)
                writeBmp(name + ".bmp", out, &error);
            else
                writePng(name + ".png", out, &error);
        }
        if (error.empty() && aux && o.extract)
            writeRecord(name + ".aux-" + std::to_string(aux->type) + ".bin", aux, &error);
        if (!error.empty()) {
            report(file + ": image " + std::to_string(number) + ": " + error);
            ok = false;
        }
        pqzFreeResource(dib);
        pqzFreeResource(aux);
        pqz::freeDecodedImage(img);
    }
    pqzClose(h);
    return ok;
}

int parseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pqzconvert: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "-f" || a == "--format") {
            const char* v = value("--format");
            if (!v) return 2;
            if (std::strcmp(v, "bmp") != 0 && std::strcmp(v, "png") != 0) {
                std::fprintf(stderr, "pqzconvert: unknown format %s (png or bmp)\n", v);
                return 2;
            }
            o->bmp = std::strcmp(v, "bmp") == 0;
        } else if (a == "-o" || a == "--output") {
            const char* v = value("--output");
            if (!v) return 2;
            o->outDir = v;
        } else if (a == "-j" || a == "--jobs") {
            const char* v = value("--jobs");
            if (!v) return 2;
            o->jobs = std::atoi(v);
            if (o->jobs < 1 || o->jobs > 256) {
                std::fprintf(stderr, "pqzconvert: --jobs takes 1 to 256\n");
                return 2;
            }
        } else if (a == "-l" || a == "--list") {
            o->list = true;
        } else if (a == "-x" || a == "--extract") {
            o->extract = true;
        } else if (a == "--rgb") {
            o->keepFourthByte = false;
        } else if (a == "-q" || a == "--quiet") {
            o->quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "pqzconvert: unknown option %s (see --help)\n", a.c_str());
            return 2;
        } else {
            o->files.push_back(a);
        }
    }
    if (o->files.empty()) {
        std::fprintf(stderr, "pqzconvert: no input files (see --help)\n");
        return 2;
    }
    return -1;
}

}  // namespace
}  // namespace pqzconvert

int main(int argc, char** argv) {
    using namespace pqzconvert;
    Options o;
    const int parsed = parseArgs(argc, argv, &o);
    if (parsed >= 0) return parsed;

    const bool progress = !o.quiet && !o.list && isatty(2) && o.files.size() > 1;
    std::atomic<size_t> next{0}, done{0};
    std::atomic<bool> allOk{true};
    auto worker = [&] {
        for (size_t i; (i = next++) < o.files.size();) {
            const bool ok = o.list ? listFile(o.files[i]) : convertFile(o, o.files[i]);
            if (!ok) allOk = false;
            const size_t d = ++done;
            if (progress) {
                std::lock_guard<std::mutex> lock(outputLock);
                std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", d, o.files.size(), o.files[i].c_str());
            }
        }
    };
    const int jobs = o.list ? 1 : o.jobs;
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; j++) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
    if (progress) std::fprintf(stderr, "\r\033[K");
    return allOk ? 0 : 1;
}
