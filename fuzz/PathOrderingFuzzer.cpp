// The path collations against a plain statement of their rule, and the properties an SQLite index needs
// of them: equal inputs compare 0, swapping the inputs flips the sign, the order is transitive, the
// case-blind order is the case-sensitive order of the folded strings, and a folder's subtree sits between
// the folder and any sibling whose name extends the folder's name.
//
// Every string lives in a heap block of exactly its length, so AddressSanitizer reports a read past it.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/PathOrdering.h"

namespace {

// A copy of `text` in a block of exactly its size (no terminating NUL to hide an over-read).
class ExactBuffer {
 public:
  explicit ExactBuffer(const std::string& text)
      : size_(static_cast<int>(text.size())), data_(std::make_unique<char[]>(text.size())) {
    std::copy(text.begin(), text.end(), data_.get());
  }
  const char* data() const { return data_.get(); }
  int size() const { return size_; }

 private:
  int size_;
  std::unique_ptr<char[]> data_;
};

[[noreturn]] void Disagree(const char* what, const std::string& a, const std::string& b, int got,
                           int expected) {
  std::fprintf(stderr, "%s: got %d, expected %d for\n  a (%zu bytes): ", what, got, expected, a.size());
  for (unsigned char c : a)
    std::fprintf(stderr, "%02x", c);
  std::fprintf(stderr, "\n  b (%zu bytes): ", b.size());
  for (unsigned char c : b)
    std::fprintf(stderr, "%02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

int Sign(int value) {
  return (value > 0) - (value < 0);
}

unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

std::string FoldAll(std::string text) {
  for (char& c : text)
    c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
  return text;
}

// The rule, stated on sort keys: the separator's key (-1) is below every byte's key (0 to 255). Within the
// first `n` bytes, at the first position whose keys differ the result is -1 or +1 when a separator is
// involved and the byte difference otherwise; a NUL shared by both ends the comparison with 0.
int ReferenceCompare(const std::string& a, const std::string& b, size_t n, bool ignoreCase) {
  auto keys = [&](const std::string& text) {
    std::vector<int> result;
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = ignoreCase ? Fold(static_cast<unsigned char>(text[i])) : text[i];
      result.push_back(c == '/' ? -1 : c);
    }
    return result;
  };
  const std::vector<int> ka = keys(a), kb = keys(b);
  const auto differ = std::mismatch(ka.begin(), ka.end(), kb.begin());
  const auto sharedNul = std::find(ka.begin(), differ.first, 0);
  if (sharedNul != differ.first || differ.first == ka.end())
    return 0;
  const int x = *differ.first, y = *differ.second;
  if (x == -1 || y == -1)
    return x < y ? -1 : 1;
  return x - y;
}

// The collation of whole values: the comparison of the common length, then the longer value last.
int ReferenceCollation(const std::string& a, const std::string& b, bool ignoreCase) {
  const int result = ReferenceCompare(a, b, std::min(a.size(), b.size()), ignoreCase);
  return result != 0 ? result : static_cast<int>(a.size()) - static_cast<int>(b.size());
}

int Collate(const std::string& a, const std::string& b, bool ignoreCase) {
  const ExactBuffer x(a), y(b);
  return ignoreCase ? sqlite_collation_bypath_nocase(nullptr, x.size(), x.data(), y.size(), y.data())
                    : sqlite_collation_bypath(nullptr, x.size(), x.data(), y.size(), y.data());
}

void CheckPair(const std::string& a, const std::string& b, size_t n) {
  for (bool ignoreCase : {false, true}) {
    const int collated = Collate(a, b, ignoreCase);
    const int expected = ReferenceCollation(a, b, ignoreCase);
    if (collated != expected)
      Disagree(ignoreCase ? "sqlite_collation_bypath_nocase" : "sqlite_collation_bypath", a, b, collated,
               expected);
    if (Sign(Collate(b, a, ignoreCase)) != -Sign(collated))
      Disagree("antisymmetry", a, b, Collate(b, a, ignoreCase), -collated);
    if (FSDB::ComparePaths(a, b, !ignoreCase) != collated)
      Disagree("ComparePaths", a, b, FSDB::ComparePaths(a, b, !ignoreCase), collated);
  }
  if (Collate(a, a, false) != 0 || Collate(a, a, true) != 0)
    Disagree("reflexivity", a, a, Collate(a, a, false), 0);
  if (Collate(a, b, true) != Collate(FoldAll(a), FoldAll(b), false))
    Disagree("case-blind order of folded strings", a, b, Collate(a, b, true),
             Collate(FoldAll(a), FoldAll(b), false));

  // The bounded comparisons on their own, for a count within both strings.
  const ExactBuffer x(a), y(b);
  const int sensitive = path_strcmp(x.data(), y.data(), static_cast<int>(n));
  if (sensitive != ReferenceCompare(a, b, n, false))
    Disagree("path_strcmp", a, b, sensitive, ReferenceCompare(a, b, n, false));
  const int blind = path_stricmp(x.data(), y.data(), static_cast<int>(n));
  if (blind != ReferenceCompare(a, b, n, true))
    Disagree("path_stricmp", a, b, blind, ReferenceCompare(a, b, n, true));
}

void CheckTransitive(const std::string& a, const std::string& b, const std::string& c) {
  for (bool ignoreCase : {false, true}) {
    const int ab = Collate(a, b, ignoreCase), bc = Collate(b, c, ignoreCase), ac = Collate(a, c, ignoreCase);
    if (ab <= 0 && bc <= 0 && ac > 0)
      Disagree("transitivity (a <= b <= c but a > c)", a, c, ac, 0);
    if (ab == 0 && Sign(bc) != Sign(ac))
      Disagree("a = b but a and b order differently against c", a, c, ac, bc);
  }
}

// A folder, a path beneath it and a sibling whose name extends the folder's: folder < beneath < sibling.
void CheckSubtreeStaysTogether(std::string folder, std::string rest, std::string extension) {
  for (std::string* text : {&folder, &rest, &extension})
    std::replace(text->begin(), text->end(), '\0', 'x');  // names never hold NUL
  if (folder.empty() || extension.empty() || extension[0] == '/')
    return;
  const std::string beneath = folder + "/" + rest;
  const std::string sibling = folder + extension;
  for (bool ignoreCase : {false, true}) {
    if (Collate(folder, beneath, ignoreCase) >= 0)
      Disagree("folder before its subtree", folder, beneath, Collate(folder, beneath, ignoreCase), -1);
    if (Collate(beneath, sibling, ignoreCase) >= 0)
      Disagree("subtree before the folder's extended sibling", beneath, sibling,
               Collate(beneath, sibling, ignoreCase), -1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string a = input.ConsumeRandomLengthString(512);
  const std::string b = input.ConsumeRandomLengthString(512);
  const std::string c = input.ConsumeRandomLengthString(512);
  const size_t n = input.ConsumeIntegralInRange<size_t>(0, std::min(a.size(), b.size()));
  CheckPair(a, b, n);
  CheckPair(a + b, a + c, a.size() + std::min(b.size(), c.size()));  // a long shared prefix
  CheckTransitive(a, b, c);
  CheckSubtreeStaysTogether(a, b, c);
  return 0;
}
