// Progress of one decode in rows, over all passes of the image, and the caller's chance to
// cancel it. The plane loops count their rows here; the caller's function is asked once enough
// pixels have passed, so the hot loops pay one add and one compare per row.
//
// When salvaging, the same counts tell which rows can be trusted: a row is trusted when it was
// finished while its stream had found no damage and had read nothing behind the end of its
// data (the stream's end is where the data ends). Once a row is not trusted, no later row is.
#pragma once

#include <cstdint>

#include "base/platform.h"
#include "codec/shared/payload_reader.h"

namespace pqz {

using ProgressFunction = bool (*)(void* user, uint64_t done, uint64_t total);

class RowProgress {
  public:
    // Pixels decoded between two reports at most, unless a single row is longer.
    static constexpr uint64_t kPixelsPerReport = 4096;

    RowProgress() = default;
    RowProgress(ProgressFunction function, void* user, uint64_t totalRows)
        : function_(function), user_(user), total_(totalRows) {}

    // Salvage: counts trusted rows from now on.
    void watchTrust() { watching_ = true; }
    bool watching() const { return watching_; }

    // A pass of rows rows of rowPixels pixels each begins (the pipeline announces every
    // pass; the plane decoders only count rows).
    void beginPass(uint64_t rows, uint64_t rowPixels) {
        passEnd_ = done_ + rows;
        rowPixels_ = rowPixels;
        passRows_ = rows;
        passTrusted_ = 0;
        layers_ = 1;
    }

    // The decoder codes the pass's rows as layers stacked copies (byte planes one after
    // another): a row is whole once its copy in the last layer is.
    void setLayers(uint32_t layers) { layers_ = layers ? layers : 1; }

    // Counts one finished row of stream s; true when the caller asked to stop.
    PQZ_HOT_INLINE bool rowDone(const StreamCursor& s) { return rowsDone(1, s); }

    // Counts finished rows of stream s; true when the caller asked to stop.
    PQZ_HOT_INLINE bool rowsDone(uint64_t rows, const StreamCursor& s) {
        if (watching_) trust(rows, s);
        if (!function_) return false;
        done_ = done_ + rows < passEnd_ ? done_ + rows : passEnd_;
        pending_ += rows * rowPixels_;
        if (pending_ < kPixelsPerReport) return false;
        return report();
    }

    // Ends the pass: its rows count as done whatever the decoder counted (not as trusted).
    void endPass() {
        if (done_ < passEnd_) done_ = passEnd_;
        passesEnded_++;
        const uint64_t stacked = passRows_ * layers_;
        if (passTrusted_ >= stacked) fullPasses_++;
        const uint64_t below = passRows_ * (layers_ - 1);  // rows of the layers before the last
        lastTrusted_ = passTrusted_ > below ? passTrusted_ - below : 0;
    }

    // Trusted rows of an image decoded in passes passes one after another (each pass one
    // plane of all rows): a row counts when it is trusted in every pass.
    uint64_t trustedRows(uint64_t passes) const {
        if (passesEnded_ != passes || fullPasses_ + 1 < passes) return 0;
        return lastTrusted_;
    }

    // The final report (all rows done); true when the caller asked to stop.
    bool finish() {
        done_ = total_;
        return function_ ? report() : false;
    }

    bool cancelled() const { return cancelled_; }

  private:
    void trust(uint64_t rows, const StreamCursor& s) {
        if (tainted_ || s.damaged || s.cursor > s.end) {
            tainted_ = true;
            return;
        }
        const uint64_t stacked = passRows_ * layers_;
        passTrusted_ = passTrusted_ + rows < stacked ? passTrusted_ + rows : stacked;
    }

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
    // Trust (salvage only).
    bool watching_ = false;
    bool tainted_ = false;
    uint64_t passRows_ = 0;
    uint64_t passTrusted_ = 0;  // rows of the current pass in layer units
    uint32_t layers_ = 1;
    uint64_t passesEnded_ = 0;
    uint64_t fullPasses_ = 0;
    uint64_t lastTrusted_ = 0;
};

}  // namespace pqz
