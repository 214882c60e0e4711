// Reading an item's metadata document from arbitrary bytes, against what the document says when pugixml
// reads it directly: the call never crashes or leaks, succeeds exactly when the document has the
// Metadata/Filesystem elements and every one of the four attributes it holds is a decimal integer of its
// width, and then yields those values; an absent attribute leaves its property as it was. A document that
// FormMetadata writes reads back into the same four values, and what the XML layer saves it loads again.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <boost/make_shared.hpp>
#include <pugixml.hpp>

#include "fsdb/DatabaseItem.h"
#include "platform/YaXDocument.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text, const std::string& detail) {
  std::fprintf(stderr, "%s\n  metadata (%zu bytes): [%s]\n  %s\n", what, text.size(), text.c_str(),
               detail.c_str());
  std::abort();
}

// [+-]?[0-9]+ within [minimum, maximum], nothing else.
bool ParseDecimal(const char* text, long long minimum, long long maximum, long long& value) {
  bool negative = false;
  if (*text == '+' || *text == '-')
    negative = *text++ == '-';
  if (*text == '\0')
    return false;
  // Accumulated as a negative number, whose range holds the magnitude of LLONG_MIN.
  long long magnitude = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9')
      return false;
    const int digit = *text - '0';
    if (magnitude < (std::numeric_limits<long long>::min() + digit) / 10)
      return false;
    magnitude = magnitude * 10 - digit;
  }
  if (!negative && magnitude == std::numeric_limits<long long>::min())
    return false;
  const long long parsed = negative ? magnitude : -magnitude;
  if (parsed < minimum || parsed > maximum)
    return false;
  value = parsed;
  return true;
}

pugi::xml_node FirstElement(const pugi::xml_node& parent, const char* name) {
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element && std::strcmp(child.name(), name) == 0)
      return child;
  return pugi::xml_node();
}

struct Values {
  long long attributes, links, sizeOnDisk, creationTime;
};

Values Read(const FSDB::CDatabaseItem& item) {
  return Values{item.GetAttributes(), item.GetLinks(), item.GetFileSizeOnDisk(), item.GetCreationTime()};
}

std::string Describe(const Values& v) {
  return std::to_string(v.attributes) + " " + std::to_string(v.links) + " " + std::to_string(v.sizeOnDisk) +
         " " + std::to_string(v.creationTime);
}

bool operator==(const Values& a, const Values& b) {
  return a.attributes == b.attributes && a.links == b.links && a.sizeOnDisk == b.sizeOnDisk &&
         a.creationTime == b.creationTime;
}

// What PopulateFromMetadata must do with `text`, starting from `before`: whether it succeeds and the values
// it leaves (the attributes read before a failing one stay set).
bool Expected(const std::string& text, const Values& before, Values& after) {
  after = before;
  if (text.empty())
    return false;
  pugi::xml_document document;
  if (!document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8))
    return false;
  const pugi::xml_node filesystem = FirstElement(FirstElement(document, "Metadata"), "Filesystem");
  if (!filesystem)
    return false;
  struct Field {
    const char* name;
    long long minimum, maximum;
    long long* value;
  } fields[] = {
      {"Attributes", std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), &after.attributes},
      {"Links", std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), &after.links},
      {"FileSizeOnDisk", std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max(),
       &after.sizeOnDisk},
      {"CreationTime", std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max(),
       &after.creationTime},
  };
  for (const Field& field : fields) {
    const pugi::xml_attribute attribute = filesystem.attribute(field.name);
    if (attribute && !ParseDecimal(attribute.value(), field.minimum, field.maximum, *field.value))
      return false;
  }
  return true;
}

void CheckPopulate(const std::string& text, const Values& before) {
  FSDB::CDatabaseItem item;
  item.SetAttributes(static_cast<int>(before.attributes));
  item.SetLinks(static_cast<int>(before.links));
  item.SetFileSizeOnDisk(before.sizeOnDisk);
  item.SetCreationTime(before.creationTime);
  item.SetMetadata(text);
  const CYaError error = item.PopulateFromMetadata();
  Values expected{};
  const bool succeeds = Expected(text, before, expected);
  if (error.IsError() == succeeds)
    Fail(succeeds ? "PopulateFromMetadata failed on a readable document"
                  : "PopulateFromMetadata accepted a bad one",
         text, error.AsString());
  if (!(Read(item) == expected))
    Fail("PopulateFromMetadata left other values", text,
         Describe(Read(item)) + " expected " + Describe(expected));
  if (text.empty() && !FXErrorUtil::IsWin32(error, 774))
    Fail("empty metadata must fail with 774", text, error.AsString());
  if (item.GetMetadata() != text)
    Fail("PopulateFromMetadata changed the Metadata string", text, item.GetMetadata());
}

void CheckRoundTrip(const Values& values) {
  FSDB::CDatabaseItem written;
  written.SetAttributes(static_cast<int>(values.attributes));
  written.SetLinks(static_cast<int>(values.links));
  written.SetFileSizeOnDisk(values.sizeOnDisk);
  written.SetCreationTime(values.creationTime);
  if (written.FormMetadata().IsError())
    Fail("FormMetadata failed", "", Describe(values));
  FSDB::CDatabaseItem read;
  read.SetMetadata(written.GetMetadata());
  const CYaError error = read.PopulateFromMetadata();
  if (error.IsError() || !(Read(read) == values))
    Fail("FormMetadata does not read back", written.GetMetadata(),
         Describe(Read(read)) + " " + error.AsString());
}

// A parsed document saves to text that loads again and saves to the same text.
void CheckSaveLoad(const std::string& text) {
  CYaXDocument document;
  if (document.LoadFromString(text).IsError())
    return;
  std::string saved;
  (void)document.SaveAsString(saved,
                              BYaXFormat::FORMAT_RAW | BYaXFormat::FORMAT_NO_DECLARATION);  // cannot fail
  CYaXDocument again;
  const CYaError error = again.LoadFromString(saved);
  if (error.IsError())
    Fail("a saved document does not load", saved, error.AsString());
  std::string resaved;
  (void)again.SaveAsString(resaved, BYaXFormat::FORMAT_RAW | BYaXFormat::FORMAT_NO_DECLARATION);
  if (resaved != saved)
    Fail("saving a reloaded document changes it", saved, resaved);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const Values values{input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(),
                      input.ConsumeIntegral<int64_t>(), input.ConsumeIntegral<int64_t>()};
  const std::string text = input.ConsumeRemainingBytesAsString();
  CheckPopulate(text, values);
  CheckRoundTrip(values);
  CheckSaveLoad(text);
  return 0;
}
