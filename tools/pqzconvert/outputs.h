// Where the converter writes: the output folders, checked (and made) before anything is decoded,
// one name stem per input that no other input of the run shares, and output files that never
// replace a file written earlier in the same run.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace pqzconvert {

class OutputPlan {
  public:
    using Reporter = std::function<void(const std::string&)>;

    // Plans the outputs of the inputs, in order. outDir empty: each input's own folder. Checks
    // every output folder once, creating outDir (and its parents) when missing; a folder that
    // cannot be used is reported once with the system's reason, and its inputs get no stem.
    // Inputs whose name another input already uses in the same folder get a numbered stem
    // (NAME-2, NAME-3, ...), which is reported unless quiet.
    OutputPlan(const std::string& outDir, const std::vector<std::string>& inputs,
               const Reporter& report, bool quiet);

    // Folder and stem of input i, e.g. "out/photo"; empty when its folder cannot be used.
    const std::string& base(size_t i) const { return bases_[i]; }
    bool usable(size_t i) const { return !bases_[i].empty(); }

    // Opens path for writing. Refuses a path written earlier in this run, and, when
    // keepExisting, a file that already exists (it is left as it is).
    FILE* create(const std::string& path, bool keepExisting, std::string* error);

  private:
    std::vector<std::string> bases_;
    std::mutex lock_;
    std::set<std::string> written_;
};

// Closes a file opened by OutputPlan::create; when the writing failed (ok false) or the close
// fails, removes the partial file. Returns whether the file is complete; *error says why not.
bool finishOutput(FILE* f, const std::string& path, bool ok, std::string* error);

// Writes a record's bytes to a new output file.
bool writeBytes(OutputPlan& plan, const std::string& path, const std::vector<uint8_t>& bytes,
                bool keepExisting, std::string* error);

}  // namespace pqzconvert
