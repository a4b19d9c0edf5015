// YLFile records own their unbounded Content: copies, assignment, lists and
// reads never share or leak a buffer (AddressSanitizer checks the rest).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "DivUdurezevudoZE/YLFileDB.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

YLFile_t makeFile(int volume, const char* name, const std::string& content) {
  YLFile_t file;
  file.VolumeId = volume;
  strcpy_s(file.Name, sizeof file.Name, name);
  file.Content = db::duplicateOwnedText(content.c_str());
  return file;
}

TEST(FileRecord, CopiesOwnTheirContentAndSelfAssignmentKeepsIt) {
  YLFile_t original = makeFile(1, "a", "hello");
  YLFile_t copy(original);
  ASSERT_NE(copy.Content, original.Content);
  EXPECT_STREQ(copy.Content, "hello");
  copy.Content[0] = 'J';
  EXPECT_STREQ(original.Content, "hello");

  YLFile_t& alias = original;
  original = alias;  // self-assignment
  EXPECT_STREQ(original.Content, "hello");

  YLFile_t empty;
  copy = empty;  // the old buffer is released, null copied
  EXPECT_EQ(copy.Content, nullptr);
  empty = original;
  EXPECT_STREQ(empty.Content, "hello");
  EXPECT_NE(empty.Content, original.Content);
}

// The safe setter replaces the owned buffer (AddressSanitizer sees a leak or
// a mismatched delete) and keeps the record's layout as the engine reads it.
TEST(FileRecord, SetContentCopiesAnyViewIntoAnOwnedBuffer) {
  static_assert(std::is_standard_layout_v<YLFile_t>);
  static_assert(offsetof(YLFile_t, Content) == offsetof(YLFile_t, Name) + sizeof(YLFile_t::Name) + 7 &&
                offsetof(YLFile_t, Flags) == offsetof(YLFile_t, Content) + sizeof(char*));
  const std::string source = "layout.json: {\"a\": 1}";
  struct Case {
    std::string_view text;
    const char* stored;
  } cases[] = {
      {"literal", "literal"},
      {std::string_view(source).substr(0, 11), "layout.json"},  // not NUL-terminated
      {"", ""},
  };
  YLFile_t file;
  for (const Case& c : cases) {
    const char* before = file.Content;
    file.setContent(c.text);
    ASSERT_NE(file.Content, nullptr);
    EXPECT_NE(file.Content, before);
    EXPECT_STREQ(file.Content, c.stored);
    YLFile_t copy(file);
    EXPECT_STREQ(copy.Content, c.stored);
  }
}

class FileStorage : public StorageTest {
 protected:
  CYLFileDB m_files;
};

TEST_P(FileStorage, ContentRoundTripsWholeAndStopsAtTheFirstNul) {
  std::string big(4 * 1024 * 1024 + 17, 'x');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('a' + (i / 4096) % 26);

  YLFile_t large = makeFile(1, "large", big);
  YLFile_t none = makeFile(2, "none", "");
  delete[] none.Content;
  none.Content = nullptr;
  YLFile_t withNul;
  withNul.Content = new char[8];
  memcpy(withNul.Content, "abc\0def", 8);
  for (YLFile_t* file : {&large, &none, &withNul}) ASSERT_TRUE(m_files.insert(*file, nullptr));

  YLFile_t read = makeFile(9, "owns a buffer already", "old");
  ASSERT_TRUE(m_files.getInfo(large.id, read, nullptr));
  EXPECT_EQ(strlen(read.Content), big.size());
  EXPECT_EQ(std::string(read.Content), big);
  ASSERT_TRUE(m_files.getInfo(none.id, read, nullptr));
  EXPECT_EQ(read.Content, nullptr);
  ASSERT_TRUE(m_files.getInfo(withNul.id, read, nullptr));
  EXPECT_STREQ(read.Content, "abc");

  // A content written by another program with a NUL inside is read up to it
  // (PostgreSQL texts cannot hold one).
  ASSERT_EQ(m_db->exec(backendText("INSERT INTO YLFile (id, Name, Content) VALUES (500, 'raw', CAST(X'6162006364' AS TEXT))",
                                   "INSERT INTO YLFile (id, Name, Content) VALUES (500, 'raw', 'ab')")),
            db::kOk);
  ASSERT_TRUE(m_files.getInfo(500, read, nullptr));
  EXPECT_STREQ(read.Content, "ab");

  YLFile_t* list = nullptr;
  unsigned int count = 0;
  ASSERT_TRUE(m_files.getList(list, count, nullptr, nullptr, nullptr));
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(strlen(list[0].Content), big.size());
  EXPECT_EQ(list[1].Content, nullptr);
  m_files.deleteList(list);  // releases every element's buffer
  EXPECT_EQ(list, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Storages, FileStorage, everyStorage(), storageName);

}  // namespace
}  // namespace divu::test
