// The damage sweep: how much of a damaged file the reader's salvage mode recovers.
//
// It builds one file with images of every coding family (sweep_file.h), damages copies of it in
// four ways and reads each copy with salvage on:
//   cut        the file ends early, at every STEP-th byte
//   byte       one byte changed, at every STEP-th byte
//   zero 512   a bad sector: 512 bytes zeroed, at every multiple of 512
//   zero 4096  a bad sector of 4,096 bytes, at every multiple of 4,096
//   header     the first 16 bytes of a block overwritten with other bytes, every block
// Per kind it prints: the images the damage did not touch and how many of them came back whole
// (the goal: all, every time); the touched images recovered whole, partially or not at all, and
// those returned as whole with pixels that differ (a changed byte that no check can notice);
// blocks found where the original file has none; and for cut images the exact rows recovered
// against the rows fully coded before the cut (defined in rowsCodedBefore), in all and per coding
// family.
//
//   pqz2_damage_sweep [--step N] [--side N] [--strict]
//
// --strict: exit status 1 when an untouched image is not recovered whole or a row that a cut
// image reports good is wrong. (A changed byte can spoil rows before the decoder finds the
// damage; those rows are counted, not refused.) Not a timed test: the running time is printed for
// information.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "bench/damage_sweep/sweep_file.h"
#include "pqz2.h"

