// Writes the seed corpora of the fuzz targets: whole files for the interface target, and for
// each decoder family inputs in its target's layout (four parameter bytes, then the stream).
//
//   make_seeds OUTPUT_DIR
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

using namespace pqz::enc;

namespace {

void save(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    mkdir(dir.c_str(), 0755);
    writeFile(dir + "/" + name, bytes);
}

// Every reference vector and the bundled sample are seeds of the interface target.
void interfaceSeeds(const std::string& out) {
    int n = 0;
    for (const char* folder :
         {"container", "damaged", "bitstream", "context", "method1", "method2", "mixed"}) {
        const std::string dir = vectorsDir() + "/" + folder;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = d ? readdir(d) : nullptr) {
            const std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pqz") == 0)
                save(out + "/api", "vector" + std::to_string(n++), readFile(dir + "/" + name));
        }
        if (d) closedir(d);
    }
    save(out + "/api", "sample", readFile(std::string(PQZ2_SOURCE_DIR) + "/samples/TestFile.pqz"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
        return 2;
    }
    const std::string out = argv[1];
    mkdir(out.c_str(), 0755);
    interfaceSeeds(out);
    for (const char* family : {"bitstream", "context", "method1", "method2"})
        save(out + "/" + family, "empty", {0, 0, 0, 0});
    return 0;
}
