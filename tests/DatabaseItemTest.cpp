#include <climits>
#include <string>
#include <tuple>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "fsdb/DatabaseItem.h"
#include "platform/YaXDocument.h"

namespace FSDB {
namespace {

// An item with `metadata` and `name`; its metadata properties default to values no parse gives by chance.
CDatabaseItemPtr Item(const std::string& metadata, const std::string& name = "", int attributes = -5,
                      int links = -6, int64_t sizeOnDisk = -7, int64_t creationTime = -8) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetMetadata(metadata);
  item->SetFileName(name);
  item->SetAttributes(attributes);
  item->SetLinks(links);
  item->SetFileSizeOnDisk(sizeOnDisk);
  item->SetCreationTime(creationTime);
  return item;
}

// The four properties that travel in the metadata document.
std::string Properties(const CDatabaseItem& item) {
  return std::to_string(item.GetAttributes()) + " " + std::to_string(item.GetLinks()) + " " +
         std::to_string(item.GetFileSizeOnDisk()) + " " + std::to_string(item.GetCreationTime());
}

TEST(DatabaseItemTest, NewItemIsEmptyAndAsStringPutsEveryFieldInItsPlace) {
  const CDatabaseItem fresh;
  EXPECT_EQ("0 0 ", std::to_string(fresh.GetId()) + " " + std::to_string(fresh.GetFileSizeOnDisk()) + " " +
                        fresh.GetMetadata());
  EXPECT_EQ(
      "FileName [] Inode [0] Attributes [0] Links [0] FileSize [0] Access Time [0] Modification Time [0] "
      "ChangeTime [0] Create Time [0] FullyQualifiedPath [] IsDirectory [no] IsSelected [no] IsCollect[no]",
      fresh.AsString());
  CDatabaseItemPtr item = Item("<ignored/>", "report.pdf", 33188, 2, 98, -1005);
  item->SetId(99);  // not shown, as are FileSizeOnDisk and Metadata
  item->SetFileId((int64_t{1} << 32) + 12345);
  item->SetFileSize(1001);
  item->SetAccessTime(1002);
  item->SetModificationTime(1003);
  item->SetChangeTime(1004);
  item->SetFullyQualifiedPath("/home/user/report.pdf");
  item->SetAsDirectory(true);
  item->SetAsCollect(true);
  EXPECT_EQ(
      "FileName [report.pdf] Inode [4294979641] Attributes [33188] Links [2] FileSize [1001] "
      "Access Time [1002] Modification Time [1003] ChangeTime [1004] Create Time [-1005] "
      "FullyQualifiedPath [/home/user/report.pdf] IsDirectory [yes] IsSelected [no] IsCollect[yes]",
      item->AsString());
}

TEST(ItemMetadataTest, RoundTripKeepsTheFourValuesAtTheirFullWidth) {
  CDatabaseItemPtr source = Item("", "", INT_MIN, INT_MAX, INT64_MAX, (int64_t{1} << 32) + 12345);
  ASSERT_OK(source->FormMetadata());
  CDatabaseItemPtr copy = Item(source->GetMetadata());
  ASSERT_OK(copy->PopulateFromMetadata());
  EXPECT_EQ(Properties(*source), Properties(*copy));
}

// The document is built from the four properties alone: whatever the string held before is replaced.
TEST(ItemMetadataTest, FormMetadataWritesOneRawElementWithTheFourAttributes) {
  const std::string formed =
      "<Metadata><Filesystem Attributes=\"0\" Links=\"3\" FileSizeOnDisk=\"0\" "
      "CreationTime=\"0\"/></Metadata>";
  for (const char* previous : {"", "not xml", "<Metadata><Filesystem Extra=\"1\"/><Other/></Metadata>"}) {
    CDatabaseItemPtr item = Item(previous, "", 0, 3, 0, 0);
    ASSERT_OK(item->FormMetadata());
    EXPECT_EQ(formed, item->GetMetadata()) << previous;
  }
}

// The text is the XML layer's own serialisation of the same element, also at the ends of each width.
TEST(ItemMetadataTest, FormedTextIsWhatTheXmlLayerWritesForTheSameValues) {
  const std::tuple<int, int, int64_t, int64_t> cases[] = {{0, 0, 0, 0},
                                                          {33188, 1, 4096, 1700000000123456789},
                                                          {INT_MIN, INT_MAX, INT64_MIN, INT64_MAX},
                                                          {-1, -1, -1, -1}};
  for (const auto& [attributes, links, sizeOnDisk, creation] : cases) {
    CYaXDocument document;
    boost::shared_ptr<CYaXNode> root, filesystem;
    ASSERT_OK(document.AppendNode<CYaXNode>(root, "Metadata"));
    ASSERT_OK(root->AppendNode<CYaXNode>(filesystem, "Filesystem"));
    ASSERT_OK(filesystem->SetAttributeINT("Attributes", attributes));
    ASSERT_OK(filesystem->SetAttributeINT("Links", links));
    ASSERT_OK(filesystem->SetAttributeLONGLONG("FileSizeOnDisk", sizeOnDisk));
    ASSERT_OK(filesystem->SetAttributeLONGLONG("CreationTime", creation));
    std::string expected;
    ASSERT_OK(document.SaveAsString(expected, BYaXFormat::FORMAT_RAW | BYaXFormat::FORMAT_NO_DECLARATION));
    CDatabaseItemPtr item = Item("", "", attributes, links, sizeOnDisk, creation);
    ASSERT_OK(item->FormMetadata());
    EXPECT_EQ(expected, item->GetMetadata());
  }
}

// A missing attribute leaves its property; a failure stops the read, and what was read before it stays.
// The cases: the metadata, the properties afterwards, and a part of the error ("" for none).
TEST(ItemMetadataTest, PopulateReadsWhatTheDocumentHolds) {
  EXPECT_WIN32(Item("")->PopulateFromMetadata(), 774);
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"", "-5 -6 -7 -8", "Metadata is not set."},
      {"<Metadata><Filesystem Attributes=\"3\" CreationTime=\"11\"/></Metadata>", "3 -6 -7 11", ""},
      {"<Metadata><Filesystem/></Metadata>", "-5 -6 -7 -8", ""},
      {"<Metadata>", "-5 -6 -7 -8", "LoadFromString failed, Metadata=[<Metadata>]"},
      {"<Metadata><Filesystem Attributes=\"4\" Links=\"x\" CreationTime=\"1\"/></Metadata>", "4 -6 -7 -8",
       "Links"}};
  for (const auto& [metadata, properties, failure] : cases) {
    CDatabaseItemPtr item = Item(metadata);
    const CYaError error = item->PopulateFromMetadata();
    EXPECT_EQ(*failure != '\0', error.IsError()) << metadata;
    EXPECT_NE(std::string::npos, error.AsString().find(failure)) << error.AsString();
    EXPECT_EQ(properties, Properties(*item)) << metadata;
  }
}

TEST(ItemIteratorTest, WalkYieldsTheFirstItemThenTheGeneratorsUntilEmpty) {
  int calls = 0;  // like the engines' generators, this one keeps answering "none" once exhausted
  auto generator = [&calls] { return ++calls <= 2 ? Item("", calls == 1 ? "b" : "c") : CDatabaseItemPtr(); };
  EXPECT_TRUE(CDatabaseItemIterator(generator, CDatabaseItemPtr()).Eof());
  CDatabaseItemIterator iterator(generator, Item("", "a"));
  std::string walked;
  for (; !iterator.Eof(); iterator.NextItem())
    walked += iterator.GetItem()->GetFileName();
  EXPECT_EQ("abc", walked);
  EXPECT_FALSE(iterator.NextItem());  // advancing at the end asks again and stays at the end
  EXPECT_EQ(4, calls);
}

}  // namespace
}  // namespace FSDB