namespace pqz::sweep {
namespace {

struct Tally {
    uint64_t cases = 0;
    uint64_t untouched = 0, untouchedWhole = 0;
    uint64_t touched = 0, touchedWhole = 0, partial = 0, lost = 0, wrongWhole = 0;
    uint64_t phantom = 0;                   // images found at offsets where the file has none
    uint64_t wrongGoodRows = 0;             // rows reported good that differ from the image
    uint64_t rowsCoded = 0, rowsExact = 0;  // cut images
    // Cut images per coding family: cuts inside the payload, rows coded, rows exact.
    std::map<std::string, std::array<uint64_t, 3>> byFamily;
};

// What salvage made of one image of the file.
struct Found {
    bool seen = false;
    pqz2_status status = PQZ2_ERR_DAMAGED;
    uint32_t goodRows = 0;
    uint32_t exact = 0;  // rows from the top equal to the image
};

pqz2_file* salvagingFile() {
    pqz2_options o;
    pqz2_options_init(&o);
    o.salvage = 1;
    return pqz2_create(&o);
}

Found decodeCurrent(pqz2_file* f, const SweepImage& image) {
    Found r;
    r.seen = true;
    void* pixels = nullptr;
    size_t stride = 0;
    pqz2_decode_result result = {};
    r.status = pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, &pixels, &stride, &result);
    if (!pixels) return r;
    if (stride == image.rowBytes) {
        r.goodRows = r.status == PQZ2_OK ? image.height : result.good_rows;
        r.exact = exactRows(image, static_cast<uint8_t*>(pixels), image.height);
    }
    pqz2_free(pixels);
    return r;
}

// Walks the damaged bytes with salvage on and decodes every image it finds. Images are matched
// to the file's by their offset; others count as phantoms.
std::vector<Found> salvage(const SweepFile& file, const std::vector<uint8_t>& bytes,
                           uint64_t* phantom) {
    std::vector<Found> found(file.images.size());
    std::map<uint64_t, size_t> byOffset;
    for (size_t i = 0; i < file.images.size(); i++) byOffset[file.images[i].offset] = i;
    pqz2_file* f = salvagingFile();
    if (!f || pqz2_open_memory(f, bytes.data(), bytes.size()) != PQZ2_OK) {
        pqz2_destroy(f);
        return found;
    }
    uint64_t lastDamage = 0;
    bool damageSeen = false;
    for (size_t steps = 0; steps <= bytes.size(); steps++) {
        pqz2_block b = {};
        const pqz2_status s = pqz2_next_block(f, &b);
        if (s != PQZ2_OK && s != PQZ2_ERR_DAMAGED) break;
        if (s == PQZ2_ERR_DAMAGED) {
            if (damageSeen && b.offset <= lastDamage) break;  // the walk stays at this damage
            damageSeen = true;
            lastDamage = b.offset;
            if (b.damage < PQZ2_DAMAGE_AUX) continue;  // no block is current
        }
        if (b.kind != PQZ2_BLOCK_IMAGE) continue;
        const auto at = byOffset.find(b.offset);
        if (at == byOffset.end()) {
            (*phantom)++;
            continue;
        }
        found[at->second] = decodeCurrent(f, file.images[at->second]);
    }
    pqz2_destroy(f);
    return found;
}

// Rows of the image fully coded before byte `cut`: the rows from the top that decode exactly
// whatever follows the cut. Measured by decoding the image with every payload byte from the cut
// on replaced by three different continuations (zeros, ones, pseudo-random bytes) and taking the
// fewest exact rows; for raw images that is the rows stored wholly before the cut. A cut in the
// block's headers leaves no row; a cut behind the payload (in the palette) leaves every row.
uint32_t rowsCodedBefore(const SweepFile& file, const SweepImage& image, uint64_t cut) {
    if (cut <= image.payloadOffset) return 0;
    if (cut >= image.payloadEnd) return image.height;
    uint32_t rows = image.height;
    for (int k = 0; k < 3 && rows > 0; k++) {
        std::vector<uint8_t> bytes = file.bytes;
        uint32_t seed = 99;
        for (uint64_t i = cut; i < image.payloadEnd; i++)
            bytes[i] = k == 0   ? 0
                       : k == 1 ? 0xFF
                                : uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
        pqz2_file* f = salvagingFile();
        pqz2_block b;
        Found r;
        if (f && pqz2_open_memory(f, bytes.data(), bytes.size()) == PQZ2_OK &&
            pqz2_seek_block(f, image.blockIndex, &b) == PQZ2_OK)
            r = decodeCurrent(f, image);
        pqz2_destroy(f);
        rows = std::min(rows, r.exact);
    }
    return rows;
}

// Reads one damaged copy and adds it up. Bytes [from, to) are damaged; a cut has to = the end.
void assess(const SweepFile& file, const std::vector<uint8_t>& bytes, uint64_t from, uint64_t to,
            bool cut, Tally& t) {
    t.cases++;
    const std::vector<Found> found = salvage(file, bytes, &t.phantom);
    for (size_t i = 0; i < file.images.size(); i++) {
        const SweepImage& image = file.images[i];
        const Found& r = found[i];
        const bool whole = r.seen && r.status == PQZ2_OK && r.exact == image.height;
        // Rows a partial image reports good must be exact (a whole image that differs is
        // counted apart: a changed byte that decodes without complaint).
        if (r.seen && r.status == PQZ2_PARTIAL && r.goodRows > r.exact)
            t.wrongGoodRows += std::min(r.goodRows, image.height) - r.exact;
        if (image.end <= from || image.offset >= to) {
            t.untouched++;
            t.untouchedWhole += whole;
            continue;
        }
        if (cut && image.offset >= from) continue;  // cut away entirely: nothing to recover
        t.touched++;
        if (whole)
            t.touchedWhole++;
        else if (r.seen && r.status == PQZ2_OK)
            t.wrongWhole++;
        else if (r.seen && r.status == PQZ2_PARTIAL && r.goodRows > 0)
            t.partial++;
        else
            t.lost++;
        if (cut) {
            const uint32_t coded = rowsCodedBefore(file, image, from);
            const uint32_t exact = std::min(r.goodRows, r.exact);
            t.rowsCoded += coded;
            t.rowsExact += exact;
            if (from > image.payloadOffset && from < image.payloadEnd) {
                std::array<uint64_t, 3>& f = t.byFamily[image.family];
                f[0]++;
                f[1] += coded;
                f[2] += exact;
            }
        }
    }
}

struct Settings {
    int step = 31;
    int side = 40;
    bool strict = false;
};

// Runs every damage kind; returns the tallies in table order.
std::vector<std::pair<std::string, Tally>> sweep(const SweepFile& file, const Settings& s) {
    const std::vector<uint8_t>& original = file.bytes;
    const uint64_t size = original.size();
    std::vector<std::pair<std::string, Tally>> rows;
    Tally cut, byte, zero512, zero4096, header;
    for (uint64_t c = 1; c < size; c += s.step)
        assess(file, std::vector<uint8_t>(original.begin(), original.begin() + c), c, size, true,
               cut);
    uint32_t seed = 7;
    for (uint64_t p = 0; p < size; p += s.step) {
        std::vector<uint8_t> bytes = original;
        seed = seed * 1103515245u + 12345u;
        bytes[p] ^= uint8_t(1 + (seed >> 24) % 255);  // never the same value
        assess(file, bytes, p, p + 1, false, byte);
    }
    for (const uint64_t run : {512, 4096}) {
        for (uint64_t p = 0; p < size; p += run) {
            std::vector<uint8_t> bytes = original;
            const uint64_t end = std::min(size, p + run);
            std::fill(bytes.begin() + p, bytes.begin() + end, 0);
            assess(file, bytes, p, end, false, run == 512 ? zero512 : zero4096);
        }
    }
    for (size_t k = 0; k < file.blockOffsets.size(); k++) {
        std::vector<uint8_t> bytes = original;
        const uint64_t p = file.blockOffsets[k], end = std::min(size, p + 16);
        for (uint64_t i = p; i < end; i++) bytes[i] = uint8_t(bytes[i] * 73 + 41 + i);
        assess(file, bytes, p, end, false, header);
    }
    const std::string step = " (every " + std::to_string(s.step) + ")";
    return {{"cut" + step, cut},
            {"byte changed" + step, byte},
            {"512 bytes zeroed", zero512},
            {"4096 bytes zeroed", zero4096},
            {"block header overwritten", header}};
}

void printTable(const std::vector<std::pair<std::string, Tally>>& rows) {
    std::printf(
        "| damage | cases | untouched | untouched whole | touched | touched whole | "
        "partial | lost | changed, read as whole | phantom blocks | wrong good rows | "
        "cut: rows coded | cut: rows exact |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const auto& [name, t] : rows) {
        std::printf("| %s | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu |",
                    name.c_str(), (unsigned long long)t.cases, (unsigned long long)t.untouched,
                    (unsigned long long)t.untouchedWhole, (unsigned long long)t.touched,
                    (unsigned long long)t.touchedWhole, (unsigned long long)t.partial,
                    (unsigned long long)t.lost, (unsigned long long)t.wrongWhole,
                    (unsigned long long)t.phantom, (unsigned long long)t.wrongGoodRows);
        if (t.rowsCoded || t.rowsExact)
            std::printf(" %llu | %llu |\n", (unsigned long long)t.rowsCoded,
                        (unsigned long long)t.rowsExact);
        else
            std::printf(" | |\n");
    }
}

// The cut rows per coding family, in the order the file holds the families.
void printFamilies(const SweepFile& file, const Tally& cut) {
    std::printf("\n| cut inside the payload of | cuts | rows coded | rows exact |\n");
    std::printf("|---|---:|---:|---:|\n");
    std::string last;
    for (const SweepImage& image : file.images) {
        if (image.family == last) continue;
        last = image.family;
        const auto f = cut.byFamily.find(image.family);
        if (f == cut.byFamily.end()) continue;
        std::printf("| %s | %llu | %llu | %llu |\n", image.family.c_str(),
                    (unsigned long long)f->second[0], (unsigned long long)f->second[1],
                    (unsigned long long)f->second[2]);
    }
}

int parse(int argc, char** argv, Settings* s) {
    for (int i = 1; i < argc; i++) {
        const bool value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--strict")) {
            s->strict = true;
        } else if (!std::strcmp(argv[i], "--step") && value) {
            s->step = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--side") && value) {
            s->side = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--step N] [--side N] [--strict]\n", argv[0]);
            return 2;
        }
    }
    if (s->step < 1 || s->side < 4 || s->side > 512) {
        std::fprintf(stderr, "--step takes 1 or more, --side 4 to 512\n");
        return 2;
    }
    return 0;
}

}  // namespace
}  // namespace pqz::sweep

int main(int argc, char** argv) {
    using namespace pqz::sweep;
    Settings settings;
    if (const int bad = parse(argc, argv, &settings)) return bad;
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    const SweepFile file = buildSweepFile(settings.side, &error);
    if (file.bytes.empty()) {
        std::fprintf(stderr, "damage sweep: %s\n", error.c_str());
        return 1;
    }
    std::printf("file: %zu bytes, %zu blocks, %zu images (", file.bytes.size(),
                file.blockOffsets.size(), file.images.size());
    for (size_t i = 0; i < file.images.size(); i++)
        std::printf("%s%s", i ? " " : "", file.images[i].family.c_str());
    std::printf(")\n");
    for (const std::string& m : file.familiesMissing)
        std::printf("no encoder in this build for: %s\n", m.c_str());
    const auto rows = sweep(file, settings);
    printTable(rows);
    printFamilies(file, rows.front().second);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.1f s\n", seconds);
    bool fine = true;
    for (const auto& row : rows) fine &= row.second.untouched == row.second.untouchedWhole;
    fine &= rows.front().second.wrongGoodRows == 0;  // cut data: every good row is exact
    return settings.strict && !fine ? 1 : 0;
}
