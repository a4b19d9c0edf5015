// Column objects and row descriptors: their states, class-wide data filled
// once per class, failures during construction, and the newer access path.
#include <gtest/gtest.h>

#include <barrier>
#include <future>
#include <thread>

#include "AllTables.h"
#include "CascadeSupport.h"
#include "Db/RowDescriptor.h"

// A format wider than the 100-byte buffer (defined apart, so the compiler
// does not warn about the cut the test is for).
extern const char kWideIntFormat[];

namespace divu::test {
namespace {

TEST(ColumnObjects, StartNullAndActOnlyOnAChangeOfNullState) {
  ZRDBInt integer;
  ZRDBInt64 wide;
  ZRDB_string text;
  const struct {
    ZRDBDataTypeBase* object;
    int type;
  } cases[] = {{&integer, 1}, {&wide, 4}, {&text, 6}};
  for (const auto& c : cases) {
    EXPECT_TRUE(c.object->m_isNull);
    EXPECT_EQ(c.object->m_updated, ZRDB_NOT_UPDATED);
    EXPECT_EQ(c.object->getStr(), "");
    EXPECT_EQ(c.object->getDataType(), c.type);
    EXPECT_EQ(c.object->toString(0), "NULL");
  }

  text.m_value = "kept";
  text.setInternalNull(true);  // no change: clearMemoryOnNULL is not called
  EXPECT_EQ(text.m_value, "kept");
  text.m_strCurrent = true;
  text.setInternalNull(false);
  EXPECT_FALSE(text.m_isNull);
  EXPECT_FALSE(text.m_strCurrent);
  EXPECT_EQ(text.m_value, "kept");
  EXPECT_EQ(text.getStr(), "");  // the text form, not the value
  text.setString();
  EXPECT_EQ(text.getStr(), "kept");
  text.setInternalNull(true);  // a string empties its value
  EXPECT_EQ(text.m_value, "");

  int seven = 7;
  EXPECT_TRUE(integer.setData(reinterpret_cast<const char*>(&seven), 0, 4, true));
  EXPECT_TRUE(integer.m_isNull);  // storing a value does not make it non-NULL
  EXPECT_EQ(integer.m_value, 7);
  integer.setInternalNull(false);
  integer.setInternalNull(true);
  EXPECT_EQ(integer.m_value, 7);  // a primitive keeps its value
  integer.setString();
  EXPECT_EQ(integer.getStr(), "7");
}

TEST(ColumnObjects, SetDataWritesOnlyWithinTheValue) {
  ZRDBInt64 wide;
  long long start = 0x1111111122222222LL;
  ASSERT_TRUE(wide.setData(reinterpret_cast<const char*>(&start), 0, 8, true));
  uint32_t upper = 0xAAAAAAAAu;
  ASSERT_TRUE(wide.setData(reinterpret_cast<const char*>(&upper), 4, 4, true));
  EXPECT_EQ(static_cast<unsigned long long>(wide.m_value), 0xAAAAAAAA22222222ULL);  // upper addresses only

  struct Guarded {
    ZRDBInt value;
    char after[8];
  } guarded;
  memset(guarded.after, '#', sizeof guarded.after);
  long long big = -1;
  EXPECT_FALSE(guarded.value.setData(reinterpret_cast<const char*>(&big), 0, 8, true));
  EXPECT_FALSE(guarded.value.setData(reinterpret_cast<const char*>(&big), 2, 4, true));
  EXPECT_FALSE(guarded.value.setData(nullptr, 0, 4, true));
  EXPECT_FALSE(guarded.value.setData(reinterpret_cast<const char*>(&big), -1, 2, true));
  EXPECT_EQ(guarded.value.m_value, 0);
  EXPECT_EQ(std::string(guarded.after, 8), std::string(8, '#'));

  ZRDBPrimitiveType<int, &kWideIntFormat, 1> padded;
  padded.m_value = 42;
  padded.setString();
  EXPECT_EQ(padded.getStr().size(), 99u);  // cut to what the buffer holds
  EXPECT_EQ(padded.getStr(), std::string(99, '0'));
}

template <class Binding>
class Descriptors : public testing::Test {};
TYPED_TEST_SUITE(Descriptors, AllBindings);

TYPED_TEST(Descriptors, DescribeTheirTableFromItsDefinition) {
  using Descriptor = typename TypeParam::DescriptorType;
  const db::TableDef& def = TypeParam::Definition::table;
  Descriptor row;
  ZRDBRowBase& base = row;
  EXPECT_TRUE(row.m_isDescriptor);
  EXPECT_TRUE(Descriptor::s_isInitialized.load());
  EXPECT_EQ(base.getTableName(), def.name);
  EXPECT_EQ(base.getHeaderType(), 1);
  std::string source = db::makeTableTexts(def).structDef;
  EXPECT_EQ(base.getStructDef(), row.fillForTime(source.c_str()));
  EXPECT_EQ(base.getStructDef().find('x'), std::string::npos);
  EXPECT_EQ(base.getSerialColNum(), *def.serialColumn ? 0 : -1);

  std::vector<ZRDBDataTypeBase*> columns = base.getData();
  ASSERT_EQ(columns.size(), def.columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    const db::ColumnDef& column = def.columns[i];
    int expected = column.type == db::ColumnType::Int32 ? 1 : column.type == db::ColumnType::Int64 || column.type == db::ColumnType::Time64 ? 4 : 6;
    EXPECT_EQ(columns[i]->getDataType(), expected) << column.name;
    EXPECT_TRUE(columns[i]->m_isNull) << column.name;
    EXPECT_EQ(base.getColumnName(static_cast<int>(i)), column.name);
  }
  int past = static_cast<int>(columns.size());
  EXPECT_EQ(base.getColumnName_t2(past), nullptr);
  EXPECT_EQ(base.getColumnName(past), "");
  EXPECT_EQ(base.getColumnName(-1), "");

  std::string where;
  for (size_t i = 0; i < def.primaryKey.size(); ++i) where += std::string(i ? "AND " : "") + def.primaryKey[i] + " = ?";
  EXPECT_EQ(base.getPrimaryWhere(), where);
  std::vector<ZRDBDataTypeBase*> keys = base.getPrimaryData();
  ASSERT_EQ(keys.size(), def.primaryKey.size());
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i], row.m_columnMap.at(def.primaryKey[i]));

