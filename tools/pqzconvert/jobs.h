// Conversion on several threads with the results in input order. Worker threads walk ahead
// through the inputs, list each file and prepare its blocks (decode an image and encode its
// output file, or read an extra block); the calling thread takes the listings and the prepared
// blocks in input order and writes them, so that files are written and messages printed exactly
// as when everything runs on one thread.
//
// Memory: at most `jobs` images are decoded at once, and at most 4 * jobs prepared blocks wait
// for the calling thread; a worker that would go further ahead waits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pqz_access.h"

namespace pqzconvert {

// A file as listed by listFile: readable, or the reason why not.
struct ListedFile {
    bool readable = false;
    std::string reason;
    Listing listing;
};

// One block made ready for writing.
struct PreparedBlock {
    bool read = false;   // the image was decoded or the extra block read
    std::string reason;  // why not
    Record record;       // extra block
    // Images: the size, the auxiliary header, and the output file's bytes, or why they could
    // not be made (the output is empty for an image without pixels).
    int width = 0;
    int height = 0;
    bool hasAux = false;
    Record aux;
    std::vector<uint8_t> output;
    std::string outputError;
};

// Which listed blocks the caller takes, and how a block is prepared (on a worker thread, with
// that worker's reader of the block's file).
using TakesBlock = std::function<bool(const Listing&, size_t block)>;
using PrepareBlock = std::function<void(ImageReader&, const BlockEntry&, PreparedBlock*)>;

class BlockPipeline {
  public:
    // Prepares the blocks of files[i] for every i with active[i], in order, on `jobs` threads.
    // jobs 1: no threads; everything is done on the calling thread when it is asked for.
    BlockPipeline(const std::vector<std::string>& files, const std::vector<bool>& active, int jobs,
                  TakesBlock takes, PrepareBlock prepare);
    ~BlockPipeline();
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    // The listing of active file `file`. Everything prepared for the files before it is
    // dropped: files are asked for in increasing order.
    const ListedFile& listing(size_t file);

    // Block `block` of file `file`, once prepared. Everything prepared before it is dropped:
    // blocks are asked for in input order. After a block that could not be read the workers
    // prepare nothing more of that file; a block asked for anyway is prepared on the spot.
    PreparedBlock take(size_t file, size_t block);

  private:
    struct Task;
    struct Slot {
        bool listed = false;
        bool stopped = false;  // a block could not be read: nothing behind it is prepared
        ListedFile file;
    };

    void work();
    bool generate();
    std::shared_ptr<Task> firstWaiting() const;
    void dropBefore(size_t file, size_t block);
    bool passed(size_t file, size_t block) const;
    void listSlot(size_t file);
    PreparedBlock prepareHere(size_t file, size_t block);

    const std::vector<std::string>& files_;
    const std::vector<bool> active_;
    const TakesBlock takes_;
    const PrepareBlock prepare_;
    const size_t window_;

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    std::deque<std::shared_ptr<Task>> tasks_;  // made and not yet taken or dropped, in order
    size_t nextFile_ = 0, nextBlock_ = 0;      // where the next task comes from
    bool stop_ = false;
    std::vector<std::thread> threads_;

    // The calling thread's own reader, for blocks prepared on the spot.
    std::unique_ptr<ImageReader> reader_;
    size_t readerFile_ = SIZE_MAX;
};

// The number of processors this process may run on (at least 1).
int processorCount();

}  // namespace pqzconvert
