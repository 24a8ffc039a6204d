// Decoding speed, compressed size and peak heap of PQZ2's coding methods on the sample photos,
// measured side by side with libpng and CharLS decoding the same photos. Besides Google
// Benchmark's own output it prints a summary with the best repetition of every case and the
// speed ratios to the peers.
//
//   pqz2_bench [--bench_show_runs] [Google Benchmark flags]
//
// Defaults: 3 repetitions of at least 0.1 s each (--benchmark_repetitions, _min_time override).
// The summary is made from the single repetitions: the flags that report only aggregates leave
// it empty.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_cases.h"
#include "bench/heap_peak.h"
#include "bench/pqz_inputs.h"
#include "tests/encoder/test_images.h"

using namespace pqz::bench;
using pqz::enc::Picture;

namespace {

struct Photo {
    const char* name;
    Picture picture;
};

const char* const kPhotoNames[] = {"camera",    "moon",   "coins", "page",
                                   "astronaut", "coffee", "logo"};

TempFolder* gFolder = nullptr;
bool gFailed = false;  // a case could not be prepared or decoded: the program exits with 1

void runCase(benchmark::State& state, Case* c) {
    if (!c->prepared) prepareCase(*c, gFolder->path());
    if (!c->error.empty()) {
        gFailed = true;
        state.SkipWithError(c->error.c_str());
        return;
    }
    for (auto _ : state) {
        if (!decodeCase(*c)) {
            gFailed = true;
            state.SkipWithError("decode failed");
            break;
        }
    }
    using benchmark::Counter;
    state.counters["MB/s"] =
        Counter(double(c->decodedBytes()) / 1e6, Counter::kIsIterationInvariantRate);
    state.counters["bpp"] = c->bitsPerPixel();
    state.counters["peak_KiB"] = double(c->peakHeap) / 1024.0;
}

// Console output as Google Benchmark's, but with several repetitions only their aggregates
// (unless every run is asked for); every run is kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    explicit SummaryReporter(bool showRuns)
        : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular),
          showRuns_(showRuns) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred && r.iterations > 0) {
                const double seconds = r.cpu_accumulated_time / double(r.iterations);
                double& best = bestSeconds_[r.run_name.function_name];
                if (best == 0 || seconds < best) best = seconds;
            }
            if (showRuns_ || r.run_type == Run::RT_Aggregate || r.repetitions <= 1 ||
                r.error_occurred)
                shown.push_back(r);
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    // Seconds of CPU time per decode in the best repetition; 0 when the case did not run.
    double bestSeconds(const std::string& name) const {
        auto it = bestSeconds_.find(name);
        return it == bestSeconds_.end() ? 0 : it->second;
    }

  private:
    bool showRuns_;
    std::map<std::string, double> bestSeconds_;
};

void printSummary(const std::vector<std::unique_ptr<Case>>& cases, const SummaryReporter& rep,
                  const std::vector<std::string>& notes) {
    std::printf(
        "\nSummary: best repetition (CPU time) per case. MB/s: 10^6 bytes of decoded"
        " pixels\n(1, 3 or 4 bytes per pixel) per second. bpp: compressed bits per"
        " pixel. peak KiB:\nhighest heap in use during one decode above the level before"
        " it%s.\nvs PNG / vs JPEG-LS: MB/s of the row over MB/s of libpng / CharLS on"
        " the same photo.\n\n",
        heapCounting() ? "" : " (not counted in this build)");
    std::printf("%-10s %-8s %9s %7s %9s %10s %10s\n", "photo", "codec", "MB/s", "bpp", "peak KiB",
                "vs PNG", "vs JPEG-LS");
    std::map<std::string, std::map<std::string, double>> speed;  // photo, codec
    for (const auto& c : cases) {
        const double s = rep.bestSeconds(c->name());
        if (s > 0) speed[c->photo][c->codec] = double(c->decodedBytes()) / 1e6 / s;
    }
    // Per codec over all photos: geometric means of the speed ratios.
    std::map<std::string, std::pair<double, int>> logRatioPng, logRatioJls;
    std::vector<std::string> codecOrder;
    std::string lastPhoto;
    for (const auto& c : cases) {
        auto ps = speed.find(c->photo);
        if (ps == speed.end() || !ps->second.count(c->codec)) continue;
        if (std::find(codecOrder.begin(), codecOrder.end(), c->codec) == codecOrder.end())
            codecOrder.push_back(c->codec);
        if (!lastPhoto.empty() && lastPhoto != c->photo) std::printf("\n");
        lastPhoto = c->photo;
        const double mbs = ps->second[c->codec];
        std::printf("%-10s %-8s %9.1f %7.3f %9.0f", c->photo.c_str(), c->codec.c_str(), mbs,
                    c->bitsPerPixel(), double(c->peakHeap) / 1024.0);
        auto ratio = [&](const char* peer, std::map<std::string, std::pair<double, int>>& logs) {
            auto it = ps->second.find(peer);
            if (it == ps->second.end()) {
                std::printf(" %10s", "-");
                return;
            }
            const double r = mbs / it->second;
            std::printf(" %10.3f", r);
            logs[c->codec].first += std::log(r);
            logs[c->codec].second++;
        };
        if (c->peer == Peer::kNone) {
            ratio("png", logRatioPng);
            ratio("jpegls", logRatioJls);
        }
        std::printf("\n");
    }
    if (!logRatioPng.empty() || !logRatioJls.empty()) {
        std::printf("\nGeometric mean of the ratios over the photos that ran:\n");
        std::printf("%-10s %-8s %10s %10s\n", "", "codec", "vs PNG", "vs JPEG-LS");
        for (const std::string& codec : codecOrder) {
            auto mean = [](const std::pair<double, int>& v) {
                return v.second ? std::exp(v.first / v.second) : 0.0;
            };
            if (!logRatioPng.count(codec) && !logRatioJls.count(codec)) continue;
            std::printf("%-10s %-8s %10.3f %10.3f\n", "all", codec.c_str(),
                        mean(logRatioPng[codec]), mean(logRatioJls[codec]));
        }
    }
    for (const std::string& note : notes) std::printf("%s\n", note.c_str());
    for (const auto& c : cases)
        if (!c->error.empty()) std::printf("failed: %s: %s\n", c->name().c_str(), c->error.c_str());
}

