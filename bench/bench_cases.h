// One benchmark case: a photo coded by one codec (a PQZ2 coding method or a peer), its
// preparation (coding, the file the reader opens, one checked decode that also measures the
// peak heap) and the decode that is timed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/pqz_inputs.h"
#include "tests/encoder/test_images.h"

namespace pqz::bench {

enum class Peer { kNone, kPng, kJpegLs };

struct Case {
    std::string photo;                      // file name without .png
    std::string codec;                      // a PqzMethod name, "png" or "jpegls"
    const enc::Picture* picture = nullptr;  // the original pixels
    const PqzMethod* method = nullptr;      // PQZ2 cases
    Peer peer = Peer::kNone;                // peer cases
    bool api = false;  // PQZ2 cases: through the decoding API instead of the ten functions

    // Filled by prepareCase.
    bool prepared = false;
    std::string error;                // why the case cannot run; empty when it can
    std::vector<uint8_t> compressed;  // PQZ file, PNG file or JPEG-LS stream
    std::string path;                 // PQZ2 cases: the file the reader opens
    long long peakHeap = 0;           // bytes above the level before the decode

    std::string name() const { return "decode/" + photo + "/" + codec; }
    // Bytes of the decoded image in its stored format: 1, 3 or 4 per pixel, no row padding.
    size_t decodedBytes() const;
    double bitsPerPixel() const;
};

// A fresh folder for the PQZ files, removed with them when the object goes.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Codes the picture, writes the PQZ file into folder and decodes it once: the pixels must be
// the picture's exactly. Records the peak heap of that decode. On failure sets c.error.
bool prepareCase(Case& c, const std::string& folder);

// One decode, as the benchmark times it: for PQZ2 pqzOpen, pqzReadImage, pqzFreeResource and
// pqzClose on the file, or through the decoding API pqz2_create, pqz2_open_path,
// pqz2_next_block, pqz2_decode_alloc of the stored layout, pqz2_free and pqz2_destroy; for the
// peers the decode from memory into a fresh pixel buffer.
bool decodeCase(const Case& c);

}  // namespace pqz::bench
