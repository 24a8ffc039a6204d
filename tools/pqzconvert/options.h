// Command line of the converter.
#pragma once

#include <string>
#include <vector>

namespace pqzconvert {

struct Options {
    bool bmp = false;
    bool list = false;
    bool extract = false;
    bool keepFourthByte = true;
    bool keepExisting = false;  // --no-overwrite
    bool quiet = false;
    bool salvage = false;  // convert what survives in damaged files, with a report
    std::string jsonFile;  // --json: the salvage report as JSON
    int jobs = 0;          // threads decoding at once; 0: one per processor
    std::string outDir;
    std::vector<std::string> files;
};

// Exit status of a salvaging run in which something of a file was lost (0: nothing was lost, 1:
// something that could be converted was not, 2: usage error).
constexpr int kExitLost = 3;

// Parses the command line. Returns -1 to go on, or the exit status when done (help, version:
// 0; usage errors, reported on standard error: 2).
int parseArgs(int argc, char** argv, Options* o);

}  // namespace pqzconvert