  Descriptor other;  // assignment copies nothing
  ZRDBRowBase& otherBase = other;
  otherBase = base;
  EXPECT_NE(other.m_columnVec[0], row.m_columnVec[0]);
}

TEST(Descriptors, KeysAndForeignKeyMapsOfTheCompositeTables) {
  JMJobDataLink_t2 link;
  EXPECT_EQ(link.getPrimaryWhere(), "zorbCellId = ?AND parentJobId = ?AND childJobId = ?");
  std::vector<ZRDBDataTypeBase*> keys = link.getPrimaryData();
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0], link.m_columnVec[0]);
  EXPECT_EQ(keys[1], link.m_columnVec[1]);
  EXPECT_EQ(keys[2], link.m_columnVec[2]);
  EXPECT_EQ(JMBkpStats_t2().getPrimaryWhere(), "jobId = ?AND zorbCellId = ?");

  using ForeignKeys = std::map<std::string, std::map<std::string, std::string>>;
  EXPECT_EQ(YLVolume_t2().getForeignKeyMap(),
            (ForeignKeys{{"YLPhysicalVolume", {{"SnapVolumeId", "id"}}},
                         {"YLPolicy", {{"ReplicationPolicyId", "id"}}},
                         {"YLScratchVolume", {{"RVScratchVolumeId", "id"}}}}));
  EXPECT_EQ(YLPhysicalDevice_t2().getForeignKeyMap(),
            (ForeignKeys{{"APP_Client", {{"FilerClientId", "id"}}}, {"YLPhysicalVolume", {{"SNRVolumeId", "id"}}}}));
  EXPECT_EQ(JMJobDataLink_t2().getForeignKeyMap(),
            (ForeignKeys{{"APP_ZorbCell", {{"zorbCellId", "id"}}},
                         {"JMJobStats", {{"childJobId", "jobId"}, {"zorbCellId", "zorbCellId"}}}}));
  EXPECT_TRUE(YLFLRApplication_t2().getForeignKeyMap().empty());
  EXPECT_EQ(YLApplicationDirs_t2().getForeignKeyMap().size(), 3u);
}

// A table of the tests' own, so that its class-wide data starts empty here.
template <int K>
struct ProbeTable {
  struct Record {
    int id;
    long long when;
    char name[17];
  };
  struct Def {
    using Record = ProbeTable::Record;
    static constexpr db::ColumnDef columns[] = {ZR_COLUMN(id), ZR_TIME_COLUMN(when), ZR_COLUMN(name)};
    static constexpr const char* primaryKey[] = {"id"};
    static constexpr db::ForeignKeyDef foreignKeys[] = {{"Other", {{"id", "ref"}}}, {"Other", {{"when", "at"}}}};
    static constexpr db::TableDef table{.name = "Probe", .version = "1", .keyColumn = "id", .keyValueIsId = true,
                                        .defaultOrder = "id", .headerPath = "Probe", .logLine = 1,
                                        .columns = columns, .primaryKey = primaryKey, .serialColumn = "id",
                                        .foreignKeys = foreignKeys, .indexes = {}};
  };
  class Row final : public db::RowDescriptor<Def> {};
};

