// Encoder of the default context-model coder of range-coded planes (model flag clear): the value
// table, then one value index per pixel through run mode, the neighbour choice, the candidate
// search and the chain of frequency lists, with every model update the decoder makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/encoder/pqz_writer.h"

namespace pqz::enc {

struct ContextEncodeOptions {
    // 0: the choices a plain encoder makes. Otherwise a seed for random choices wherever the
    // format allows several codings of the same plane: the value table may list unused values,
    // a deep plane may be coded as byte planes although it has few values, an index listed
    // twice in a list or shared by two neighbours may be coded through either, and bytes may
    // follow the coder's flush before the closing marker.
    uint32_t seed = 0;
    // Code a plane deeper than 8 bits as byte planes (of enlarged height) whatever its number of
    // distinct values.
    bool forceBytePlanes = false;
};

// What happened while coding a plane; the tests check that the cases they aim at occur.
struct ContextEncodeStats {
    int count = 0;                  // distinct values (alphabet) of the plane as coded
    bool bytePlanes = false;        // the plane went over to byte planes
    int runs = 0;                   // run decisions
    int runsTaken = 0;              // run decisions of 1
    int runPixels = 0;              // pixels completed by runs (fills and run ends)
    int neighbourChoices = 0;       // pixels coded as one of the four neighbours
    int escapes = 0;                // pixels through the escape path
    int candidatesTaken = 0;        // escapes settled by an accepted candidate
    int chainFound[3] = {0, 0, 0};  // escapes settled by the short, long, order-zero list
    int stampWraps = 0;             // exclusion stamp wrapped from 255 to 1
    int listRescales = 0;           // rescales of the pixel lists
    int localSlots = 0;             // first context numbers handed out
    int localModels = 0;            // second context numbers handed out
    int smallModels = 0;            // small-alphabet context numbers handed out
    int sharedSmallModels = 0;      // small-alphabet contexts that fell back to a shared number
    int classModel188 = 0;          // pixels whose class model is the one past the table
    int inconsistentPatterns = 0;   // neighbour patterns outside the fifteen classes
    int falseFlags = 0;             // equality flags of coded rows that disagree with the indices
    int duplicateEntries = 0;       // list entries appended for an index the list already holds
};

struct ContextEncodeResult {
    bool ok = false;
    std::string error;  // why the plane could not be coded
    ContextEncodeStats stats;
};

// Codes one plane of width x height samples of `depth` bits (1 to 32), rows top to bottom, and
// appends the coded stream, opening and closing marker 0x97 included, to out. Samples must be
// below 2^depth (for depth above 8 below 2^(8 x bytes per sample)).
ContextEncodeResult encodeContextPlane(const std::vector<uint32_t>& samples, int width, int height,
                                       int depth, std::vector<uint8_t>& out,
                                       const ContextEncodeOptions& options = {});

// Samples of an image's pixel data (rows of rowBytesFor(width, depth) bytes, the container
// layout) for coding the image in one go; 24-bit pixels give blue | green << 8 | red << 16.
std::vector<uint32_t> samplesFromPixelData(const std::vector<uint8_t>& pixels, int width,
                                           int height, int depth);

// The routes of a range-coded image whose planes have the model flag clear.
enum class ContextRoute {
    kOneGo,           // no plane table; the whole image one plane of its full depth
    kOneGoWithTable,  // plane table, interleaved: still one plane of the full depth
    kSeparatePlanes,  // plane table, flags 0x08: each byte of the pixel an 8-bit grey plane
};
// Up to 4 bits per pixel the reader ignores both flags: the routes only set them.

struct ContextImageOptions {
    ContextRoute route = ContextRoute::kOneGo;
    // Plane descriptors for the routes with a plane table, one per byte of the pixel; empty
    // gives method 0 in pixel order. Only planes that need no filter are supported: method 3,
    // or method 0 with tolerance 0, without reference; the model flag must be clear.
    std::vector<PlaneSpec> planes;
    int tolerance = 0;  // written into the head where it has the field; must be 0 here
    ContextEncodeOptions coding;
};

struct ContextImageResult {
    bool ok = false;
    std::string error;
    ImageBlock block;                       // ready for PqzWriter::imageBlock
    std::vector<ContextEncodeStats> stats;  // per coded plane, in coding order
};

// Builds the compressed, range-coded image block of an image given as its pixel data (the
// container's raw layout, rows top to bottom). format is the image header's format byte (bits
// per pixel, 0x40 grey); a palette, if format has bit 7, is the caller's to add to the block.
ContextImageResult encodeContextImage(int width, int height, uint8_t format,
                                      const std::vector<uint8_t>& pixels,
                                      const ContextImageOptions& options = {});

// Simple entry point for sample files and benchmarks: the image in one go, no plane table.
// Returns an image block with an empty payload when the image cannot be coded.
ImageBlock contextImageBlock(int width, int height, uint8_t format,
                             const std::vector<uint8_t>& pixels);

}  // namespace pqz::enc
