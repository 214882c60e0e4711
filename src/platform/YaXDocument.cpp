#include "platform/YaXDocument.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <pugixml.hpp>

#include "platform/ErrorCodes.h"

namespace {

using FX::kErrorInvalidData;  // a null node, or text that is not what was asked for
using FX::kErrorNotFound;
using FX::kErrorOutOfMemory;

// The first child element called `name`. Only elements count: declarations and processing
// instructions have names too when a document is parsed with them.
pugi::xml_node FindElement(const pugi::xml_node& parent, const char* name) {
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && std::strcmp(child.name(), name) == 0)
      return child;
  }
  return pugi::xml_node();
}

CYaError AppendElement(pugi::xml_node parent, const char* name, pugi::xml_node_struct*& child) {
  if (!parent)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorInvalidData, "no node to append %s to", name);
  pugi::xml_node element = parent.append_child(pugi::node_element);
  // pugixml fails here only when it cannot allocate.
  if (!element)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorOutOfMemory);
  if (!element.set_name(name)) {
    (void)parent.remove_child(element);  // an unnamed element would spoil the document
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorOutOfMemory);
  }
  child = element.internal_object();
  return CYaError::Success();
}

CYaError FindElement(const pugi::xml_node& parent, const char* name, pugi::xml_node_struct*& child) {
  if (!parent)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorInvalidData, "no node to look for %s in", name);
  pugi::xml_node element = FindElement(parent, name);
  if (!element)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorNotFound, "element %s not found", name);
  child = element.internal_object();
  return CYaError::Success();
}

template <class T>
CYaError SetAttribute(pugi::xml_node node, const char* name, T value) {
  if (!node)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorInvalidData, "no node to set %s on", name);
  pugi::xml_attribute attribute = node.attribute(name);
  if (!attribute)
    attribute = node.append_attribute(name);
  if (!attribute || !attribute.set_value(value))
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorOutOfMemory);
  return CYaError::Success();
}

// Reads a decimal integer in [minimum, maximum]. pugixml's as_int/as_llong accept trailing garbage,
// hexadecimal and overflow silently; a damaged document must be reported instead of read as a number.
CYaError GetIntegerAttribute(const pugi::xml_node& node, const char* name, long long minimum,
                             long long maximum, long long& value) {
  if (!node)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorInvalidData, "no node to read %s from", name);
  const pugi::xml_attribute attribute = node.attribute(name);
  if (!attribute)
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorNotFound, "attribute %s not found", name);
  const char* text = attribute.value();
  // strtoll would skip leading blanks; the writer never produces them.
  const bool startsWell =
      std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+';
  char* end = nullptr;
  errno = 0;
  const long long parsed = startsWell ? std::strtoll(text, &end, 10) : 0;
  if (!startsWell || end == text || *end != '\0' || errno == ERANGE || parsed < minimum || parsed > maximum) {
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorInvalidData,
                                   "attribute %s=\"%s\" is not an integer in [%lld, %lld]", name, text,
                                   minimum, maximum);
  }
  value = parsed;
  return CYaError::Success();
}

// Collects the serialised text; pugixml hands it over in chunks.
class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& text) : text_(text) {}
  void write(const void* data, size_t size) override { text_.append(static_cast<const char*>(data), size); }

 private:
  std::string& text_;
};

}  // namespace

// --- CYaXParent ------------------------------------------------------------------------------------

CYaError CYaXParent::AppendNode(const char* name) {
  pugi::xml_node_struct* child = nullptr;
  return AppendChild(name, child);
}

CYaError CYaXParent::GetNode(const char* name) const {
  pugi::xml_node_struct* child = nullptr;
  return FindChild(name, child);
}

// --- CYaXNode --------------------------------------------------------------------------------------

std::string CYaXNode::GetName() const {
  return pugi::xml_node(node_).name();
}

CYaError CYaXNode::AppendChild(const char* name, pugi::xml_node_struct*& child) {
  return AppendElement(pugi::xml_node(node_), name, child);
}

CYaError CYaXNode::FindChild(const char* name, pugi::xml_node_struct*& child) const {
  return FindElement(pugi::xml_node(node_), name, child);
}

CYaError CYaXNode::SetAttributeINT(const char* name, int value) {
  return SetAttribute(pugi::xml_node(node_), name, value);
}

CYaError CYaXNode::SetAttributeLONGLONG(const char* name, long long value) {
  return SetAttribute(pugi::xml_node(node_), name, value);
}

bool CYaXNode::AttributeExists(const char* name) const {
  return !pugi::xml_node(node_).attribute(name).empty();
}

CYaError CYaXNode::GetAttributeAsINT(const char* name, int& value) const {
  long long parsed = 0;
  CYaError error = GetIntegerAttribute(pugi::xml_node(node_), name, INT_MIN, INT_MAX, parsed);
  if (error.IsError())
    return error;
  value = static_cast<int>(parsed);
  return CYaError::Success();
}

CYaError CYaXNode::GetAttributeAsLONGLONG(const char* name, long long& value) const {
  return GetIntegerAttribute(pugi::xml_node(node_), name, LLONG_MIN, LLONG_MAX, value);
}

// --- CYaXDocument ----------------------------------------------------------------------------------

CYaXDocument::CYaXDocument() : document_(std::make_unique<pugi::xml_document>()) {}

CYaXDocument::~CYaXDocument() = default;

CYaError CYaXDocument::AppendChild(const char* name, pugi::xml_node_struct*& child) {
  return AppendElement(*document_, name, child);
}

CYaError CYaXDocument::FindChild(const char* name, pugi::xml_node_struct*& child) const {
  return FindElement(*document_, name, child);
}

CYaError CYaXDocument::SaveAsString(std::string& text, BYaXFormat format) const {
  text.clear();
  StringWriter writer(text);
  document_->save(writer, "\t", format.GetFlags(), pugi::encoding_utf8);
  return CYaError::Success();
}

CYaError CYaXDocument::LoadFromString(const std::string& text) {
  const pugi::xml_parse_result result =
      document_->load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    // pugixml keeps what it parsed before the error; half a document must not be read as a whole one.
    document_->reset();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, kErrorInvalidData, "%s at offset %lld", result.description(),
                                   static_cast<long long>(result.offset));
  }
  return CYaError::Success();
}
