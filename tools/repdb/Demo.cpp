// repdb demo: a small catalogue of one appliance replicating two volumes,
// then a volume removal and a history prune, each shown by what it changed.
//
// The demo marks its database with a YLFile row; run again on such a
// database it clears the tables and starts over. It refuses a database that
// holds other rows.
#include <ctime>
#include <map>

#include "Changes.h"
#include "Commands.h"
#include "Db/Database.h"
#include "DivUdurezevudoZE/AllFacades.h"
#include "ZrLib/ZrLib.h"

namespace repdb {
namespace {

constexpr const char* kMarker = ".repdb-demo";
constexpr int kCell = 2;

class Demo {
 public:
  Demo(db::Database& database, std::ostream& out) : m_database(database), m_out(out), m_now(time(nullptr)) {}

  void run() {
    m_out << "repdb demo on " << m_database.url() << "\n";
    transaction("clear an earlier demo run", "cleared", false, [&](DBtran& tran) { clearPreviousDemo(tran); });
    transaction("build the catalogue", "built", false, [&](DBtran& tran) { build(tran); });
    showVolumes();
    transaction("remove replicated volume " + std::to_string(m_replica) +
                    " (role 1, on physical volume " + std::to_string(m_replicaPhysical) + ")",
                "after removal", true, [&](DBtran& tran) {
                  CReplicationVolumeDB volumes;
                  check(volumes.remove(m_replica, &tran), "remove of the replicated volume", volumes.m_dbError);
                });
    long long cutoff = m_now - 86400;
    transaction("prune history rows marked before " + formatTime(cutoff) + " (a day ago)", "after prune", true, [&](DBtran& tran) {
      CYLJobVolumeHistoryDB history;
      check(history.prune(static_cast<int>(cutoff), &tran), "prune of the job volume history", history.m_dbError);
    });
    showSizes();
  }

 private:
  template <class Body>
  void transaction(const std::string& title, const char* label, bool showRows, Body&& body) {
    DBtran tran(m_database.shared_from_this());
    if (int code = tran.begin(); code != db::kOk)
      throw CommandFailure("cannot begin a transaction: [" + std::to_string(code) + "] " + tran.lastError());
    State before, after;
    capture(before, tran);
    body(tran);
    capture(after, tran);
    if (int code = tran.commit(); code != db::kOk)
      throw CommandFailure("commit failed: [" + std::to_string(code) + "] " + tran.lastError());
    m_out << "\n== " << title << "\n";
    printChanges(m_out, compareStates(before, after), Format::Human, showRows);
    m_sizes.push_back({label, tableSizes(after)});
  }

  void capture(State& state, DBtran& tran) {
    if (Table* failed = captureState(state, tran))
      throw CommandFailure("reading " + std::string(failed->name()), failed->error());
  }

  static void check(bool ok, const std::string& what, const CReplicationDBError& error) {
    if (!ok) throw CommandFailure(what, error);
  }

  template <class Facade, class Record>
  int add(Record& row, DBtran& tran) {
    Facade facade;
    check(facade.insert(row, &tran), std::string("insert into ") + Facade::BindingType::Definition::table.name, facade.m_dbError);
    return row.id;
  }

  template <class Binding>
  void addGeneric(typename Binding::RecordType& row, DBtran& tran) {
    CRepBaseDB base;
    Binding* binding = nullptr;
    check(base.insertRow(row, binding, &tran), std::string("insert into ") + Binding::Definition::table.name, base.m_dbError);
  }

  void clearPreviousDemo(DBtran& tran) {
    size_t rows = 0;
    for (Table* table : allTables()) {
      unsigned int count = 0;
      check(table->countStored(nullptr, count, tran), "counting rows", table->error());
      rows += count;
    }
    if (rows == 0) return;
    Table& files = tableNamed("YLFile");
    unsigned int markers = 0;
    std::string marker = std::string("Name = ") + sqlLiteral(kMarker);
    check(files.countStored(marker.c_str(), markers, tran), "looking for the demo's marker", files.error());
    if (markers == 0)
      throw CommandFailure("the database holds " + std::to_string(rows) +
                           " rows that repdb demo did not make; give the demo an empty database with --db");
    for (Table* table : allTables()) check(table->clearStored(tran), "clearing the previous demo", table->error());
  }

  static void text(char* field, size_t size, const std::string& value) { strcpy_s(field, size, value.c_str()); }
#define DEMO_TEXT(field, value) text(field, sizeof field, value)

