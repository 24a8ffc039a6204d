// Writes the benchmark's PQZ files to a folder, for comparing decoders of two builds and for
// timing whole-archive conversion:
//
//   pqz2_bench_inputs OUTPUT_DIR [PHOTO...]
//
// For each photo (default: the benchmark's seven) and coding method with an encoder in this
// build, PHOTO-METHOD.pqz holds the photo coded as the benchmark codes it; near-lossless
// variants of methods 1 and 2 (tolerance 3) come as PHOTO-method1-t3.pqz and
// PHOTO-method2-t3.pqz. all-METHOD.pqz holds every photo coded by one method, one image each.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/pqz_inputs.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"

using namespace pqz;

namespace {

const char* const kPhotos[] = {"camera", "moon", "coins", "page", "astronaut", "coffee", "logo"};

bool save(const std::string& path, const enc::PqzWriter& w) {
    if (w.save(path)) return true;
    std::fprintf(stderr, "pqz2_bench_inputs: cannot write %s\n", path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pqz2_bench_inputs OUTPUT_DIR [PHOTO...]\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<std::string> photos(argv + 2, argv + argc);
    if (photos.empty()) photos.assign(std::begin(kPhotos), std::end(kPhotos));

    std::map<std::string, enc::PqzWriter> all;  // per method, every photo
    bool ok = true;
    for (const std::string& name : photos) {
        const enc::Picture picture = enc::loadImage(name + ".png");
        std::vector<std::pair<std::string, enc::ImageBlock>> blocks;
        for (const bench::PqzMethod& m : bench::pqzMethods()) {
            enc::ImageBlock block;
            if (m.encode && m.encode(picture, block)) blocks.emplace_back(m.name, std::move(block));
        }
        blocks.emplace_back("method1-t3", enc::encodeMethod1Picture(picture, 3, true).block);
        blocks.emplace_back("method2-t3", enc::encodeMethod2Picture(picture, 3).block);
        for (const auto& [method, block] : blocks) {
            enc::PqzWriter one;
            one.imageBlock(block);
            ok &= save(dir + "/" + name + "-" + method + ".pqz", one);
            all[method].imageBlock(block);
        }
        std::printf("%s: %zu files\n", name.c_str(), blocks.size());
    }
    for (const auto& [method, w] : all) ok &= save(dir + "/all-" + method + ".pqz", w);
    return ok ? 0 : 1;
}
