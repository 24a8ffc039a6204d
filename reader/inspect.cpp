#include "reader/inspect.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "pipeline/payload.h"
#include "reader/stream_reader.h"

namespace pqz {

bool readPlaneTable(const ImageHeader& header, const uint8_t* head, size_t size, BlockInfo* info) {
    const int bpp = header.bitsPerPixel();
    const int planes = (bpp + 7) / 8;
    if (!(header.flags & kFlagCompressed) || bpp <= 4 || !(header.flags & kFlagPlaneTable) ||
        planes > 4)
        return false;
    uint8_t bytes[16 + kPayloadSlack] = {};
    std::memcpy(bytes, head, size < 16 ? size : 16);
    PayloadReader in(bytes, 16);
    PayloadHead table;
    readPayloadHead(in, planes, (header.format & kFormatGrey) != 0, table);
    info->hasHead = true;
    info->tolerance = table.tolerance;
    info->planeCount = planes;
    std::memcpy(info->planes, table.planeTable, sizeof info->planes);
    return true;
}

bool listBlocks(const std::string& path, std::vector<BlockInfo>* blocks, std::string* problem) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *problem = "cannot be opened";
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> closer(f, &std::fclose);
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    int images = 0;
    for (;;) {
        BlockInfo info;
        const long at = std::ftell(f);
        info.offset = uint64_t(at);
        uint8_t tag[4];
        const size_t got = std::fread(tag, 1, 4, f);
        if (got < 4) {
            if (got == 0 || std::feof(f)) return true;
            *problem = "read error at offset " + std::to_string(at);
            return false;
        }
        const TagKind kind = classifyTag(tag);
        if (kind == kTagInvalid) {
            *problem = "no valid block at offset " + std::to_string(at);
            return false;
        }
        uint8_t h[16];
        uint64_t body = 0;
        if (kind == kTagExtra) {
            if (std::fread(h, 1, 8, f) != 8) {
                *problem = "extra block at offset " + std::to_string(at) + " is truncated";
                return false;
            }
            info.recordType = le32(h);
            info.recordSize = le32(h + 4);
            body = info.recordSize;
        } else {
            if (std::fread(h, 1, 16, f) != 16) {
                *problem = "image header at offset " + std::to_string(at) + " is truncated";
                return false;
            }
            info.image = true;
            info.imageNumber = images++;
            info.header = parseImageHeader(h);
            if (info.header.flags & kFlagAuxHeader) {
                uint8_t a[8];
                if (std::fread(a, 1, 8, f) != 8) {
                    *problem = "auxiliary header of image " + std::to_string(info.imageNumber) +
                               " is truncated";
                    return false;
                }
                info.hasAux = true;
                info.recordType = le32(a);
                info.recordSize = le32(a + 4);
                if (std::fseek(f, long(info.recordSize), SEEK_CUR) != 0) return false;
            }
            uint8_t head[16] = {};
            const long payloadAt = std::ftell(f);
            const size_t n = std::fread(head, 1, sizeof head, f);
            readPlaneTable(info.header, head, n, &info);
            std::fseek(f, payloadAt, SEEK_SET);
            const int bpp = info.header.bitsPerPixel();
            const bool palette = (info.header.format & kFormatPalette) != 0;
            body = uint64_t(info.header.payloadSize) +
                   (palette ? (bpp < 40 ? uint64_t(3) << bpp : uint64_t(1) << 40) : 0);
        }
        const long here = std::ftell(f);
        if (uint64_t(size - here) < body) {
            blocks->push_back(info);
            *problem = std::string(info.image ? "image " + std::to_string(info.imageNumber)
                                              : "extra block") +
                       " at offset " + std::to_string(at) + " announces " + std::to_string(body) +
                       " bytes, " + std::to_string(size - here) + " remain";
            return false;
        }
        std::fseek(f, long(body), SEEK_CUR);
        blocks->push_back(info);
    }
}

}  // namespace pqz
