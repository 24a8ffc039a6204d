// Helpers shared by the tests: temporary files and reading bitmaps back.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pipeline/reader_state.h"
#include "reader/pqz2_read.h"
#include "tests/encoder/pqz_writer.h"

namespace pqz::test {

// A fresh temporary folder, removed with its files when the object goes.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/pqz2test.XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "/tmp";
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Writes bytes to a file in dir and returns its path.
inline std::string writeTemp(const TempDir& dir, const std::vector<uint8_t>& bytes,
                             const std::string& name = "test.pqz") {
    std::string path = dir.file(name);
    enc::writeFile(path, bytes);
    return path;
}

// An uncompressed 8-bit grey image block of one fill value.
inline enc::ImageBlock rawGrey(uint16_t w, uint16_t h, uint8_t fill = 7) {
    enc::ImageBlock b;
    b.width = w;
    b.height = h;
    b.format = 8 | 0x40;
    b.payload.assign(size_t(w) * h, fill);
    return b;
}

// Output (standard output and error together when the command says so) and exit status.
struct ProcessRun {
    std::string out;
    int status = -1;
};

inline ProcessRun runProcess(const std::string& command) {
    ProcessRun r;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Points the decoding state's payload at bytes (with the zero slack the loader provides), as the
// pipeline does before a payload is decoded.
inline void loadPayload(ReaderState& st, std::vector<uint8_t>& bytes) {
    const size_t size = bytes.size();
    bytes.resize(size + kPayloadSlack, 0);
    st.payloadStart = st.cursor = st.segmentStart = bytes.data();
    st.payloadSize = uint32_t(size);
    st.payloadEnd = bytes.data() + size;
    st.bitCount = 0;
    st.bitBuffer = 0;
    st.damaged = false;
    st.currentModelFlag = 0;
}

// A bitmap returned by the library, unpacked: rows top to bottom without padding.
struct Bitmap {
    int width = 0, height = 0, bitCount = 0;
    uint32_t sizeImage = 0;
    std::vector<uint8_t> colours;  // 4 bytes per entry
    std::vector<uint8_t> rows;     // top-down, rowBytes each
    uint32_t rowBytes = 0;
};

inline Bitmap unpackDib(const DibImage* dib) {
    Bitmap b;
    b.width = dib->biWidth;
    b.height = dib->biHeight;
    b.bitCount = dib->biBitCount;
    b.sizeImage = dib->biSizeImage;
    const uint32_t entries = b.bitCount <= 8 ? 1u << b.bitCount : 0;
    const uint8_t* table = reinterpret_cast<const uint8_t*>(dib + 1);
    b.colours.assign(table, table + 4 * entries);
    const uint32_t stride = b.height ? b.sizeImage / b.height : 0;
    b.rowBytes = enc::rowBytesFor(uint32_t(b.width), b.bitCount);
    const uint8_t* rows = table + 4 * entries;
    for (int y = 0; y < b.height; y++) {
        const uint8_t* r = rows + size_t(b.height - 1 - y) * stride;
        b.rows.insert(b.rows.end(), r, r + b.rowBytes);
    }
    return b;
}

// Reads every image of a file as bitmaps (empty when the open fails).
inline std::vector<Bitmap> readAllImages(const std::string& path, int* lastError = nullptr) {
    std::vector<Bitmap> out;
    ReaderHandle* h = pqzOpen(path.c_str());
    while (DibImage* d = pqzReadImage(h, nullptr)) {
        out.push_back(unpackDib(d));
        pqzFreeResource(d);
    }
    if (lastError) *lastError = pqzGetLastError(h);
    pqzClose(h);
    return out;
}

}  // namespace pqz::test