  void build(DBtran& tran) {
    YLFile_t marker;
    DEMO_TEXT(marker.Name, kMarker);
    std::string note = "made by repdb demo; repdb demo clears and rebuilds this database";
    marker.Content = db::duplicateOwnedText(note.c_str());
    add<CYLFileDB>(marker, tran);

    YLDevice_t appliance;
    DEMO_TEXT(appliance.Name, "array-east-01");
    int applianceId = add<CYLApplianceDB>(appliance, tran);

    // Two source LUNs and their replicas; 512-byte blocks, sizes past 32 bits.
    struct Lun {
      const char* wwn;
      int lun;
      long long startLba, blocks;
    } luns[] = {
        {"600a0980383030523424457a4a695a51", 1, 2048, 4294967296LL},
        {"600a0980383030523424457a4a695a52", 2, 4294969344LL, 2147483648LL},
        {"600a0980383030523424457a4a695a61", 11, 2048, 4294967296LL},
        {"600a0980383030523424457a4a695a62", 12, 4294969344LL, 2147483648LL},
    };
    int physical[4];
    for (int i = 0; i < 4; ++i) {
      YLPhysicalVolume_t volume;
      DEMO_TEXT(volume.UniqueId, luns[i].wwn);
      volume.UniqueIdType = 3;
      volume.LUN = luns[i].lun;
      volume.StartLBA = luns[i].startLba;
      volume.BlockCount = luns[i].blocks;
      volume.BlockSize = 512;
      DEMO_TEXT(volume.FSType, "xfs");
      volume.ApplianceId = applianceId;
      physical[i] = add<CSNRVolumeDB>(volume, tran);
    }

    const char* devices[] = {"/dev/mapper/orders", "/dev/mapper/orders-replica"};
    const char* mounts[] = {"/srv/orders/", "/srv/orders-replica "};  // normalised by the facade
    for (int i = 0; i < 2; ++i) {
      YLPhysicalDevice_t device;
      device.ClientId = 31;
      device.SNRVolumeId = physical[i * 2];
      DEMO_TEXT(device.DeviceName, devices[i]);
      DEMO_TEXT(device.OSDeviceName, devices[i]);
      int deviceId = add<CSNRVolumeDeviceNameDB>(device, tran);
      YLMountPoint_t mount;
      mount.DeviceNameId = deviceId;
      DEMO_TEXT(mount.Path, mounts[i]);
      add<CSNRVolumeMountPointDB>(mount, tran);
    }

    YLSnapEngineInfo_t engine;
    DEMO_TEXT(engine.name, "array-native");
    DEMO_TEXT(engine.SnapCmdHint, "snapshot create -volume %v -name %n");
    DEMO_TEXT(engine.UnsnapCmdHint, "snapshot delete -volume %v -name %n");
    engine.Type = 1;
    int engineId = add<CSnapEngineInfoDB>(engine, tran);

    YLScratchPool_t pool;
    DEMO_TEXT(pool.name, "west-scratch");
    pool.TotalVolumes = 1;
    pool.AvailableVolumes = 1;
    pool.SnapEngineInfoId = engineId;
    int poolId = add<CRVScratchVolumePoolDB>(pool, tran);

    YLPolicy_t policy;
    DEMO_TEXT(policy.name, "orders-hourly");
    policy.RetentionSeconds = 7 * 86400;
    policy.SnapEngineInfoId = engineId;
    policy.VolumeScratchPoolId = poolId;
    policy.NSnapshot = 24;
    int policyId = add<CReplicationPolicyDB>(policy, tran);

    // Each source (role 4) with its replica: role 1 for orders, role 2 for sales.
    int roles[] = {4, 4, 1, 2};
    int volumes[4];
    for (int i = 0; i < 4; ++i) {
      YLVolume_t volume;
      volume.CreationTime = static_cast<int>(m_now - 30 * 86400);
      volume.ModifyTime = volume.CreationTime;
      volume.CurrentRole = roles[i];
      volume.PrimaryVolumeId = physical[i % 2];
      volume.PhysicalVolumeId = physical[i];
      volume.ReplicationPolicyId = policyId;
      volume.SnapEngineType = 1;
      DEMO_TEXT(volume.SourceGUID, std::string("{5f1c2e0a-7d4b-4e8f-9a31-0000000000") + std::to_string(10 + i) + "}");
      volumes[i] = add<CReplicationVolumeDB>(volume, tran);
    }
    m_replica = volumes[2];
    m_replicaPhysical = physical[2];

    // Jobs 70411..70413: 70411 copied orders, 70412 both volumes, 70413 sales
    // (its history marked pruned ten days ago).
    for (int job = 70411; job <= 70413; ++job) {
      JMBkpStats_t stats;
      stats.jobId = job;
      stats.zorbCellId = kCell;
      stats.appId = 7;
      stats.status = 1;
      stats.opType = 59;
      stats.dataStatus = 1;
      stats.servStartDate = m_now - (70414 - job) * 3600;
      stats.servEndDate = stats.servStartDate + 1260;
      stats.totalBackupSize = 3298534883328LL + job;  // about 3 TiB
      addGeneric<JMBkpStats>(stats, tran);
    }
    for (int child : {70411, 70412}) {
      JMJobDataLink_t link;
      link.zorbCellId = kCell;
      link.parentJobId = 70410;
      link.childJobId = child;
      link.linkType = 1;
      addGeneric<JMJobDataLink>(link, tran);
    }
    struct Copy {
      int job, source, destination;
    } copies[] = {{70411, 0, 2}, {70412, 0, 2}, {70412, 1, 3}, {70413, 1, 3}};
    CYLJobVolumeHistoryDB history;
    for (const Copy& copy : copies) {
      YLJobVolumeHistory_t row;
      row.JobId = copy.job;
      row.zorbCellId = kCell;
      row.SrcVolId = physical[copy.source];
      DEMO_TEXT(row.SrcClientName, copy.source == 0 ? "orders-db-01" : "sales-db-01");
      row.SrcBlockCount = luns[copy.source].blocks;
      row.SrcBlockSize = 512;
      DEMO_TEXT(row.SrcDevName, copy.source == 0 ? "/dev/mapper/orders" : "/dev/mapper/sales");
      row.DstVolId = physical[copy.destination];
      DEMO_TEXT(row.DstClientName, "dr-west-01");
      row.DstBlockCount = luns[copy.destination].blocks;
      row.DstBlockSize = 512;
      row.spaceUsed = luns[copy.source].blocks * 512 / 3;
      add<CYLJobVolumeHistoryDB>(row, tran);
      if (copy.job == 70413) {
        std::string marked = "pruneTime = " + std::to_string(m_now - 10 * 86400);
        check(history.Update(row.id, marked.c_str(), &tran), "marking a history row", history.m_dbError);
      }
    }

    for (int job : {70412, 70413}) {
      YLFLRConsistencyPoint_t point;
      point.CreationTime = static_cast<int>(m_now - (70414 - job) * 3600);
      point.FLRSetId = 4;
      point.JobId = job;
      point.ClientId = 31;
      point.zorbCellId = kCell;
      point.SrcClientId = 31;
      int pointId = add<FLRConsistencyPointDB>(point, tran);
      YLFLRSnapshot_t snapshot;
      snapshot.ConsistencyPointId = pointId;
      std::string volume = job == 70413 ? "sales" : "orders";
      DEMO_TEXT(snapshot.Name, volume + "-hourly-" + std::to_string(job));
      DEMO_TEXT(snapshot.SnapVolumeName, volume + "_snap_" + std::to_string(job));
      DEMO_TEXT(snapshot.SnapshotPath, "/srv/" + volume + "/.snapshot/hourly." + std::to_string(job));
      snapshot.CreationTime = point.CreationTime;
      add<FLRSnapshotDB>(snapshot, tran);
    }
  }
#undef DEMO_TEXT

