#include "jobs.h"

#include <sched.h>

#include <utility>

namespace pqzconvert {

struct BlockPipeline::Task {
    Task(size_t f, size_t b) : file(f), block(b) {}
    const size_t file, block;
    bool started = false;
    bool done = false;
    bool skipped = false;  // not prepared: an earlier block of its file could not be read
    PreparedBlock result;
};

BlockPipeline::BlockPipeline(const std::vector<std::string>& files, const std::vector<bool>& active,
                             int jobs, TakesBlock takes, PrepareBlock prepare)
    : files_(files),
      active_(active),
      takes_(std::move(takes)),
      prepare_(std::move(prepare)),
      window_(4 * size_t(jobs)),
      slots_(files.size()) {
    if (jobs > 1)
        for (int i = 0; i < jobs; i++) threads_.emplace_back([this] { work(); });
}

BlockPipeline::~BlockPipeline() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void BlockPipeline::listSlot(size_t file) {
    Slot& s = slots_[file];
    s.file.readable = listFile(files_[file], &s.file.listing, &s.file.reason);
    s.listed = true;
    changed_.notify_all();  // the caller may wait for this listing, though it makes no task
}

// Makes the next task, listing files as it reaches them; false when every block has its task.
// Called with the lock held.
bool BlockPipeline::generate() {
    for (; nextFile_ < files_.size(); nextFile_++, nextBlock_ = 0) {
        if (!active_[nextFile_]) continue;
        Slot& s = slots_[nextFile_];
        if (!s.listed) listSlot(nextFile_);
        if (s.stopped || !s.file.readable) continue;
        const Listing& listing = s.file.listing;
        while (nextBlock_ < listing.blocks.size() && !takes_(listing, nextBlock_)) nextBlock_++;
        if (nextBlock_ < listing.blocks.size()) {
            tasks_.push_back(std::make_shared<Task>(nextFile_, nextBlock_++));
            return true;
        }
    }
    return false;
}

std::shared_ptr<BlockPipeline::Task> BlockPipeline::firstWaiting() const {
    for (const std::shared_ptr<Task>& t : tasks_)
        if (!t->started) return t;
    return nullptr;
}

void BlockPipeline::work() {
    std::unique_ptr<ImageReader> reader;  // one file object per worker, kept across its tasks
    size_t readerFile = SIZE_MAX;
    std::unique_lock<std::mutex> held(lock_);
    while (!stop_) {
        std::shared_ptr<Task> task = firstWaiting();
        if (!task) {
            const auto from = std::make_pair(nextFile_, nextBlock_);
            const bool made = tasks_.size() < window_ && generate();
            // Also when only files were passed: the caller may wait for a block behind them.
            if (made || std::make_pair(nextFile_, nextBlock_) != from) changed_.notify_all();
            if (!made) changed_.wait(held);
            continue;
        }
        task->started = true;
        const Slot& slot = slots_[task->file];
        task->skipped = slot.stopped;
        if (!task->skipped) {
            held.unlock();
            if (readerFile != task->file) {
                reader = std::make_unique<ImageReader>(files_[task->file]);
                readerFile = task->file;
            }
            prepare_(*reader, slot.file.listing.blocks[task->block], &task->result);
            held.lock();
            if (!task->result.read) slots_[task->file].stopped = true;
        }
        task->done = true;
        changed_.notify_all();
    }
}

void BlockPipeline::dropBefore(size_t file, size_t block) {
    while (!tasks_.empty() && std::make_pair(tasks_.front()->file, tasks_.front()->block) <
                                  std::make_pair(file, block))
        tasks_.pop_front();
    changed_.notify_all();
}

// Whether the tasks have gone past the block without making one for it.
bool BlockPipeline::passed(size_t file, size_t block) const {
    return std::make_pair(nextFile_, nextBlock_) > std::make_pair(file, block);
}

const ListedFile& BlockPipeline::listing(size_t file) {
    if (threads_.empty() || !active_[file]) {  // the workers list only active files
        if (!slots_[file].listed) listSlot(file);
        return slots_[file].file;
    }
    std::unique_lock<std::mutex> held(lock_);
    dropBefore(file, 0);
    changed_.wait(held, [&] { return slots_[file].listed; });
    return slots_[file].file;
}

PreparedBlock BlockPipeline::prepareHere(size_t file, size_t block) {
    if (readerFile_ != file) {
        reader_ = std::make_unique<ImageReader>(files_[file]);
        readerFile_ = file;
    }
    PreparedBlock p;
    prepare_(*reader_, slots_[file].file.listing.blocks[block], &p);
    return p;
}

PreparedBlock BlockPipeline::take(size_t file, size_t block) {
    if (threads_.empty()) return prepareHere(file, block);
    std::unique_lock<std::mutex> held(lock_);
    dropBefore(file, block);
    auto isFront = [&] {
        return !tasks_.empty() && tasks_.front()->file == file && tasks_.front()->block == block;
    };
    changed_.wait(held, [&] { return isFront() ? tasks_.front()->done : passed(file, block); });
    if (!isFront() || tasks_.front()->skipped) {
        if (isFront()) tasks_.pop_front();
        held.unlock();
        return prepareHere(file, block);
    }
    PreparedBlock p = std::move(tasks_.front()->result);
    tasks_.pop_front();
    changed_.notify_all();
    return p;
}

int processorCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    return 1;
}

}  // namespace pqzconvert
