#include "BenchUtil.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0)
      out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string Rate(double count, double seconds, const char* unit) {
  if (seconds <= 0)
    return std::string("- ") + unit;
  return Grouped(static_cast<uint64_t>(count / seconds + 0.5)) + " " + unit;
}

std::string Seconds(double seconds) {
  char text[32];
  if (seconds >= 1) {
    std::snprintf(text, sizeof(text), "%.3f s", seconds);
  } else if (seconds >= 1e-3) {
    std::snprintf(text, sizeof(text), "%.3f ms", seconds * 1e3);
  } else {
    std::snprintf(text, sizeof(text), "%.2f us", seconds * 1e6);
  }
  return text;
}

const Timing& Runs::BestWall() const {
  return *std::min_element(runs_.begin(), runs_.end(),
                           [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
}

double Runs::BestCpu() const {
  return std::min_element(runs_.begin(), runs_.end(),
                          [](const Timing& a, const Timing& b) { return a.cpu < b.cpu; })
      ->cpu;
}

std::string Runs::List() const {
  std::string text;
  for (const Timing& run : runs_)
    text += Fixed(run.wall, 3) + "/" + Fixed(run.cpu, 3) + " ";
  return text + "s (wall/cpu)";
}

std::string Megabytes(uint64_t bytes) {
  return Fixed(static_cast<double>(bytes) / 1e6, 1) + " MB";
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

namespace {

// The number after `key` in a "key: value" file of /proc/self, or 0.
uint64_t ProcField(const char* file, const std::string& key) {
  std::ifstream lines(file);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size(), key) == 0) {
      std::istringstream fields(line.substr(key.size()));
      uint64_t value = 0;
      fields >> value;
      return value;
    }
  }
  return 0;
}

}  // namespace

uint64_t BytesWritten() {
  return ProcField("/proc/self/io", "wchar:");
}

uint64_t PeakResidentKb() {
  return ProcField("/proc/self/status", "VmHWM:");
}

void Summary::Add(const std::string& section, const std::string& figure, const std::string& value,
                  const std::string& target, const std::string& result) {
  rows_.push_back(SummaryRow{section, figure, value, target, result});
}

void Summary::AddJudged(const std::string& section, const std::string& figure, double value, int decimals,
                        const std::string& target, bool passed) {
  Add(section, figure, Fixed(value, decimals), target, passed ? "PASS" : "FAIL");
}

void Summary::Print() const {
  size_t widths[4] = {7, 6, 5, 6};
  for (const SummaryRow& row : rows_) {
    widths[0] = std::max(widths[0], row.section.size());
    widths[1] = std::max(widths[1], row.figure.size());
    widths[2] = std::max(widths[2], row.value.size());
    widths[3] = std::max(widths[3], row.target.size());
  }
  auto line = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d,
                  const std::string& e) {
    std::printf("  %-*s  %-*s  %*s  %-*s  %s\n", static_cast<int>(widths[0]), a.c_str(),
                static_cast<int>(widths[1]), b.c_str(), static_cast<int>(widths[2]), c.c_str(),
                static_cast<int>(widths[3]), d.c_str(), e.c_str());
  };
  line("section", "figure", "value", "target", "result");
  line(std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
       std::string(widths[3], '-'), "------");
  for (const SummaryRow& row : rows_)
    line(row.section, row.figure, row.value, row.target, row.result);
}

int Summary::FailureCount() const {
  int failures = 0;
  for (const SummaryRow& row : rows_) {
    if (row.result == "FAIL" || row.result == "ERROR")
      ++failures;
  }
  return failures;
}

}  // namespace bench
