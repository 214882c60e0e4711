#include "platform/YaXDocument.h"

#include <climits>
#include <string>

#include "TestUtil.h"

namespace {

const BYaXFormat kCompact = BYaXFormat::FORMAT_RAW | BYaXFormat::FORMAT_NO_DECLARATION;

class YaXDocumentTest : public ::testing::Test {
 protected:
  // Parses `text` and returns its <Metadata><Filesystem> node in `node`.
  void LoadFilesystem(const std::string& text, boost::shared_ptr<CYaXNode>& node) {
    ASSERT_OK(document_.LoadFromString(text));
    boost::shared_ptr<CYaXNode> root;
    ASSERT_OK(document_.GetNode<CYaXNode>(root, "Metadata"));
    ASSERT_OK(root->GetNode<CYaXNode>(node, "Filesystem"));
  }

  CYaXDocument document_;
};

TEST_F(YaXDocumentTest, WritesTheMetadataDocumentCompactly) {
  boost::shared_ptr<CYaXNode> root;
  boost::shared_ptr<CYaXNode> filesystem;
  ASSERT_OK(document_.AppendNode<CYaXNode>(root, "Metadata"));
  ASSERT_OK(root->AppendNode<CYaXNode>(filesystem, "Filesystem"));
  EXPECT_EQ("Filesystem", filesystem->GetName());
  EXPECT_OK(filesystem->SetAttributeINT("Attributes", 7));
  EXPECT_OK(filesystem->SetAttributeINT("Links", 0));
  EXPECT_OK(filesystem->SetAttributeLONGLONG("FileSizeOnDisk", 4096));
  EXPECT_OK(filesystem->SetAttributeLONGLONG("CreationTime", 5000000000LL));
  EXPECT_OK(filesystem->SetAttributeINT("Links", 2));  // replaces, keeps its place

  std::string text = "previous content";
  ASSERT_OK(document_.SaveAsString(text, kCompact));
  EXPECT_EQ(
      "<Metadata><Filesystem Attributes=\"7\" Links=\"2\" FileSizeOnDisk=\"4096\" "
      "CreationTime=\"5000000000\"/>"
      "</Metadata>",
      text);
  ASSERT_OK(document_.SaveAsString(text, BYaXFormat::FORMAT_INDENT));
  EXPECT_EQ(0u, text.rfind("<?xml", 0)) << text;
  EXPECT_NE(std::string::npos, text.find("\n\t<Filesystem")) << text;
}

TEST_F(YaXDocumentTest, IntegersRoundTripExactly) {
  CYaXDocument source;
  boost::shared_ptr<CYaXNode> root;
  boost::shared_ptr<CYaXNode> node;
  ASSERT_OK(source.AppendNode<CYaXNode>(root, "Metadata"));
  ASSERT_OK(root->AppendNode<CYaXNode>(node, "Filesystem"));
  ASSERT_OK(node->SetAttributeINT("i1", INT_MIN));
  ASSERT_OK(node->SetAttributeINT("i2", -1));
  ASSERT_OK(node->SetAttributeLONGLONG("l1", (1LL << 40) + 3));
  ASSERT_OK(node->SetAttributeLONGLONG("l2", LLONG_MIN));
  ASSERT_OK(node->SetAttributeLONGLONG("l3", LLONG_MAX));
  std::string text;
  ASSERT_OK(source.SaveAsString(text, kCompact));

  boost::shared_ptr<CYaXNode> loaded;
  ASSERT_NO_FATAL_FAILURE(LoadFilesystem(text, loaded));
  int i = 0;
  long long l = 0;
  EXPECT_OK(loaded->GetAttributeAsINT("i1", i));
  EXPECT_EQ(INT_MIN, i);
  EXPECT_OK(loaded->GetAttributeAsINT("i2", i));
  EXPECT_EQ(-1, i);
  EXPECT_OK(loaded->GetAttributeAsLONGLONG("l1", l));
  EXPECT_EQ((1LL << 40) + 3, l);
  EXPECT_OK(loaded->GetAttributeAsLONGLONG("l2", l));
  EXPECT_EQ(LLONG_MIN, l);
  EXPECT_OK(loaded->GetAttributeAsLONGLONG("l3", l));
  EXPECT_EQ(LLONG_MAX, l);
  EXPECT_WIN32(loaded->GetAttributeAsINT("l1", i), 13);  // does not fit 32 bits
}

TEST_F(YaXDocumentTest, MissingElementsAndAttributesAreNotFound) {
  ASSERT_OK(document_.LoadFromString("<Metadata><Other Links=\"1\"/></Metadata>"));
  EXPECT_WIN32(document_.GetNode("Filesystem"), 1168);
  boost::shared_ptr<CYaXNode> root;
  ASSERT_OK(document_.GetNode<CYaXNode>(root, "Metadata"));
  boost::shared_ptr<CYaXNode> node;
  EXPECT_WIN32(root->GetNode<CYaXNode>(node, "Filesystem"), 1168);
  EXPECT_FALSE(node);
  ASSERT_OK(root->GetNode<CYaXNode>(node, "Other"));
  EXPECT_TRUE(node->AttributeExists("Links"));
  EXPECT_FALSE(node->AttributeExists("Attributes"));
  int value = 42;
  EXPECT_WIN32(node->GetAttributeAsINT("Attributes", value), 1168);
  EXPECT_EQ(42, value);

  CYaXNode none;
  EXPECT_WIN32(none.SetAttributeINT("Links", 1), 13);
  EXPECT_FALSE(none.AttributeExists("Links"));
}

TEST_F(YaXDocumentTest, UnparsableTextIsInvalidData) {
  for (const char* text : {"", "not xml", "<Metadata>", "<Metadata></Other>"}) {
    const CYaError error = document_.LoadFromString(text);
    EXPECT_WIN32(error, 13);
    EXPECT_NE(std::string::npos, error.GetMessage().find("at offset")) << error.GetMessage();
  }
  EXPECT_WIN32(document_.GetNode("Metadata"), 1168);  // a failed load leaves an empty document
}

TEST_F(YaXDocumentTest, AttributeThatIsNotAnIntegerOfItsWidthIsInvalidData) {
  boost::shared_ptr<CYaXNode> node;
  ASSERT_NO_FATAL_FAILURE(LoadFilesystem(
      "<Metadata><Filesystem a=\"12abc\" b=\"0x10\" c=\"\" d=\" 5\" e=\"1.5\" f=\"2147483648\" "
      "g=\"9223372036854775808\" h=\"-\"/></Metadata>",
      node));
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
    int value = 42;
    EXPECT_WIN32(node->GetAttributeAsINT(name, value), 13);
    EXPECT_EQ(42, value) << name;
  }
  long long wide = 0;
  EXPECT_OK(node->GetAttributeAsLONGLONG("f", wide));
  EXPECT_EQ(2147483648LL, wide);
  EXPECT_WIN32(node->GetAttributeAsLONGLONG("g", wide), 13);
  EXPECT_WIN32(node->GetAttributeAsLONGLONG("a", wide), 13);
}

}  // namespace