bool hasFlag(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; i++)
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    bool showRuns = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; i++) {
        if (std::strcmp(argv[i], "--bench_show_runs") == 0)
            showRuns = true;
        else
            args.push_back(argv[i]);
    }
    std::string repetitions = "--benchmark_repetitions=3", minTime = "--benchmark_min_time=0.1";
    if (!hasFlag(argc, argv, "--benchmark_repetitions")) args.push_back(repetitions.data());
    if (!hasFlag(argc, argv, "--benchmark_min_time")) args.push_back(minTime.data());
    int count = int(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    TempFolder folder;
    if (folder.path().empty()) {
        std::fprintf(stderr, "pqz2_bench: cannot make a temporary folder\n");
        return 1;
    }
    gFolder = &folder;

    std::vector<Photo> photos;
    for (const char* name : kPhotoNames)
        photos.push_back({name, pqz::enc::loadImage(std::string(name) + ".png")});
    // An icon-sized piece of the alpha photo: the per-image set-up of each method shows here.
    Picture icon = pqz::enc::crop(photos.back().picture, 96, 96, 32, 32);  // from "logo"
    photos.push_back({"icon", std::move(icon)});

    // Which methods this build can run: a small piece of a grey, a colour and an alpha photo
    // coded and decoded once. Methods whose decoder or encoder is missing are left out.
    std::vector<Picture> probes;
    for (int channels : {1, 3, 4})
        for (const Photo& photo : photos)
            if (photo.picture.channels == channels) {
                probes.push_back(pqz::enc::crop(photo.picture, 100, 100, 24, 16));
                break;
            }
    std::vector<std::string> notes;
    std::map<std::string, bool> runs;  // method name and channel count
    for (const PqzMethod& m : pqzMethods()) {
        std::vector<std::string> refusals;  // per probe; empty where the method runs
        for (const Picture& probe : probes) {
            Case c;
            c.photo = "probe";
            c.codec = m.name;
            c.picture = &probe;
            c.method = &m;
            std::string why;
            if (!m.encode)
                why = "its test encoder is not in this build";
            else if (!prepareCase(c, folder.path()))
                why = c.error;
            runs[std::string(m.name) + char('0' + probe.channels)] = why.empty();
            refusals.push_back(why);
        }
        const std::string head = "skipped: " + std::string(m.name) + " (" + m.label + ")";
        if (std::count(refusals.begin(), refusals.end(), refusals[0]) == long(refusals.size())) {
            if (!refusals[0].empty()) notes.push_back(head + ": " + refusals[0]);
            continue;
        }
        for (size_t k = 0; k < refusals.size(); k++)
            if (!refusals[k].empty())
                notes.push_back(head + " on " + std::to_string(probes[k].channels) +
                                "-channel photos: " + refusals[k]);
    }

    std::vector<std::unique_ptr<Case>> cases;
    for (const Photo& photo : photos) {
        auto add = [&](const std::string& codec, const PqzMethod* m, Peer peer, bool api = false) {
            auto c = std::make_unique<Case>();
            c->photo = photo.name;
            c->codec = codec;
            c->picture = &photo.picture;
            c->method = m;
            c->peer = peer;
            c->api = api;
            const bool small = int64_t(photo.picture.width) * photo.picture.height < 65536;
            benchmark::RegisterBenchmark(c->name().c_str(), runCase, c.get())
                ->Unit(small ? benchmark::kMicrosecond : benchmark::kMillisecond);
            cases.push_back(std::move(c));
        };
        for (const PqzMethod& m : pqzMethods())
            if (runs[std::string(m.name) + char('0' + photo.picture.channels)]) {
                add(m.name, &m, Peer::kNone);
                add(std::string(m.name) + "-api", &m, Peer::kNone, true);  // same file, new API
            }
        add("png", nullptr, Peer::kPng);
        add("jpegls", nullptr, Peer::kJpegLs);
    }
    for (const std::string& note : notes) std::fprintf(stderr, "%s\n", note.c_str());

    SummaryReporter reporter(showRuns);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::fflush(stdout);
    printSummary(cases, reporter, notes);
    benchmark::Shutdown();
    return gFailed ? 1 : 0;
}