TEST(Descriptors, ClassWideDataIsFilledOnceAndSharedByEveryRow) {
  using Row = ProbeTable<1>::Row;
  EXPECT_FALSE(Row::s_isInitialized.load());
  EXPECT_TRUE(Row::m_staticColumnVec.empty());
  {
    Row first;
    EXPECT_TRUE(Row::s_isInitialized.load());
    EXPECT_EQ(Row::m_name, "Probe");
    EXPECT_EQ(Row::structSchema, "i|b|s17|");
    EXPECT_EQ(Row::m_foreignKeyMap.size(), 1u);
    EXPECT_EQ(Row::m_foreignKeyMap["Other"], (std::map<std::string, std::string>{{"when", "at"}}));
  }
  // While another holder has the process-wide lock, a later row must not
  // need it.
  ZRDBRowBase::s_semColumnVec->wait();
  auto later = std::async(std::launch::async, [] {
    Row second;
    second.pushColumnName("extra");
    return second.getColumnName(3);
  });
  bool done = later.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  ZRDBRowBase::s_semColumnVec->release(1);
  ASSERT_TRUE(done) << "a second construction waited for the lock";
  EXPECT_EQ(later.get(), "extra");
  Row third;  // every row sees the pushed name
  EXPECT_EQ(third.getColumnName(3), "extra");
  EXPECT_EQ(Row::m_staticColumnVec.size(), 4u);
}

TEST(Descriptors, ManyThreadsInitialiseEachClassOnce) {
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      start.arrive_and_wait();
      ProbeTable<10>::Row a;
      ProbeTable<11>::Row b;
      ProbeTable<12>::Row c;
      YLJobVolumeHistory_t2 d;
      EXPECT_EQ(a.getSerialColNum(), 0);
      EXPECT_EQ(b.getStructDef(), "i|b|s17|");
      EXPECT_EQ(c.getTableName(), "Probe");
      EXPECT_EQ(d.getColumnName(22), "spaceUsed");
    });
  for (auto& thread : threads) thread.join();
  for (const auto* names : {&ProbeTable<10>::Row::m_staticColumnVec, &ProbeTable<11>::Row::m_staticColumnVec,
                            &ProbeTable<12>::Row::m_staticColumnVec})
    EXPECT_EQ(*names, (std::vector<std::string>{"id", "when", "name"}));
  EXPECT_EQ(YLJobVolumeHistory_t2::m_staticColumnVec.size(), 23u);
}

TEST(Descriptors, AFailedConstructionLeaksNothingAndLeavesTheClassUninitialised) {
  using Row = ProbeTable<2>::Row;
  zrFailSemaphoreCreation(1);
  try {
    Row row;
    FAIL() << "construction should have thrown";
  } catch (const char* text) {
    EXPECT_STREQ(text, "Not enough memory to initialize ZrSemaphore");
  }
  EXPECT_FALSE(Row::s_isInitialized.load());
  Row row;  // the next one works and initialises
  EXPECT_TRUE(Row::s_isInitialized.load());

  // Through a binding: the operation fails with the exception.
  bool newer = DBtable::b_newDBBase;
  DBtable::b_newDBBase = true;
  zrFailSemaphoreCreation(1);
  EXPECT_THROW(YLApplicationDirs binding(nullptr), const char*);
  DBtable::b_newDBBase = newer;
}

class NewerAccessPath : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    m_saved = DBtable::b_newDBBase;
    DBtable::b_newDBBase = true;
  }
  void TearDown() override {
    DBtable::b_newDBBase = m_saved;
    DatabaseTest::TearDown();
  }
  bool m_saved = false;
};

TEST_P(NewerAccessPath, NullsAreVisibleInColumnObjectsAndIndicators) {
  ASSERT_EQ(m_db->exec("INSERT INTO YLApplicationDirs (id, clientId, objName, path) VALUES (7, NULL, 'obj', NULL)"),
            db::kOk);
  YLApplicationDirs binding(nullptr);
  ASSERT_NE(binding.getRowDescriptor(), nullptr);
  ASSERT_EQ(binding.openCursor(), db::kOk);
  ASSERT_EQ(binding.fetchCursor(true), db::kOk);
  ZRDBRowBase& row = *binding.getRowDescriptor();
  EXPECT_TRUE(row.m_columnMap.at("clientId")->m_isNull);
  EXPECT_TRUE(row.m_columnMap.at("path")->m_isNull);
  EXPECT_FALSE(row.m_columnMap.at("objName")->m_isNull);
  EXPECT_EQ(static_cast<ZRDB_string*>(row.m_columnMap.at("objName"))->m_value, "obj");
  EXPECT_EQ(static_cast<ZRDBInt*>(row.m_columnMap.at("id"))->m_value, 7);
  const long long* indicators = binding.getIndicators();
  EXPECT_EQ(indicators[0], 0);
  EXPECT_EQ(indicators[2], -1);  // clientId
  EXPECT_EQ(indicators[4], 0);   // objName
  EXPECT_EQ(indicators[5], -1);  // path
  EXPECT_EQ(binding.getDataPtr()->clientId, 0);
  EXPECT_STREQ(binding.getDataPtr()->objName, "obj");

  YLFile_t file;  // an owned text goes through its column object both ways
  file.Content = db::duplicateOwnedText("through the descriptor");
  CYLFileDB files;
  ASSERT_TRUE(files.insert(file, nullptr));
  YLFile_t read;
  ASSERT_TRUE(files.getInfo(file.id, read, nullptr));
  EXPECT_STREQ(read.Content, "through the descriptor");
}

INSTANTIATE_TEST_SUITE_P(Storages, NewerAccessPath, fileAndServer(), storageName);

}  // namespace
}  // namespace divu::test
