// What the image-viewer plug-ins share: a PQZ file held in memory with the list of its images,
// the limits a plug-in decodes under, and the grey rendering of images whose values carry no
// colour.
#pragma once

#include <pqz2.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pqz2_desktop {

// Limits for decoding inside a host program (viewers, thumbnailers): images up to 2^27 pixels
// (e.g. 16384 x 8192) and 512 MiB of decoder memory besides the host's pixel buffer, so that a
// forged header cannot make a thumbnailer allocate gigabytes.
constexpr uint64_t kMaxPixels = uint64_t(1) << 27;
constexpr uint64_t kMaxMemory = uint64_t(1) << 29;

// True when data starts with a block tag (image or extra block of version 2.0): the magic bytes
// a host uses to recognise the file.
bool startsWithBlockTag(const void* data, size_t size);

// The number of leading bytes of data that hold the first image block whole, or 0 while the
// first image block is not complete (or no image block can follow). A loader that shows only
// the first image may stop buffering there.
size_t firstImageBytes(const void* data, size_t size);

// A file opened from memory (not copied: it must outlive the document) and the block numbers
// of its images, found by walking the blocks once. A walk that meets a damaged block keeps the
// images in front of it; the failure is kept for the caller to report when there are none.
class Document {
  public:
    Document();
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // PQZ2_OK when the data opened; the images found are then in imageCount().
    pqz2_status open(const void* data, size_t size);
    size_t imageCount() const { return images_.size(); }
    // The status and message of the walk when it ended on a failure (PQZ2_OK / "" otherwise).
    pqz2_status walkStatus() const { return walkStatus_; }
    const char* walkMessage() const { return walkMessage_.data(); }

    // Makes image number index (from 0) the current block and describes it.
    pqz2_status select(size_t index, pqz2_image_info* info);
    // Decodes the selected image; see pqz2_decode.
    pqz2_status decode(pqz2_format format, void* buffer, size_t size, size_t stride);

    // The message of the last failed call, for the host's error report.
    const char* message() const;
    bool valid() const { return file_ != nullptr; }

  private:
    pqz2_file* file_;
    std::vector<uint32_t> images_;
    pqz2_status walkStatus_ = PQZ2_OK;
    std::vector<char> walkMessage_ = {'\0'};
};

// Images whose pixels are plain values (9 to 14 bits per pixel) are shown as grey levels: the
// library's one-value-per-pixel layout scaled to the full range of an 8- or 16-bit grey.
bool showsValuesAsGrey(const pqz2_image_info& info);
// Scales the uint16 values of a row in place from 0 .. 2^bits - 1 to 0 .. 65535.
void valuesToGrey16(uint16_t* row, uint32_t width, uint32_t bits);
// Writes the uint16 values of a row as 8-bit grey, 'channels' equal bytes per pixel.
void valuesToGrey8(const uint16_t* values, uint32_t width, uint32_t bits, uint8_t* out,
                   unsigned channels);

}  // namespace pqz2_desktop
