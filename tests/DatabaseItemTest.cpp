#include <climits>
#include <functional>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "TestUtil.h"
#include "fsdb/DatabaseItem.h"

namespace FSDB {
namespace {

const int64_t kAbove32Bits = (int64_t{1} << 32) + 12345;  // 4294979641

CDatabaseItemPtr ItemWithMetadata(const std::string& metadata) {
  CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
  item->SetMetadata(metadata);
  return item;
}

// Sets the four metadata properties to values that no parse would produce by accident.
void SetMarkers(CDatabaseItem& item) {
  item.SetAttributes(-5);
  item.SetLinks(-6);
  item.SetFileSizeOnDisk(-7);
  item.SetCreationTime(-8);
}

void ExpectMarkers(const CDatabaseItem& item) {
  EXPECT_EQ(-5, item.GetAttributes());
  EXPECT_EQ(-6, item.GetLinks());
  EXPECT_EQ(-7, item.GetFileSizeOnDisk());
  EXPECT_EQ(-8, item.GetCreationTime());
}

TEST(DatabaseItemTest, NewItemIsEmptyAndDescribesItself) {
  CDatabaseItem item;
  // The description covers every other property.
  EXPECT_EQ(0, item.GetId());
  EXPECT_EQ(0, item.GetFileSizeOnDisk());
  EXPECT_EQ("", item.GetMetadata());
  EXPECT_EQ(
      "FileName [] Inode [0] Attributes [0] Links [0] FileSize [0] Access Time [0] Modification Time [0] "
      "ChangeTime [0] Create Time [0] FullyQualifiedPath [] IsDirectory [no] IsSelected [no] IsCollect[no]",
      item.AsString());
}

TEST(DatabaseItemTest, AsStringPutsEveryFieldInItsPlace) {
  CDatabaseItem item;
  item.SetId(99);                  // not shown
  item.SetFileSizeOnDisk(98);      // not shown
  item.SetMetadata("<ignored/>");  // not shown
  item.SetFileName("report.pdf");
  item.SetFileId(kAbove32Bits);
  item.SetAttributes(33188);
  item.SetLinks(2);
  item.SetFileSize(1001);
  item.SetAccessTime(1002);
  item.SetModificationTime(1003);
  item.SetChangeTime(1004);
  item.SetCreationTime(-1005);
  item.SetFullyQualifiedPath("/home/user/report.pdf");
  item.SetAsDirectory(true);
  item.SetAsCollect(true);
  EXPECT_EQ(
      "FileName [report.pdf] Inode [4294979641] Attributes [33188] Links [2] FileSize [1001] Access Time "
      "[1002] "
      "Modification Time [1003] ChangeTime [1004] Create Time [-1005] FullyQualifiedPath "
      "[/home/user/report.pdf] IsDirectory [yes] IsSelected [no] IsCollect[yes]",
      item.AsString());
}

TEST(ItemMetadataTest, RoundTripKeepsAllFourValuesIncludingWideOnes) {
  CDatabaseItem source;
  source.SetAttributes(7);
  source.SetLinks(2);
  source.SetFileSizeOnDisk(4096);
  source.SetCreationTime(kAbove32Bits);
  ASSERT_OK(source.FormMetadata());

  CDatabaseItemPtr copy = ItemWithMetadata(source.GetMetadata());
  ASSERT_OK(copy->PopulateFromMetadata());
  EXPECT_EQ(7, copy->GetAttributes());
  EXPECT_EQ(2, copy->GetLinks());
  EXPECT_EQ(4096, copy->GetFileSizeOnDisk());
  EXPECT_EQ(kAbove32Bits, copy->GetCreationTime());
  // Only the four metadata properties come from the document.
  EXPECT_EQ(0, copy->GetFileSize());
  EXPECT_EQ(0, copy->GetFileId());

  // The extremes of each width.
  source.SetAttributes(INT_MIN);
  source.SetLinks(INT_MAX);
  source.SetFileSizeOnDisk(INT64_MAX);
  source.SetCreationTime(INT64_MIN);
  ASSERT_OK(source.FormMetadata());
  copy = ItemWithMetadata(source.GetMetadata());
  ASSERT_OK(copy->PopulateFromMetadata());
  EXPECT_EQ(INT_MIN, copy->GetAttributes());
  EXPECT_EQ(INT_MAX, copy->GetLinks());
  EXPECT_EQ(INT64_MAX, copy->GetFileSizeOnDisk());
  EXPECT_EQ(INT64_MIN, copy->GetCreationTime());
}

TEST(ItemMetadataTest, FormedDocumentIsOneRawElementWithAttributesInOrder) {
  CDatabaseItem item;
  ASSERT_OK(item.FormMetadata());
  const std::string text = item.GetMetadata();
  EXPECT_EQ(std::string::npos, text.find("<?xml")) << text;
  EXPECT_EQ(std::string::npos, text.find('\n')) << text;
  EXPECT_EQ(0u, text.find("<Metadata><Filesystem ")) << text;
  const size_t attributes = text.find("Attributes=\"0\"");
  const size_t links = text.find("Links=\"0\"");
  const size_t onDisk = text.find("FileSizeOnDisk=\"0\"");
  const size_t creation = text.find("CreationTime=\"0\"");
  ASSERT_NE(std::string::npos, creation) << text;
  EXPECT_LT(attributes, links);
  EXPECT_LT(links, onDisk);
  EXPECT_LT(onDisk, creation);

  // A new item's document reads back as four zeros.
  CDatabaseItemPtr reader = ItemWithMetadata(text);
  SetMarkers(*reader);
  ASSERT_OK(reader->PopulateFromMetadata());
  EXPECT_EQ(0, reader->GetAttributes());
  EXPECT_EQ(0, reader->GetLinks());
  EXPECT_EQ(0, reader->GetFileSizeOnDisk());
  EXPECT_EQ(0, reader->GetCreationTime());
}

TEST(ItemMetadataTest, FormingReplacesWhateverTheStringHeld) {
  CDatabaseItem clean;
  clean.SetLinks(3);
  ASSERT_OK(clean.FormMetadata());
  const std::string expected = clean.GetMetadata();
  ASSERT_OK(clean.FormMetadata());
  EXPECT_EQ(expected, clean.GetMetadata());

  for (const std::string& previous :
       {std::string("not xml at all"),
        std::string("<Metadata><Filesystem Links=\"9\" Extra=\"1\"/><Other/></Metadata>")}) {
    CDatabaseItem item;
    item.SetLinks(3);
    item.SetMetadata(previous);
    ASSERT_OK(item.FormMetadata());
    EXPECT_EQ(expected, item.GetMetadata()) << previous;
  }
}

TEST(ItemMetadataTest, MissingAttributesLeaveTheirPropertiesAlone) {
  CDatabaseItemPtr item = ItemWithMetadata(
      "<Metadata><Filesystem Attributes=\"3\" FileSizeOnDisk=\"10\" CreationTime=\"11\"/></Metadata>");
  SetMarkers(*item);
  ASSERT_OK(item->PopulateFromMetadata());
  EXPECT_EQ(3, item->GetAttributes());
  EXPECT_EQ(-6, item->GetLinks());
  EXPECT_EQ(10, item->GetFileSizeOnDisk());
  EXPECT_EQ(11, item->GetCreationTime());

  item = ItemWithMetadata("<Metadata><Filesystem/></Metadata>");
  SetMarkers(*item);
  ASSERT_OK(item->PopulateFromMetadata());
  ExpectMarkers(*item);
}

TEST(ItemMetadataTest, EmptyOrUnreadableMetadataFailsAndChangesNothing) {
  CDatabaseItem empty;
  SetMarkers(empty);
  CYaError error = empty.PopulateFromMetadata();
  EXPECT_TRUE(FXErrorUtil::IsWin32(error, 774)) << error.AsString();
  EXPECT_EQ("Metadata is not set.", error.GetMessage());
  ExpectMarkers(empty);

  const std::string broken = "<Metadata><Filesystem Links=\"1\"";
  CDatabaseItemPtr item = ItemWithMetadata(broken);
  SetMarkers(*item);
  error = item->PopulateFromMetadata();
  ASSERT_TRUE(error.IsError());
  EXPECT_NE(std::string::npos, error.AsString().find("LoadFromString failed, Metadata=[" + broken + "]"))
      << error.AsString();
  ExpectMarkers(*item);
  EXPECT_EQ(broken, item->GetMetadata());
}

TEST(ItemMetadataTest, BadAttributeStopsTheReadButKeepsWhatWasReadBefore) {
  CDatabaseItemPtr item = ItemWithMetadata(
      "<Metadata><Filesystem Attributes=\"4\" Links=\"many\" FileSizeOnDisk=\"10\" "
      "CreationTime=\"11\"/></Metadata>");
  SetMarkers(*item);
  CYaError error = item->PopulateFromMetadata();
  ASSERT_TRUE(error.IsError());
  EXPECT_GE(error.GetLocationCount(), 2u) << error.AsString();  // the XML layer's and ours
  EXPECT_EQ(4, item->GetAttributes());
  EXPECT_EQ(-6, item->GetLinks());
  EXPECT_EQ(-7, item->GetFileSizeOnDisk());
  EXPECT_EQ(-8, item->GetCreationTime());
}

// ---------------------------------------------------------------------------------------------------
// CDatabaseItemIterator

class ItemIteratorTest : public ::testing::Test {
 protected:
  // A generator over `names` that keeps answering "none" once exhausted, as the engines' do.
  CDatabaseItemIterator::Generator Over(std::vector<std::string> names) {
    return [this, names] {
      ++calls_;
      if (next_ >= names.size())
        return CDatabaseItemPtr();
      CDatabaseItemPtr item = boost::make_shared<CDatabaseItem>();
      item->SetFileName(names[next_++]);
      return item;
    };
  }

