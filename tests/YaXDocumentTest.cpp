#include "platform/YaXDocument.h"

#include <climits>
#include <string>
#include <utility>

#include "TestUtil.h"

namespace {

// Parses `text` into `document` and returns its <Metadata><Filesystem> element (else a null node).
boost::shared_ptr<CYaXNode> LoadFilesystem(CYaXDocument& document, const std::string& text) {
  boost::shared_ptr<CYaXNode> root, node;
  EXPECT_OK(document.LoadFromString(text));
  EXPECT_OK(document.GetNode<CYaXNode>(root, "Metadata"));
  if (root)
    EXPECT_OK(root->GetNode<CYaXNode>(node, "Filesystem"));
  return node ? node : boost::make_shared<CYaXNode>();
}

TEST(YaXDocumentTest, WritesCompactlyAndReads64BitValuesBack) {
  CYaXDocument document;
  auto node = LoadFilesystem(document, "<Metadata>\n  <Filesystem Links=\"0\"/>\n</Metadata>");
  EXPECT_OK(node->SetAttributeLONGLONG("CreationTime", LLONG_MIN));
  EXPECT_OK(node->SetAttributeINT("Links", -2));  // replaces, keeps its place
  std::string text = "previous content";
  ASSERT_OK(document.SaveAsString(text, BYaXFormat::FORMAT_RAW | BYaXFormat::FORMAT_NO_DECLARATION));
  EXPECT_EQ("<Metadata><Filesystem Links=\"-2\" CreationTime=\"-9223372036854775808\"/></Metadata>", text);
  node = LoadFilesystem(document, text);
  long long wide = 0;
  EXPECT_OK(node->GetAttributeAsLONGLONG("CreationTime", wide));
  EXPECT_EQ(LLONG_MIN, wide);
}

TEST(YaXDocumentTest, MissingElementIsNotFoundAndUnparsableTextIsInvalid) {
  CYaXDocument document;
  auto node = LoadFilesystem(document, "<Metadata><Filesystem/></Metadata>");
  boost::shared_ptr<CYaXNode> child;
  EXPECT_WIN32(node->GetNode<CYaXNode>(child, "Filesystem"), 1168);
  for (const char* text : {"", "not xml", "<Metadata>", "<Metadata></Other>"}) {
    const CYaError error = document.LoadFromString(text);
    EXPECT_WIN32(error, 13);
    EXPECT_NE(std::string::npos, error.GetMessage().find("at offset")) << error.GetMessage();
  }
  EXPECT_WIN32(document.GetNode("Metadata"), 1168);  // a failed load leaves an empty document
}

// Missing: 1168; not a decimal integer of the width asked for: 13. Either way the value stays.
TEST(YaXDocumentTest, AttributeMustBeADecimalIntegerOfTheWidthAskedFor) {
  CYaXDocument document;
  auto node = LoadFilesystem(document,
                             "<Metadata><Filesystem a=\"12abc\" b=\"0x10\" c=\"\" d=\" 5\" e=\"1.5\" "
                             "f=\"2147483648\" g=\"9223372036854775808\" h=\"-\"/></Metadata>");
  int narrow = 42;
  long long wide = 42;
  EXPECT_WIN32(node->GetAttributeAsINT("z", narrow), 1168);
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
    SCOPED_TRACE(name);
    EXPECT_WIN32(node->GetAttributeAsINT(name, narrow), 13);
    if (*name != 'f')
      EXPECT_WIN32(node->GetAttributeAsLONGLONG(name, wide), 13);
  }
  EXPECT_EQ(std::make_pair(42, 42LL), std::make_pair(narrow, wide));
  EXPECT_OK(node->GetAttributeAsLONGLONG("f", wide));
  EXPECT_EQ(2147483648LL, wide);
}

}  // namespace
