// Limits refuse before anything large is allocated: the heap's peak during a refused decode
// stays small, while the same decode without the limit does allocate the image. Counts the heap
// the way the benchmark does (malloc and its companions replaced); a plain program, not a gtest.
#include <cstdio>
#include <vector>

#include "api/pqz2.h"
#include "bench/heap_peak.h"
#include "tests/encoder/pqz_writer.h"

namespace {

int failures = 0;

void expect(bool ok, const char* what, long long peak) {
    std::printf("%s: %s (peak heap rise %lld bytes)\n", ok ? "ok" : "FAILED", what, peak);
    if (!ok) failures++;
}

// A compressed range-coded image whose payload is a few bytes: the decode would allocate the
// whole image before finding the stream too short.
std::vector<uint8_t> bigImageFile(uint16_t w, uint16_t h, uint8_t format) {
    pqz::enc::ImageBlock b;
    b.width = w;
    b.height = h;
    b.format = format;
    b.flags = 0x20 | 0x04;
    b.payload.assign(16, 0x97);
    pqz::enc::PqzWriter writer;
    writer.imageBlock(b);
    return writer.bytes();
}

pqz2_file* openAt(const std::vector<uint8_t>& bytes, const pqz2_options* o) {
    pqz2_file* f = pqz2_create(o);
    pqz2_block b;
    if (pqz2_open_memory(f, bytes.data(), bytes.size()) != PQZ2_OK ||
        pqz2_next_block(f, &b) != PQZ2_OK)
        failures++;
    return f;
}

}  // namespace

int main() {
    if (!pqz::bench::heapCounting()) {
        std::puts("heap counting is not built in (sanitizer build): nothing checked");
        return 0;
    }
    // 60000 x 60000 pixels of 32 bits: far beyond the default pixel limit.
    const std::vector<uint8_t> huge = bigImageFile(60000, 60000, 32);
    pqz2_file* f = openAt(huge, nullptr);
    void* pixels = nullptr;
    size_t stride = 0;
    const long long level = pqz::bench::heapResetPeak();
    pqz2_status s = pqz2_decode_alloc(f, PQZ2_FORMAT_RGBA8, &pixels, &stride, nullptr);
    long long peak = pqz::bench::heapPeak() - level;
    expect(s == PQZ2_ERR_LIMIT && peak < (64 << 10), "max_pixels refuses a 14 GB image", peak);
    pqz2_destroy(f);

    // 2000 x 2000 grey pixels into the caller's buffer: 4 MB of image, 1 MB allowed.
    const std::vector<uint8_t> grey = bigImageFile(2000, 2000, 0x48);
    std::vector<uint8_t> buffer(2000 * 2000);
    pqz2_options o;
    pqz2_options_init(&o);
    o.max_memory = 1 << 20;
    f = openAt(grey, &o);
    const long long before = pqz::bench::heapResetPeak();
    s = pqz2_decode(f, PQZ2_FORMAT_NATIVE, buffer.data(), buffer.size(), 0, nullptr);
    peak = pqz::bench::heapPeak() - before;
    expect(s == PQZ2_ERR_LIMIT && peak < (64 << 10), "max_memory refuses a 4 MB decode", peak);
    pqz2_destroy(f);

    // Without the limit the same decode allocates the image before it finds the damage.
    f = openAt(grey, nullptr);
    const long long start = pqz::bench::heapResetPeak();
    s = pqz2_decode(f, PQZ2_FORMAT_NATIVE, buffer.data(), buffer.size(), 0, nullptr);
    peak = pqz::bench::heapPeak() - start;
    expect(s == PQZ2_ERR_DAMAGED && peak >= 4000000, "the counter sees the unlimited decode", peak);
    pqz2_destroy(f);
    return failures ? 1 : 0;
}
