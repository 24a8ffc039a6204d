#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pqzconvert {

namespace {

const char kHelp[] =
    "Usage: pqzconvert [OPTIONS] FILE.pqz...\n"
    "       pqzconvert --salvage [--json REPORT] [OPTIONS] FILE.pqz...\n"
    "       pqzconvert --list FILE.pqz...\n"
    "\n"
    "Converts every image of each PQZ file to PNG (default) or BMP. Image K of FILE.pqz\n"
    "(counting from 0) becomes FILE.K.png, in the file's folder or in the folder given by -o.\n"
    "When inputs from different folders have the same name, the later ones are written as\n"
    "FILE-2.K.png, FILE-3.K.png, ... (said on standard error); a run never replaces a file it\n"
    "wrote itself. Files left by earlier runs are replaced unless -n is given.\n"
    "\n"
    "Options:\n"
    "  -f, --format=png|bmp  output format (default png)\n"
    "  -o, --output=DIR      write the output files into DIR (made when missing)\n"
    "  -x, --extract         also write auxiliary headers as FILE.K.aux-TYPE.bin and extra\n"
    "                        blocks as FILE.extra-N-TYPE.bin: their stored bytes, padded with\n"
    "                        zeros to a multiple of 4 bytes (at least 4), as the library hands\n"
    "                        them out\n"
    "      --rgb             drop the fourth byte of 4-byte pixels (see below)\n"
    "  -n, --no-overwrite    leave existing output files as they are (reported; exit status 1)\n"
    "      --overwrite       replace existing output files (the default)\n"
    "  -j, --jobs=N          decode on N threads (default: one per processor); files are\n"
    "                        written and reported in input order whatever N is\n"
    "      --salvage         convert what survives in damaged files and report per file what\n"
    "                        was recovered and lost (see below)\n"
    "      --json=REPORT     with --salvage: also write the report as JSON to REPORT\n"
    "  -l, --list            list the blocks of each file instead of converting (see below)\n"
    "  -q, --quiet           no progress display and no notes, only failures\n"
    "  -h, --help            this text\n"
    "  -V, --version         the program's version\n"
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
    "--list shows per block its offset in the file, and for images the size, bits per pixel,\n"
    "payload size and coding; sizes of auxiliary headers and extra blocks are those -x writes,\n"
    "with the stored size when it differs. The coding terms:\n"
    "  raw                  pixels stored as they are\n"
    "  range-coded          arithmetic coding with adaptive context models\n"
    "  bit-stream           prefix codes with copies and runs\n"
    "  whole image          one stream for the whole image, no per-plane table\n"
    "  interleaved          all planes (bytes of a pixel) coded pixel by pixel\n"
    "  separate planes      one plane coded after another\n"
    "  tolerance K          near-lossless: each sample within K of the original (0: lossless)\n"
    "  [P: ...]             plane P, byte P of each pixel:\n"
    "    order N            its place in the decoding order (0: decoded first)\n"
    "    method M           0 no prediction, 1 median edge prediction, 2 adaptive prediction\n"
    "                       (bit-stream, separate planes), 3 none\n"
    "    model              coded by the dedicated coder of its method: method 1 with\n"
    "                       context-selected residual models, method 2 with adaptive linear\n"
    "                       prediction; without it, by the default context model\n"
    "    ref(offset V)      coded as a difference from planes decoded before it, V added back\n"
    "\n"
    "Every problem is reported on standard error with the file: a damaged block says what is\n"
    "damaged, where, and what of the file was left unconverted; the other files go on.\n"
    "Images without pixels (width or height 0) are noted and skipped. Exit status: 0 when\n"
    "every other image (and with -x every record) was written, 1 when anything was not, 2 for\n"
    "a usage error.\n"
    "\n"
    "--salvage reads past damage: past blocks whose data is damaged, and on at the next valid\n"
    "block behind bytes that form none. Images recovered whole are written as usual; an image\n"
    "of which only the top rows could be decoded is written as FILE.K.partial.png, its rows\n"
    "below the good ones zero. Standard output gets a report per file: images whole, partial\n"
    "images with their good rows, lost blocks and skipped byte ranges. Exit status: 0 when\n"
    "nothing was lost, 3 when something of a file was lost or only partly recovered (all that\n"
    "survived was written), 1 when something could not be read or written at all, 2 for a\n"
    "usage error. Salvage reads the files one after another on one thread.\n";

int usage(const char* what, const char* detail = "") {
    std::fprintf(stderr, "pqzconvert: %s%s (see --help)\n", what, detail);
    return 2;
}

enum LongOnly { kRgb = 256, kOverwrite, kSalvage, kJson };

}  // namespace

