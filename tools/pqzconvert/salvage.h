// Salvage: converting what survives in damaged files, and the report of what was recovered and
// what was lost, as text and as JSON.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pqz_access.h"

namespace pqzconvert {

struct SalvagedImage {
    int number = -1;
    uint64_t offset = 0;
    int width = 0;
    int height = 0;
    Recovered result = Recovered::kNothing;
    uint32_t goodRows = 0;  // rows from the top that are exact
    std::string output;     // the file written; empty when none was
    std::string problem;    // partial and lost images: what is damaged
    // The data is cut short by the end of the file: the good rows are exact. Otherwise the
    // decoder found the data inconsistent; a change can spoil rows before it is found.
    bool cut = false;
};

// A block whose headers were read but which gave nothing (extra blocks; lost images are in
// images), or a range of bytes that formed no readable block.
struct LostPart {
    uint64_t offset = 0;
    uint64_t size = 0;  // ranges only
    std::string what;   // blocks: "extra block N"
    std::string problem;
};

struct SalvageReport {
    std::string file;
    uint64_t fileSize = 0;
    std::string unreadable;  // the file could not be read at all: why
    std::vector<SalvagedImage> images;
    int extraBlocks = 0;  // extra blocks read whole
    std::vector<LostPart> lostBlocks;
    std::vector<LostPart> skipped;
    bool writeFailed = false;  // an output could not be written

    int count(Recovered r) const;
    uint64_t bytesSkipped() const;
    // Whether anything of the file was lost: an image not recovered whole, a block or bytes.
    bool lostAnything() const;
};

// Writes a recovered image: image `number`, its name marked with `mark` (".partial" or "").
// Returns false when it could not be written (the writer reports why); *path is the file
// written, empty when there was nothing to write.
using SalvageImageWriter =
    std::function<bool(int number, StoredImage& img, const std::string& mark, std::string* path)>;
// Writes an extra block (only asked for with -x); false when it could not be written.
using SalvageExtraWriter = std::function<bool(const BlockEntry& block, const Record& record)>;

// Reads the file with salvage on, writes what survives and tells what was lost.
SalvageReport salvageFile(const std::string& file, const SalvageImageWriter& writeImage,
                          const SalvageExtraWriter* writeExtra);

// The report as text for standard output: a summary line, then one line per image not recovered
// whole, lost block and skipped range, in file order.
std::string salvageText(const SalvageReport& report);

// The reports of a run as a JSON array, one object per input file in input order.
std::string salvageJson(const std::vector<SalvageReport>& reports);

}  // namespace pqzconvert
