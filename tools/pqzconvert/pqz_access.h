// Everything the converter asks of the PQZ2 library, behind one small interface: list the blocks
// of a file, decode its images one by one, and read auxiliary headers and extra blocks. The rest
// of the converter sees only the types below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pqzconvert {

// Auxiliary header or extra block as the library hands it out: the stored bytes, zero-padded to
// a multiple of four bytes (at least four).
struct Record {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// Length of a record of `stored` bytes as handed out.
uint64_t handedOutLength(uint32_t stored);

struct BlockEntry {
    bool image = false;  // image block, else extra block
    uint32_t index = 0;  // block number in the file, from 0
    uint64_t offset = 0;
    int imageNumber = -1;  // images: 0, 1, ... in file order
    int extraNumber = -1;  // extra blocks: 0, 1, ... in file order
    // Images.
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    bool grey = false;
    bool palette = false;
    uint32_t payloadBytes = 0;
    std::string coding;  // how the payload is coded, in the terms of the --list legend
    bool hasAux = false;
    // The extra block, or the image's auxiliary header.
    uint32_t recordType = 0;
    uint32_t recordStored = 0;  // bytes stored in the file
};

struct Listing {
    uint64_t fileSize = 0;
    std::vector<BlockEntry> blocks;
    bool complete = true;  // the walk reached the end of the file
    // When not complete: what stopped the walk, where, and whether the last listed block is the
    // damaged one (a block that announces more bytes than remain).
    std::string problem;
    uint64_t problemOffset = 0;
    bool lastBlockDamaged = false;
};

// Lists the blocks of the file at path. False when the file cannot be read at all (a missing or
// unreadable file, a folder, an empty file): *reason says why. A damaged file lists the blocks
// in front of the damage and tells what stopped the walk in the listing.
bool listFile(const std::string& path, Listing* listing, std::string* reason);

// A decoded image in its stored pixel format: rows top first, packed as stored, and for colour
// images of up to 8 bits per pixel the palette that applies to it (red, green, blue per entry,
// 2^bits entries). Grey images carry no palette: their levels are the pixel values.
struct StoredImage {
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    bool grey = false;
    size_t rowBytes = 0;
    const uint8_t* pixels = nullptr;  // height * rowBytes bytes
    std::vector<uint8_t> paletteRgb;
    bool hasAux = false;
    Record aux;

    std::shared_ptr<void> owner;  // keeps the pixels alive
};

// Reads the blocks of one file in order: images decoded in their stored layout (images without a
// palette of their own take the colours of the palettes before them), extra blocks as bytes.
class ImageReader {
  public:
    explicit ImageReader(const std::string& path);
    ~ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    // Decodes an image listed by listFile. False when it cannot: *reason says why.
    bool decode(const BlockEntry& block, StoredImage* out, std::string* reason);

    // Reads an extra block listed by listFile.
    bool readExtra(const BlockEntry& block, Record* out, std::string* reason);

  private:
    struct File;
    // Makes the listed block current; false with *reason when it cannot.
    bool moveTo(const BlockEntry& block, std::string* reason);
    std::string path_;
    std::unique_ptr<File> file_;
};

// How much of an image a salvaging decode recovered.
enum class Recovered {
    kWhole,    // every row
    kPartial,  // the rows above goodRows are exact, the rest zero
    kNothing   // no row: the image is lost
};

// One step of a salvaging walk.
struct SalvageStep {
    enum Kind {
        kBlock,       // a block whose headers are whole (its data may still be damaged)
        kUnreadable,  // bytes at problemOffset that form no readable block; the walk goes on
        kEnd,         // the end of the file
        kStop         // the walk cannot go on from problemOffset: the rest of the file is lost
    } kind = kEnd;
    BlockEntry entry;        // kBlock
    uint64_t blockSize = 0;  // kBlock: bytes of the block as its headers announce them
    std::string problem;     // kUnreadable, kStop, and kBlock when its data runs past the end
    uint64_t problemOffset = 0;
    // kBlock and kEnd: bytes the walk passed over in front of the block (or the end).
    uint64_t skippedOffset = 0;
    uint64_t skippedSize = 0;
};

// Reads a damaged file with the library's salvage on: past blocks whose data is damaged, and on
// at the next valid block behind bytes that form none. Blocks come in file order, and each image
// can be decoded as far as it is intact.
class SalvageWalk {
  public:
    explicit SalvageWalk(const std::string& path);
    ~SalvageWalk();
    SalvageWalk(const SalvageWalk&) = delete;
    SalvageWalk& operator=(const SalvageWalk&) = delete;

    // Opens the file; false when it cannot be read at all (*reason says why, as listFile).
    bool open(uint64_t* fileSize, std::string* reason);
    SalvageStep next();
    // Decodes the image of the last kBlock step: *goodRows rows from the top are exact.
    Recovered decode(StoredImage* out, uint32_t* goodRows, std::string* reason);
    // Reads the extra block of the last kBlock step.
    bool readExtra(const BlockEntry& block, Record* out, std::string* reason);

  private:
    struct File;
    std::string path_;
    std::unique_ptr<File> file_;
};

}  // namespace pqzconvert
