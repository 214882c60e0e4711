// A small XML layer over pugixml: a document, element nodes and serialisation flags.
//
// Nodes are handles into their document: a node must not outlive the document it came from.
// Not thread-safe.

#ifndef FSDB_PLATFORM_YAXDOCUMENT_H_
#define FSDB_PLATFORM_YAXDOCUMENT_H_

#include <memory>
#include <string>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "fsdb/Error.h"

namespace pugi {
class xml_document;
struct xml_node_struct;
}  // namespace pugi

// Serialisation flags; their values are those of the underlying library.
class BYaXFormat {
 public:
  enum FORMAT_FLAGS : unsigned {
    FORMAT_DEFAULT = 0,
    FORMAT_INDENT = 1,
    FORMAT_WRITE_BOM = 2,
    FORMAT_RAW = 4,             // no indentation, no line breaks
    FORMAT_NO_DECLARATION = 8,  // no <?xml ...?> line
  };
  BYaXFormat(unsigned flags = FORMAT_DEFAULT) : flags_(flags) {}  // NOLINT: flags convert implicitly
  unsigned GetFlags() const { return flags_; }
  BYaXFormat operator|(const BYaXFormat& other) const { return BYaXFormat(flags_ | other.flags_); }

 private:
  unsigned flags_;
};

inline BYaXFormat operator|(BYaXFormat::FORMAT_FLAGS a, BYaXFormat::FORMAT_FLAGS b) {
  return BYaXFormat(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// What a document and its elements share: child elements appended and found by name. The handles it
// gives out are made by the one pair of templates below, whichever the parent is.
class CYaXParent {
 public:
  // Appends a child element `name`.
  CYaError AppendNode(const char* name);
  // Appends a child element `name` and points `node` at it.
  template <class T>
  CYaError AppendNode(boost::shared_ptr<T>& node, const std::string& name) {
    pugi::xml_node_struct* child = nullptr;
    const CYaError error = AppendChild(name.c_str(), child);
    return Handed(error, child, node);
  }
  // Whether there is a child element `name`: 1168 when there is none.
  CYaError GetNode(const char* name) const;
  // Points `node` at the first child element `name`; 1168 when there is none.
  template <class T>
  CYaError GetNode(boost::shared_ptr<T>& node, const std::string& name) const {
    pugi::xml_node_struct* child = nullptr;
    const CYaError error = FindChild(name.c_str(), child);
    return Handed(error, child, node);
  }

 protected:
  ~CYaXParent() = default;

  virtual CYaError AppendChild(const char* name, pugi::xml_node_struct*& child) = 0;
  virtual CYaError FindChild(const char* name, pugi::xml_node_struct*& child) const = 0;

 private:
  template <class T>
  static CYaError Handed(const CYaError& error, pugi::xml_node_struct* child, boost::shared_ptr<T>& node) {
    if (error.IsError())
      return error;
    node = boost::make_shared<T>(child);
    return CYaError::Success();
  }
};

// An element of a document.
class CYaXNode final : public CYaXParent {
 public:
  CYaXNode() : node_(nullptr) {}
  explicit CYaXNode(pugi::xml_node_struct* node) : node_(node) {}

  bool IsNull() const { return node_ == nullptr; }
  std::string GetName() const;

  CYaError SetAttributeINT(const char* name, int value);
  CYaError SetAttributeLONGLONG(const char* name, long long value);
  bool AttributeExists(const char* name) const;
  // 1168 when the attribute is missing; 13 when its text is not an integer of that width.
  CYaError GetAttributeAsINT(const char* name, int& value) const;
  CYaError GetAttributeAsLONGLONG(const char* name, long long& value) const;

 protected:
  CYaError AppendChild(const char* name, pugi::xml_node_struct*& child) override;
  CYaError FindChild(const char* name, pugi::xml_node_struct*& child) const override;

 private:
  pugi::xml_node_struct* node_;
};

// A document: its children are the top-level elements.
class CYaXDocument final : public CYaXParent {
 public:
  CYaXDocument();
  ~CYaXDocument();
  CYaXDocument(const CYaXDocument&) = delete;
  CYaXDocument& operator=(const CYaXDocument&) = delete;

  // Serialises the document into `text` (replacing its content).
  CYaError SaveAsString(std::string& text, BYaXFormat format) const;
  // Replaces the document with the parsed `text`; 13 with the parser's description when it is not XML.
  CYaError LoadFromString(const std::string& text);

 protected:
  CYaError AppendChild(const char* name, pugi::xml_node_struct*& child) override;
  CYaError FindChild(const char* name, pugi::xml_node_struct*& child) const override;

 private:
  std::unique_ptr<pugi::xml_document> document_;
};

#endif  // FSDB_PLATFORM_YAXDOCUMENT_H_
