// Reading the reference vectors' files for tests that re-encode them: the image blocks of a file
// and the payload head of a compressed image.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

namespace pqz::test {

// The reference files as FOLDER/NAME (without .pqz), sorted.
inline std::vector<std::string> vectorNames() {
    std::vector<std::string> names;
    const std::string root = enc::vectorsDir();
    for (const char* folder :
         {"container", "damaged", "bitstream", "context", "method1", "method2", "mixed"}) {
        DIR* d = opendir((root + "/" + folder).c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".pqz") == 0)
                names.push_back(std::string(folder) + "/" + n.substr(0, n.size() - 4));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct StoredImage {
    uint16_t width = 0, height = 0;
    uint8_t format = 0, flags = 0;
    std::vector<uint8_t> payload, palette;
};

inline uint32_t littleEndian(const std::vector<uint8_t>& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v |= uint32_t(b.at(at + i)) << (8 * i);
    return v;
}

// The image blocks of a file (extra blocks passed over).
inline std::vector<StoredImage> imageBlocks(const std::vector<uint8_t>& file) {
    std::vector<StoredImage> out;
    size_t at = 0;
    while (at + 4 <= file.size()) {
        const uint8_t kind = file[at + 1];
        at += 4;
        if (kind == enc::kKindExtra) {
            at += 8 + littleEndian(file, at + 4, 4);
            continue;
        }
        StoredImage img;
        img.width = uint16_t(littleEndian(file, at, 2));
        img.height = uint16_t(littleEndian(file, at + 2, 2));
        img.format = file[at + 10];
        img.flags = file[at + 11];
        const uint32_t size = littleEndian(file, at + 12, 4);
        at += 16;
        if (img.flags & 0x80) at += 8 + littleEndian(file, at + 4, 4);
        img.payload.assign(file.begin() + at, file.begin() + at + size);
        at += size;
        if (img.format & 0x80) {
            const size_t n = 3u << (img.format & 0x3F);
            img.palette.assign(file.begin() + at, file.begin() + at + n);
            at += n;
        }
        out.push_back(img);
    }
    return out;
}

struct PayloadHead {
    int tolerance = 0;
    std::vector<enc::PlaneSpec> planes;  // by byte position
    size_t bytes = 0;                    // whole bytes the head occupies
};

// The head of a compressed payload with a plane table, read least significant bit first.
inline PayloadHead readPayloadHead(const StoredImage& img) {
    const int bpp = img.format & 0x3F;
    size_t bit = 0;
    auto read = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, bit++)
            v |= uint32_t((img.payload.at(bit / 8) >> (bit % 8)) & 1) << i;
        return v;
    };
    PayloadHead h;
    if (enc::headHasTolerance(bpp, (img.format & 0x40) != 0)) h.tolerance = int(read(4));
    for (int p = 0; p < (bpp + 7) / 8; p++) {
        const uint32_t d = read(6);
        enc::PlaneSpec s;
        s.order = uint8_t(d & 3);
        s.method = uint8_t((d >> 2) & 3);
        s.modelFlag = (d >> 4) & 1;
        s.hasReference = (d >> 5) & 1;
        if (s.hasReference) {
            s.offset = uint8_t(read(8));
            if (s.order > 1) {
                s.coef[0] = int(read(8)) - 64;
                s.coef[1] = int(read(8)) - 64;
            }
            if (s.order > 2) s.coef[2] = int(read(8)) - 64;
        }
        h.planes.push_back(s);
    }
    h.bytes = (bit + 7) / 8;
    return h;
}

}  // namespace pqz::test