  size_t next_ = 0;
  int calls_ = 0;
};

TEST_F(ItemIteratorTest, EmptyFirstItemIsAtTheEndFromTheStart) {
  CDatabaseItemIterator iterator(Over({"never"}), CDatabaseItemPtr());
  EXPECT_TRUE(iterator.Eof());
  EXPECT_FALSE(iterator.GetItem());
  EXPECT_EQ(0, calls_);
}

TEST_F(ItemIteratorTest, WalkYieldsTheFirstItemThenTheGeneratorsUntilEmpty) {
  CDatabaseItemPtr first = boost::make_shared<CDatabaseItem>();
  first->SetFileName("a");
  CDatabaseItemIterator iterator(Over({"b", "c"}), first);

  std::vector<std::string> walked;
  while (!iterator.Eof()) {
    CDatabaseItemPtr item = iterator.GetItem();
    walked.push_back(item->GetFileName());
    CDatabaseItemPtr next = iterator.NextItem();
    EXPECT_EQ(next, iterator.GetItem());
  }
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), walked);
  EXPECT_EQ(3, calls_);

  // Advancing at the end asks the generator again and stays at the end.
  EXPECT_FALSE(iterator.NextItem());
  EXPECT_TRUE(iterator.Eof());
  EXPECT_EQ(4, calls_);
}

TEST(ItemIteratorWithoutGeneratorTest, AdvancingThrowsBadFunctionCall) {
  CDatabaseItemIterator iterator(CDatabaseItemIterator::Generator(), boost::make_shared<CDatabaseItem>());
  EXPECT_FALSE(iterator.Eof());
  EXPECT_THROW(iterator.NextItem(), std::bad_function_call);
}

}  // namespace
}  // namespace FSDB
