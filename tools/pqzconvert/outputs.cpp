#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

namespace pqzconvert {

namespace {

std::string folderOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

std::string stemOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".pqz") == 0)
        name.resize(name.size() - 4);
    return name;
}

// Creates dir and the folders above it that are missing.
bool makeFolders(const std::string& dir, std::string* reason) {
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            *reason = std::strerror(errno);
            if (part != dir) *reason += " (" + part + ")";
            return false;
        }
        if (at == std::string::npos) return true;
    }
}

bool checkFolder(const std::string& dir, bool create, std::string* reason) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || !create) {
            *reason = std::strerror(errno);
            return false;
        }
        if (!makeFolders(dir, reason)) return false;
    } else if (!S_ISDIR(st.st_mode)) {
        *reason = std::strerror(ENOTDIR);
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    return true;
}

std::string canonicalFolder(const std::string& dir) {
    char buf[PATH_MAX];
    return realpath(dir.c_str(), buf) ? std::string(buf) : dir;
}

}  // namespace

OutputPlan::OutputPlan(const std::string& outDir, const std::vector<std::string>& inputs,
                       const Reporter& report, bool quiet) {
    struct Folder {
        bool usable = false;
        std::string canonical, reason;
        int inputs = 0;
    };
    std::map<std::string, Folder> folders;
    for (const std::string& input : inputs) {
        const std::string dir = outDir.empty() ? folderOf(input) : outDir;
        auto found = folders.find(dir);
        if (found == folders.end()) {
            Folder f;
            // An input in a missing folder is reported as a missing input when it is read.
            f.usable = (outDir.empty() && access(dir.c_str(), F_OK) != 0) ||
                       checkFolder(dir, !outDir.empty(), &f.reason);
            if (f.usable) f.canonical = canonicalFolder(dir);
            found = folders.emplace(dir, f).first;
        }
        found->second.inputs++;
    }
    for (const auto& [dir, f] : folders)
        if (!f.usable)
            report("cannot write into " + dir + ": " + f.reason + "; " + std::to_string(f.inputs) +
                   (f.inputs == 1 ? " file" : " files") + " not converted");

    std::set<std::string> stems;
    for (const std::string& input : inputs) {
        const std::string dir = outDir.empty() ? folderOf(input) : outDir;
        const Folder& f = folders[dir];
        if (!f.usable) {
            bases_.emplace_back();
            continue;
        }
        const std::string stem = stemOf(input);
        std::string name = stem;
        for (int k = 2; stems.count(f.canonical + "/" + name); k++)
            name = stem + "-" + std::to_string(k);
        stems.insert(f.canonical + "/" + name);
        bases_.push_back(dir + "/" + name);
        if (name != stem && !quiet)
            report(input + ": written as " + bases_.back() +
                   ".* (an earlier input of this run has the same name)");
    }
}

FILE* OutputPlan::create(const std::string& path, bool keepExisting, std::string* error) {
    const size_t slash = path.rfind('/');
    const std::string key = canonicalFolder(folderOf(path)) + "/" + path.substr(slash + 1);
    std::lock_guard<std::mutex> guard(lock_);
    if (written_.count(key)) {
        *error = path + " was written earlier in this run; not replaced";
        return nullptr;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | (keepExisting ? O_EXCL : O_TRUNC), 0666);
    if (fd < 0) {
        *error = errno == EEXIST && keepExisting
                     ? path + " exists; left as it is (--no-overwrite)"
                     : "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    written_.insert(key);
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        close(fd);
        unlink(path.c_str());
    }
    return f;
}

bool finishOutput(FILE* f, const std::string& path, bool ok, std::string* error) {
    if (std::fflush(f) != 0 && ok) {
        *error = std::strerror(errno);
        ok = false;
    }
    if (std::fclose(f) != 0 && ok) {
        *error = std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        *error = "cannot write " + path + ": " + *error + " (the partial file is removed)";
        unlink(path.c_str());
    }
    return ok;
}

bool writeBytes(OutputPlan& plan, const std::string& path, const std::vector<uint8_t>& bytes,
                bool keepExisting, std::string* error) {
    FILE* f = plan.create(path, keepExisting, error);
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (!ok) *error = std::strerror(errno);
    return finishOutput(f, path, ok, error);
}

}  // namespace pqzconvert
