// Mount point inserts (device-namespace paths skipped, others normalised) and
// file inserts through a private copy.
#include <gtest/gtest.h>

#include "CascadeSupport.h"

namespace divu::test {
namespace {

TEST(MountPath, NormalisesTrailingSeparatorsAndBlanks) {
  struct Case {
    std::string path;
    std::string expected;
  } cases[] = {
      {"/", "/"},
      {"/mnt/data/", "/mnt/data"},
      {"/mnt/data//", "/mnt/data/"},  // only the last separator goes
      {"D:\\data\\", "D:\\data"},
      {"\\", ""},
      {"/mnt/data   ", "/mnt/data"},
      {"   /mnt/data", "/mnt/data"},
      {"     ", ""},
      {" /mnt/a/ ", "/mnt/a/"},    // blanks go, the slash before them stays
      {"/mnt/a /", "/mnt/a "},     // the slash goes, the blank before it stays
      {"   /", "   "},             // blanks then one slash: the blanks stay
      {"/plain", "/plain"},
      {std::string(1023, 'p') + "/", std::string(1023, 'p')},
  };
  for (const Case& c : cases) {
    char path[1025];
    strcpy_s(path, sizeof path, c.path.c_str());
    EXPECT_TRUE(CSNRVolumeMountPointDB::CheckMountPathSyntax(path, sizeof path)) << "'" << c.path << "'";
    EXPECT_EQ(std::string(path), c.expected) << "'" << c.path << "'";
  }
  char empty[4] = "";
  EXPECT_FALSE(CSNRVolumeMountPointDB::CheckMountPathSyntax(empty, sizeof empty));
  EXPECT_FALSE(CSNRVolumeMountPointDB::CheckMountPathSyntax(nullptr, 10));
  char unterminated[4] = {'a', 'b', 'c', '/'};
  EXPECT_FALSE(CSNRVolumeMountPointDB::CheckMountPathSyntax(unterminated, sizeof unterminated));
  EXPECT_EQ(unterminated[3], '/');
}

class MountPoints : public StorageTest {
 protected:
  CSNRVolumeMountPointDB m_mounts;
};

TEST_P(MountPoints, DeviceNamespacePathsAreSkippedAndOthersStoredNormalised) {
  for (const char* path : {"\\\\?\\Volume{1234}\\", "C:\\mnt\\\\?\\x", "\\\\.\\PhysicalDrive0", "/a/\\\\.\\b "}) {
    YLMountPoint_t row;
    strcpy_s(row.Path, sizeof row.Path, path);
    traceStatements();
    EXPECT_TRUE(m_mounts.insert(row, nullptr)) << path;
    EXPECT_STREQ(row.Path, path);  // untouched
    EXPECT_EQ(row.id, 0);
    EXPECT_TRUE(m_statements.empty()) << path;
  }

  YLMountPoint_t row;
  row.DeviceNameId = 4;
  std::string longPath = std::string(1023, 'q') + "/";
  strcpy_s(row.Path, sizeof row.Path, longPath.c_str());
  ASSERT_TRUE(m_mounts.insert(row, nullptr));
  YLMountPoint_t stored;
  ASSERT_TRUE(m_mounts.getInfo(row.id, stored, nullptr));
  EXPECT_EQ(std::string(stored.Path), std::string(1023, 'q'));

  YLMountPoint_t failing;
  strcpy_s(failing.Path, sizeof failing.Path, "  /srv/x/");
  db::fault::inject(db::fault::Call::Insert, db::kIoError);
  EXPECT_FALSE(m_mounts.insert(failing, nullptr));
  EXPECT_STREQ(failing.Path, "/srv/x");  // normalised even though nothing was stored
  EXPECT_EQ(m_mounts.m_dbError.m_function, "CRepBaseDB::insertRow()");
}

TEST_P(MountPoints, FileInsertsNeverTouchTheCallersContent) {
  CYLFileDB files;
  std::string big(3 * 1024 * 1024, 'z');
  YLFile_t file;
  file.id = 555;
  file.Content = db::duplicateOwnedText(big.c_str());
  char* before = file.Content;

  db::fault::inject(db::fault::Call::Insert, db::kFull);
  EXPECT_FALSE(files.insert(file, nullptr));
  EXPECT_EQ(file.id, 555);  // unchanged on failure
  db::fault::clear();

  ASSERT_TRUE(files.insert(file, nullptr));
  EXPECT_NE(file.id, 555);
  EXPECT_EQ(file.Content, before);  // same pointer, same text
  EXPECT_EQ(std::string(file.Content), big);
  YLFile_t stored;
  ASSERT_TRUE(files.getInfo(file.id, stored, nullptr));
  EXPECT_EQ(strlen(stored.Content), big.size());

  YLFile_t none;
  ASSERT_TRUE(files.insert(none, nullptr));
  EXPECT_EQ(none.Content, nullptr);
  ASSERT_TRUE(files.getInfo(none.id, stored, nullptr));
  EXPECT_EQ(stored.Content, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Storages, MountPoints, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