  void showVolumes() {
    DBtran tran(m_database.shared_from_this());
    if (tran.begin(DBtran::Mode::Read) != db::kOk) return;
    for (const char* name : {"YLVolume", "YLJobVolumeHistory"}) {
      Table& table = tableNamed(name);
      ResultSet all = columnsOf(table.def());
      check(table.readStored(all.rows, tran), std::string("listing ") + name, table.error());
      ResultSet some;
      std::vector<std::string> shown = name == std::string("YLVolume")
                                           ? std::vector<std::string>{"id", "CurrentRole", "PrimaryVolumeId", "PhysicalVolumeId", "SourceGUID"}
                                           : std::vector<std::string>{"id", "JobId", "SrcVolId", "DstVolId", "pruneTime"};
      for (const std::string& column : shown) {
        some.columns.push_back(column);
        some.numeric.push_back(column != "SourceGUID");
      }
      for (const Row& row : all.rows) {
        Row& picked = some.rows.emplace_back();
        for (const std::string& column : shown)
          picked.push_back(row[static_cast<size_t>(findColumn(table.def(), column) - table.def().columns.data())]);
      }
      m_out << "\n" << name << ":\n";
      printResult(m_out, some, Format::Human);
    }
    tran.commit();
  }

  // Row counts after each step, one column per step, for the tables used.
  void showSizes() {
    ResultSet result{{"table"}, {false}, {}};
    for (size_t step = 1; step < m_sizes.size(); ++step) {
      result.columns.push_back(m_sizes[step].first);
      result.numeric.push_back(true);
    }
    const ResultSet& first = m_sizes.front().second;
    for (size_t t = 0; t < first.rows.size(); ++t) {
      Row row{first.rows[t][0]};
      bool used = false;
      for (size_t step = 1; step < m_sizes.size(); ++step) {
        row.push_back(m_sizes[step].second.rows[t][1]);
        used = used || std::get<long long>(row.back()) != 0;
      }
      if (used) result.rows.push_back(std::move(row));
    }
    m_out << "\nrows per table:\n";
    printResult(m_out, result, Format::Human);
  }

  db::Database& m_database;
  std::ostream& m_out;
  long long m_now;
  int m_replica = 0;
  int m_replicaPhysical = 0;
  std::vector<std::pair<std::string, ResultSet>> m_sizes;
};

}  // namespace

void runDemo(db::Database& database, std::ostream& out) { Demo(database, out).run(); }

}  // namespace repdb
