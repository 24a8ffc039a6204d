// The salvaging conversion: one walk over the file with the library's salvage on. Bytes between
// the end of one readable block and the start of the next are the ranges the walk skipped.
#include "salvage.h"

#include <algorithm>

namespace pqzconvert {

namespace {

// Fewer bytes than a block tag behind the last block end a file without loss.
constexpr uint64_t kTagBytes = 4;

struct Salvager {
    SalvageReport& report;
    SalvageWalk& walk;
    const SalvageImageWriter& writeImage;
    const SalvageExtraWriter* writeExtra;
    uint64_t expected = 0;       // where the next block should start
    std::string pendingProblem;  // what the walk found unreadable since the last block

    // Records the bytes the walk passed over in front of a block or the end: the range the
    // library reports, else what lies between the last block and `to`.
    void skipTo(uint64_t to, const std::string& problem, const SalvageStep* step = nullptr) {
        const std::string why = problem.empty() ? "no valid block" : problem;
        if (step && step->skippedSize)
            report.skipped.push_back({step->skippedOffset, step->skippedSize, "", why});
        else if (to > expected)
            report.skipped.push_back({expected, to - expected, "", why});
        pendingProblem.clear();
    }

    void image(const SalvageStep& step) {
        const BlockEntry& b = step.entry;
        SalvagedImage out;
        out.number = b.imageNumber;
        out.offset = b.offset;
        out.width = b.width;
        out.height = b.height;
        StoredImage img;
        std::string reason;
        out.result = walk.decode(&img, &out.goodRows, &reason);
        out.cut = !step.problem.empty();
        if (out.result != Recovered::kWhole) out.problem = out.cut ? step.problem : reason;
        if (out.result != Recovered::kNothing) {
            const std::string mark = out.result == Recovered::kPartial ? ".partial" : "";
            report.writeFailed |= !writeImage(out.number, img, mark, &out.output);
        }
        report.images.push_back(out);
    }

    void extra(const SalvageStep& step) {
        const BlockEntry& b = step.entry;
        Record rec;
        std::string reason;
        if (!step.problem.empty() || !walk.readExtra(b, &rec, &reason)) {
            report.lostBlocks.push_back({b.offset, 0,
                                         "extra block " + std::to_string(b.extraNumber),
                                         step.problem.empty() ? reason : step.problem});
            return;
        }
        report.extraBlocks++;
        if (writeExtra) report.writeFailed |= !(*writeExtra)(b, rec);
    }

    void run() {
        for (int steps = 0;; steps++) {
            const SalvageStep step = walk.next();
            switch (step.kind) {
                case SalvageStep::kBlock:
                    skipTo(step.entry.offset, pendingProblem, &step);
                    expected = std::max(
                        expected, std::min(step.entry.offset + step.blockSize, report.fileSize));
                    if (step.entry.image)
                        image(step);
                    else
                        extra(step);
                    break;
                case SalvageStep::kUnreadable:
                    if (pendingProblem.empty()) pendingProblem = step.problem;
                    break;
                case SalvageStep::kEnd:
                    if (step.skippedSize || report.fileSize - expected >= kTagBytes ||
                        !pendingProblem.empty())
                        skipTo(report.fileSize, pendingProblem, &step);
                    return;
                case SalvageStep::kStop:
                    skipTo(report.fileSize, pendingProblem.empty() ? step.problem : pendingProblem);
                    return;
            }
            // Every step moves the walk forward; a file of n bytes has fewer than n blocks.
            if (uint64_t(steps) > report.fileSize) {
                skipTo(report.fileSize, "the walk made no progress");
                return;
            }
        }
    }
};

}  // namespace

int SalvageReport::count(Recovered r) const {
    return int(std::count_if(images.begin(), images.end(),
                             [r](const SalvagedImage& i) { return i.result == r; }));
}

uint64_t SalvageReport::bytesSkipped() const {
    uint64_t n = 0;
    for (const LostPart& r : skipped) n += r.size;
    return n;
}

bool SalvageReport::lostAnything() const {
    return !unreadable.empty() || !lostBlocks.empty() || !skipped.empty() ||
           count(Recovered::kWhole) != int(images.size());
}

SalvageReport salvageFile(const std::string& file, const SalvageImageWriter& writeImage,
                          const SalvageExtraWriter* writeExtra) {
    SalvageReport report;
    report.file = file;
    SalvageWalk walk(file);
    if (!walk.open(&report.fileSize, &report.unreadable)) {
        if (report.unreadable.empty()) report.unreadable = "cannot be read";
        return report;
    }
    Salvager{report, walk, writeImage, writeExtra, 0, {}}.run();
    return report;
}

}  // namespace pqzconvert
