// The salvage report: text for people, JSON for programs.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "salvage.h"

namespace pqzconvert {

namespace {

std::string count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string range(const LostPart& r) {
    return "bytes " + std::to_string(r.offset) + " to " + std::to_string(r.offset + r.size - 1) +
           " (" + count(r.size, "byte", "bytes") + ")";
}

std::string imageLine(const SalvagedImage& i) {
    std::string s = "image " + std::to_string(i.number) + " at offset " + std::to_string(i.offset);
    if (i.result == Recovered::kNothing) return s + ": lost: " + i.problem;
    s += ": partial, " + std::to_string(i.goodRows) + " of " + std::to_string(i.height) +
         (i.cut ? " rows good (" : " rows decoded before the damage was found (") + i.problem + ")";
    return s + (i.output.empty() ? ", not written" : ", written as " + i.output);
}

std::string summary(const SalvageReport& r) {
    std::string s = r.file + ": " + count(r.count(Recovered::kWhole), "image", "images") + " whole";
    if (r.count(Recovered::kPartial))
        s += ", " + std::to_string(r.count(Recovered::kPartial)) + " partial";
    if (r.count(Recovered::kNothing))
        s += ", " + std::to_string(r.count(Recovered::kNothing)) + " lost";
    if (r.extraBlocks) s += ", " + count(r.extraBlocks, "extra block", "extra blocks");
    if (!r.lostBlocks.empty())
        s += ", " + count(r.lostBlocks.size(), "extra block", "extra blocks") + " lost";
    if (!r.skipped.empty())
        s += "; " + count(r.bytesSkipped(), "byte", "bytes") + " skipped in " +
             count(r.skipped.size(), "range", "ranges");
    return s + (r.lostAnything() ? "" : "; nothing lost");
}

// JSON string: quotes, backslashes and control characters escaped.
std::string quote(const std::string& text) {
    std::string s = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += char(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            s += buf;
        } else {
            s += char(c);
        }
    }
    return s + "\"";
}

const char* resultName(Recovered r) {
    return r == Recovered::kWhole ? "whole" : r == Recovered::kPartial ? "partial" : "lost";
}

std::string jsonImage(const SalvagedImage& i) {
    std::string s = "{\"image\": " + std::to_string(i.number) +
                    ", \"offset\": " + std::to_string(i.offset) +
                    ", \"width\": " + std::to_string(i.width) +
                    ", \"height\": " + std::to_string(i.height) + ", \"result\": \"" +
                    resultName(i.result) + "\", \"good_rows\": " + std::to_string(i.goodRows) +
                    ", \"output\": " + (i.output.empty() ? "null" : quote(i.output));
    if (!i.problem.empty())
        s += std::string(", \"damage\": ") + (i.cut ? "\"cut\"" : "\"data\"") +
             ", \"problem\": " + quote(i.problem);
    return s + "}";
}

std::string jsonPart(const LostPart& p, bool isRange) {
    std::string s = "{\"offset\": " + std::to_string(p.offset);
    s += isRange ? ", \"size\": " + std::to_string(p.size) : ", \"block\": " + quote(p.what);
    return s + ", \"problem\": " + quote(p.problem) + "}";
}

template <typename T, typename F>
std::string jsonList(const std::vector<T>& items, F one) {
    std::string s = "[";
    for (size_t k = 0; k < items.size(); k++) s += (k ? ",\n      " : "\n      ") + one(items[k]);
    return s + (items.empty() ? "]" : "\n    ]");
}

std::string jsonReport(const SalvageReport& r) {
    std::string s = "  {\n    \"file\": " + quote(r.file) + ",\n";
    if (!r.unreadable.empty()) s += "    \"unreadable\": " + quote(r.unreadable) + ",\n";
    s += "    \"size\": " + std::to_string(r.fileSize) + ",\n";
    s += "    \"lost_anything\": " + std::string(r.lostAnything() ? "true" : "false") + ",\n";
    s += "    \"images_whole\": " + std::to_string(r.count(Recovered::kWhole)) + ",\n";
    s += "    \"images_partial\": " + std::to_string(r.count(Recovered::kPartial)) + ",\n";
    s += "    \"images_lost\": " + std::to_string(r.count(Recovered::kNothing)) + ",\n";
    s += "    \"extra_blocks\": " + std::to_string(r.extraBlocks) + ",\n";
    s += "    \"bytes_skipped\": " + std::to_string(r.bytesSkipped()) + ",\n";
    s += "    \"images\": " + jsonList(r.images, jsonImage) + ",\n";
    s += "    \"blocks_lost\": " +
         jsonList(r.lostBlocks, [](const LostPart& p) { return jsonPart(p, false); }) + ",\n";
    s += "    \"skipped\": " +
         jsonList(r.skipped, [](const LostPart& p) { return jsonPart(p, true); }) + "\n";
    return s + "  }";
}

}  // namespace

std::string salvageText(const SalvageReport& r) {
    if (!r.unreadable.empty()) return r.file + ": cannot be read: " + r.unreadable + "\n";
    std::vector<std::pair<uint64_t, std::string>> lines;
    for (const SalvagedImage& i : r.images)
        if (i.result != Recovered::kWhole) lines.emplace_back(i.offset, imageLine(i));
    for (const LostPart& b : r.lostBlocks)
        lines.emplace_back(
            b.offset, b.what + " at offset " + std::to_string(b.offset) + ": lost: " + b.problem);
    for (const LostPart& k : r.skipped)
        lines.emplace_back(k.offset, range(k) + " skipped: " + k.problem);
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string s = summary(r) + "\n";
    for (const auto& line : lines) s += "  " + line.second + "\n";
    return s;
}

std::string salvageJson(const std::vector<SalvageReport>& reports) {
    std::string s = "[";
    for (size_t k = 0; k < reports.size(); k++) s += (k ? ",\n" : "\n") + jsonReport(reports[k]);
    return s + (reports.empty() ? "]\n" : "\n]\n");
}

}  // namespace pqzconvert
