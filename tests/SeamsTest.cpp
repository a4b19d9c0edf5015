// Where a caller's text meets the clauses the engine adds after it, and where
// a stored value meets a fixed-size field of a record.
#include <gtest/gtest.h>

#include <functional>

#include "Db/DBtable.h"
#include "Db/Engine/SqlLiterals.h"
#include "Db/Tbl/YLDevice.h"
#include "DivUdurezevudoZE/AllFacades.h"
#include "TestSupport.h"

namespace divu::test {
namespace {

using db::SqlDialect;

// On PostgreSQL the literal scanner reads strings and comments as the server
// does, and its markers are typed 64-bit.
TEST(LiteralParameters, ReadPostgresTextsAsTheServerDoes) {
  struct Case {
    const char* text;
    const char* expected;  // null: nothing taken out
    std::vector<long long> values;
  } cases[] = {
      {"Name = E'it\\'s 272 o\\'clock'", nullptr, {}},
      {"objName = E'\\'5\\''", nullptr, {}},
      {"/* clientId = 3 /* old */ AND Flags = 1 */ clientId = 7", "/* clientId = 3 /* old */ AND Flags = 1 */ clientId = ?::int4", {7}},
      {"clientId < 3000000000 AND id = -42", "clientId < ?::int8 AND id = ?::int4", {3000000000LL, -42}},
      {"a = $$ 5 $$ AND b = 6", "a = $$ 5 $$ AND b = ?::int4", {6}},
      {"a = 20*-2147483648 AND b!=-2147483648", "a = ?::int4*?::int4 AND b!=-?::int8",
       {20, -2147483648LL, 2147483648LL}},
  };
  for (const Case& c : cases) {
    std::string out;
    std::vector<long long> values;
    bool taken = db::engine::parameteriseLiterals(c.text, out, values, SqlDialect::Postgres);
    EXPECT_EQ(taken, c.expected != nullptr) << c.text;
    if (c.expected) {
      EXPECT_EQ(out, c.expected) << c.text;
    }
    EXPECT_EQ(values, c.values) << c.text;
  }
}

class Seams : public DatabaseTest, public testing::WithParamInterface<Storage> {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    openDatabase(GetParam());
  }
};

// A trailing comment or an OR in a caller's text never reaches past it.
TEST_P(Seams, CallerTextsChangeAndReturnOnlyTheRowsTheyName) {
  CSNRVolumeDB volumes;
  for (int i = 0; i < 3; ++i) {
    YLPhysicalVolume_t row;
    ASSERT_TRUE(volumes.insert(row, nullptr)) << volumes.m_dbError.m_errorText;
  }
  const char* texts[] = {"Flags = 9 --", "Flags = 9 /* x */ --", "Flags = 9\n-- x"};
  for (const char* set : texts) {
    ASSERT_TRUE(volumes.Update(1, "Flags = 0", nullptr));
    ASSERT_TRUE(volumes.Update(1, set, nullptr)) << set << ": " << volumes.m_dbError.m_errorText;
    unsigned changed = 0;
    ASSERT_TRUE(volumes.getNRows("Flags = 9", changed, nullptr));
    EXPECT_EQ(changed, 1u) << set;
  }
  EXPECT_FALSE(volumes.Update(2, "Flags = 8 /*", nullptr));
  EXPECT_EQ(volumes.m_dbError.m_errorCode, db::kError);
  EXPECT_NE(volumes.m_dbError.m_errorText.find("comment open"), std::string::npos) << volumes.m_dbError.m_errorText;
  unsigned eights = 0;
  ASSERT_TRUE(volumes.getNRows("Flags = 8", eights, nullptr));
  EXPECT_EQ(eights, 0u);

  // The order of a list survives a WHERE that ends in a comment.
  YLPhysicalVolume_t* list = nullptr;
  unsigned count = 0;
  ASSERT_TRUE(volumes.getList(list, count, "id > 0 --", "id DESC", nullptr)) << volumes.m_dbError.m_errorText;
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(list[0].id, 3);
  volumes.deleteList(list);

  // The history facade's live-row rule holds whatever the caller's text says.
  CYLJobVolumeHistoryDB history;
  for (int job : {6, 7}) {
    YLJobVolumeHistory_t row;
    row.JobId = job;
    ASSERT_TRUE(history.insert(row, nullptr));
  }
  ASSERT_TRUE(history.remove(1, nullptr));
  for (const char* where : {"JobId = 7 OR JobId = 6", "JobId = 7 OR JobId = 6 --", "(JobId = 6) OR (JobId = 7)"}) {
    unsigned live = 0;
    ASSERT_TRUE(history.getNRows(where, live, nullptr)) << where << ": " << history.m_dbError.m_errorText;
    EXPECT_EQ(live, 1u) << where;
  }
  for (const char* where : {"JobId = 7) OR (1=1", "JobId = 7 /*"}) {
    unsigned live = 0;
    EXPECT_FALSE(history.getNRows(where, live, nullptr)) << where;
    EXPECT_EQ(history.m_dbError.m_errorCode, db::kError) << where;
    YLJobVolumeHistory_t* marked = nullptr;
    EXPECT_FALSE(history.getList(marked, count, where, nullptr, nullptr)) << where;
    EXPECT_EQ(marked, nullptr);
  }
}

// A stored integer wider than its 32-bit field fails the read with its own
// code, naming the table, the column and the row; a stored text longer than
// its field is cut before a character, terminated, and its neighbour is
// read whole. Both through a binding, with no facade copy in between.
TEST_P(Seams, ValuesThatDoNotFitTheirFieldAreRefusedOrCutWhole) {
  // Tables of schema revision 0 take such values from other writers.
  dropLimits(YLApplicationDirs_def::table);
  dropLimits(YLDevice_def::table);
  std::string error;
  std::string accented = "a";
  for (int i = 0; i < 1100; ++i) accented += "\xc3\xa9";  // 'é': cut at 2048 bytes it would split one
  ASSERT_EQ(m_db->exec(("INSERT INTO YLApplicationDirs (subclientId, clientId, pathType, objName, path, "
                        "creationTime, modifyTime, ReplicationVolumeId, Flags) VALUES (0, 0, 0, '" +
                        accented + "', '/neighbour', 0, 0, 0, 0)")
                           .c_str(),
                       &error),
            db::kOk)
      << error;
  for (bool cursor : {false, true}) {
    YLApplicationDirs binding(nullptr);
    binding.setWhere("id = 1");
    int code = cursor ? binding.openCursor() : getOneRow(&binding, false, -1, 0);
    if (cursor && code == db::kOk) code = binding.fetchCursor(true);
    ASSERT_EQ(code, db::kOk) << binding.getErrorStr(code);
    const YLApplicationDirs_t& row = *binding.getDataPtr();
    size_t length = strnlen(row.objName, sizeof row.objName);
    EXPECT_EQ(length, 2047u) << "cursor " << cursor;
    EXPECT_EQ(std::string(row.objName, length), accented.substr(0, 2047));
    EXPECT_STREQ(row.path, "/neighbour");
    EXPECT_EQ(row.creationTime, 0);
  }

  if (onPostgres()) return;  // its integer columns refuse such values
  CYLApplianceDB devices;
  for (int i = 0; i < 2; ++i) {
    YLDevice_t device;
    ASSERT_TRUE(devices.insert(device, nullptr)) << devices.m_dbError.m_errorText;
  }
  ASSERT_EQ(m_db->exec("INSERT INTO YLDevice (id) VALUES (4294967297)", &error), db::kOk) << error;
  YLDevice_t* list = nullptr;
  unsigned count = 0;
  EXPECT_FALSE(devices.getList(list, count, nullptr, nullptr, nullptr));
  EXPECT_EQ(devices.m_dbError.m_errorCode, db::kValueRange);
  for (const char* part : {"YLDevice.id", "4294967297", "id = 4294967297"})
    EXPECT_NE(devices.m_dbError.m_errorText.find(part), std::string::npos) << devices.m_dbError.m_errorText;
  YLDevice_t one;
  ASSERT_TRUE(devices.getInfo(1, one, nullptr)) << devices.m_dbError.m_errorText;
  EXPECT_EQ(one.id, 1);
  ASSERT_TRUE(devices.remove(2, nullptr));
  unsigned left = 0;
  ASSERT_TRUE(devices.getNRows("id IN (1, 4294967297)", left, nullptr));
  EXPECT_EQ(left, 2u);

  // A value that does not fit after ones that did: the caller's record is
  // left whole, the fields read before it included, 64-bit ones too.
  dropLimits(YLPhysicalVolume_def::table);
  ASSERT_EQ(m_db->exec("INSERT INTO YLDevice (id, Name, Flags) VALUES (3, 'third', 4294967298)", &error), db::kOk)
      << error;
  ASSERT_EQ(m_db->exec("INSERT INTO YLPhysicalVolume (id, LUN, StartLBA, BlockCount, BlockSize) "
                       "VALUES (3, 5, 6000000000, 7000000000, 4294967298)",
                       &error),
            db::kOk)
      << error;
  YLDevice_t device;
  device.id = 77;
  strcpy(device.Name, "before");
  device.Flags = 9;
  YLPhysicalVolume_t volume;
  volume.id = 77;
  volume.LUN = 8;
  volume.StartLBA = 11;
  volume.BlockCount = 12;
  volume.BlockSize = 13;
  CSNRVolumeDB volumes;
  struct Case {
    const char* field;  // as the error names it
    std::function<bool()> read;
    std::function<void()> unchanged;
    CReplicationDBError& error;
  } cases[] = {
      {"YLDevice.Flags", [&] { return devices.getInfo(3, device, nullptr); },
       [&] {
         EXPECT_EQ(device.id, 77);
         EXPECT_STREQ(device.Name, "before");
         EXPECT_EQ(device.Flags, 9);
       },
       devices.m_dbError},
      {"YLPhysicalVolume.BlockSize", [&] { return volumes.getInfo(3, volume, nullptr); },
       [&] {
         EXPECT_EQ(volume.id, 77);
         EXPECT_EQ(volume.LUN, 8);
         EXPECT_EQ(volume.StartLBA, 11);
         EXPECT_EQ(volume.BlockCount, 12);
         EXPECT_EQ(volume.BlockSize, 13);
       },
       volumes.m_dbError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_FALSE(c.read());
    EXPECT_EQ(c.error.m_errorCode, db::kValueRange);
    EXPECT_NE(c.error.m_errorText.find(std::string(c.field) + " holds 4294967298"), std::string::npos)
        << c.error.m_errorText;
    c.unchanged();
  }
}

INSTANTIATE_TEST_SUITE_P(Storages, Seams, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
