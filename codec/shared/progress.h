// Progress of one decode in rows, over all passes of the image, and the caller's chance to
// cancel it. The plane loops count their rows here; the caller's function is asked once enough
// pixels have passed, so the hot loops pay one add and one compare per row.
#pragma once

#include <cstdint>

#include "base/platform.h"

namespace pqz {

using ProgressFunction = bool (*)(void* user, uint64_t done, uint64_t total);

class RowProgress {
  public:
    // Pixels decoded between two reports at most, unless a single row is longer.
    static constexpr uint64_t kPixelsPerReport = 4096;

    RowProgress() = default;
    RowProgress(ProgressFunction function, void* user, uint64_t totalRows)
        : function_(function), user_(user), total_(totalRows) {}

    // A pass of rows rows of rowPixels pixels each begins (the pipeline announces every
    // pass; the plane decoders only count rows).
    void beginPass(uint64_t rows, uint64_t rowPixels) {
        passEnd_ = done_ + rows;
        rowPixels_ = rowPixels;
    }

    // Counts one finished row; true when the caller asked to stop.
    PQZ_HOT_INLINE bool rowDone() { return rowsDone(1); }

    // Counts finished rows; true when the caller asked to stop.
    PQZ_HOT_INLINE bool rowsDone(uint64_t rows) {
        if (!function_) return false;
        done_ = done_ + rows < passEnd_ ? done_ + rows : passEnd_;
        pending_ += rows * rowPixels_;
        if (pending_ < kPixelsPerReport) return false;
        return report();
    }

    // Ends the pass: its rows count as done whatever the decoder counted.
    void endPass() {
        if (done_ < passEnd_) done_ = passEnd_;
    }

    // The final report (all rows done); true when the caller asked to stop.
    bool finish() {
        done_ = total_;
        return function_ ? report() : false;
    }

    bool cancelled() const { return cancelled_; }

  private:
    bool report() {
        pending_ = 0;
        if (done_ > total_) done_ = total_;  // a pass announced beyond the image's rows
        if (!cancelled_ && function_(user_, done_, total_)) cancelled_ = true;
        return cancelled_;
    }

    ProgressFunction function_ = nullptr;
    void* user_ = nullptr;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    uint64_t passEnd_ = 0;
    uint64_t rowPixels_ = 0;
    uint64_t pending_ = 0;
    bool cancelled_ = false;
};

}  // namespace pqz