int parseArgs(int argc, char** argv, Options* o) {
    static const option kLong[] = {{"format", required_argument, nullptr, 'f'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"extract", no_argument, nullptr, 'x'},
                                   {"rgb", no_argument, nullptr, kRgb},
                                   {"no-overwrite", no_argument, nullptr, 'n'},
                                   {"overwrite", no_argument, nullptr, kOverwrite},
                                   {"jobs", required_argument, nullptr, 'j'},
                                   {"salvage", no_argument, nullptr, kSalvage},
                                   {"json", required_argument, nullptr, kJson},
                                   {"list", no_argument, nullptr, 'l'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    std::string conversionOption;  // the first option that only conversion uses
    bool overwrite = false;
    opterr = 0;
    optind = 1;
    for (int c; (c = getopt_long(argc, argv, ":f:o:xnj:lqhV", kLong, nullptr)) != -1;) {
        const std::string name = c < 256         ? std::string("-") + char(c)
                                 : c == kRgb     ? "--rgb"
                                 : c == kSalvage ? "--salvage"
                                 : c == kJson    ? "--json"
                                                 : "--overwrite";
        if (c != 'l' && c != 'q' && c != 'h' && c != 'V' && conversionOption.empty())
            conversionOption = name;
        switch (c) {
            case 'f':
                if (std::strcmp(optarg, "bmp") != 0 && std::strcmp(optarg, "png") != 0)
                    return usage("unknown format ", (std::string(optarg) + "; png or bmp").c_str());
                o->bmp = std::strcmp(optarg, "bmp") == 0;
                break;
            case 'o':
                if (!*optarg) return usage("-o needs a folder name");
                o->outDir = optarg;
                while (o->outDir.size() > 1 && o->outDir.back() == '/') o->outDir.pop_back();
                break;
            case 'j': {
                char* end = nullptr;
                errno = 0;
                const long n = std::strtol(optarg, &end, 10);
                if (errno || end == optarg || *end || n < 1 || n > 256)
                    return usage("--jobs takes a number from 1 to 256, not ", optarg);
                o->jobs = int(n);
                break;
            }
            case 'x':
                o->extract = true;
                break;
            case kRgb:
                o->keepFourthByte = false;
                break;
            case 'n':
                o->keepExisting = true;
                break;
            case kOverwrite:
                overwrite = true;
                break;
            case kSalvage:
                o->salvage = true;
                break;
            case kJson:
                if (!*optarg) return usage("--json needs a file name");
                o->jsonFile = optarg;
                break;
            case 'l':
                o->list = true;
                break;
            case 'q':
                o->quiet = true;
                break;
            case 'h':
                std::fputs(kHelp, stdout);
                return 0;
            case 'V':
                std::printf("pqzconvert %s\n", PQZ2_VERSION);
                return 0;
            case ':':
                return usage("missing value for ", argv[optind - 1]);
            default:
                return usage("unknown option ",
                             optopt ? (std::string("-") + char(optopt)).c_str() : argv[optind - 1]);
        }
    }
    if (!o->jsonFile.empty() && !o->salvage)
        return usage("--json reports a --salvage run; add --salvage");
    if (o->keepExisting && overwrite) return usage("-n (--no-overwrite) and --overwrite conflict");
    if (o->list && !conversionOption.empty())
        return usage("--list writes nothing and takes no conversion option; it conflicts with ",
                     conversionOption.c_str());
    for (int i = optind; i < argc; i++) o->files.push_back(argv[i]);
    if (o->files.empty()) return usage("no input files");
    return -1;
}

}  // namespace pqzconvert
