// Helpers of the decoding API tests: files in memory and decodes into vectors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/pqz2.h"
#include "tests/encoder/pqz_writer.h"

namespace pqz::test {

// A file object that is destroyed with the helper.
class ApiFile {
  public:
    explicit ApiFile(const pqz2_options* options = nullptr) : f_(pqz2_create(options)) {}
    ~ApiFile() { pqz2_destroy(f_); }
    ApiFile(const ApiFile&) = delete;
    ApiFile& operator=(const ApiFile&) = delete;
    pqz2_file* get() const { return f_; }
    operator pqz2_file*() const { return f_; }

  private:
    pqz2_file* f_;
};

inline std::vector<uint8_t> fileOf(const enc::ImageBlock& block) {
    enc::PqzWriter w;
    w.imageBlock(block);
    return w.bytes();
}

// Decodes the current image into format with the smallest stride; status in *status.
inline std::vector<uint8_t> decodeTo(pqz2_file* f, pqz2_format format, pqz2_status* status) {
    pqz2_image_info info;
    *status = pqz2_image_info_get(f, &info);
    if (*status != PQZ2_OK) return {};
    const size_t stride = pqz2_min_stride(&info, format);
    std::vector<uint8_t> out(stride * info.height + 1);
    *status = pqz2_decode(f, format, out.data(), out.size() - 1, stride, nullptr);
    out.pop_back();
    return out;
}

}  // namespace pqz::test
