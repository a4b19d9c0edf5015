// Uses the installed library as any other program would: opens a catalogue,
// inserts a replicated volume with the history of a job that wrote to it,
// lists the volumes, and removes the volume with its cascade.
//
//   consumer [DATABASE-URL]     (default: sqlite:consumer.sqlite)
#include <DivUdurezevudoZE/Catalogue.h>
#include <DivUdurezevudoZE/ReplicationVolumeDB.h>
#include <DivUdurezevudoZE/SNRVolumeDB.h>
#include <DivUdurezevudoZE/YLJobVolumeHistoryDB.h>

#include <cstdio>
#include <string>

namespace {

int fail(const char* what, const CReplicationDBError& error) {
  fprintf(stderr, "%s failed: %s on %s: [%d] %s\n", what, error.m_function.c_str(), error.m_tableName.c_str(),
          error.m_errorCode, error.m_errorText.c_str());
  return 1;
}

void listVolumes(CReplicationVolumeDB& volumes, DBtran& tran) {
  YLVolume_t* rows = nullptr;
  unsigned int count = 0;
  if (!volumes.getList(rows, count, nullptr, nullptr, &tran)) return;
  printf("volumes: %u\n", count);
  for (unsigned int i = 0; i < count; ++i)
    printf("  id %d role %d physical %d guid %s\n", rows[i].id, rows[i].CurrentRole, rows[i].PhysicalVolumeId,
           rows[i].SourceGUID);
  volumes.deleteList(rows);
}

}  // namespace

int main(int argc, char** argv) {
  const char* url = argc > 1 ? argv[1] : "sqlite:consumer.sqlite";
  std::string error;
  std::shared_ptr<db::Database> database = divu::openCatalogue(url, &error);
  if (!database || divu::createCatalogue(*database, &error) != db::kOk) {
    fprintf(stderr, "cannot use %s: %s\n", url, error.c_str());
    return 1;
  }
  db::Database::setDefault(database);

  CSNRVolumeDB physical;
  CReplicationVolumeDB volumes;
  CYLJobVolumeHistoryDB history;
  DBtran tran;
  if (tran.begin() != db::kOk) {
    fprintf(stderr, "begin failed: %s\n", tran.lastError().c_str());
    return 1;
  }

  YLPhysicalVolume_t lun;
  strcpy_s(lun.UniqueId, sizeof lun.UniqueId, "lun-0001");
  lun.BlockSize = 512;
  if (!physical.insert(lun, &tran)) return fail("insert of a physical volume", physical.m_dbError);

  int ids[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    YLVolume_t volume;
    volume.CurrentRole = i == 0 ? 1 : 4;  // a replica, then a source
    volume.PhysicalVolumeId = lun.id;
    strcpy_s(volume.SourceGUID, sizeof volume.SourceGUID, i == 0 ? "{replica}" : "{source}");
    if (!volumes.insert(volume, &tran)) return fail("insert of a volume", volumes.m_dbError);
    ids[i] = volume.id;
  }
  YLJobVolumeHistory_t copy;
  copy.JobId = 501;
  copy.DstVolId = lun.id;
  if (!history.insert(copy, &tran)) return fail("insert of a history row", history.m_dbError);
  listVolumes(volumes, tran);

  // The replica goes, and the history of the copy that wrote to it is marked
  // pruned: it no longer counts as live.
  unsigned int before = 0, after = 0;
  if (!history.getNRows(nullptr, before, &tran)) return fail("count of history", history.m_dbError);
  if (!volumes.remove(ids[0], &tran)) return fail("removal of the replica", volumes.m_dbError);
  if (!history.getNRows(nullptr, after, &tran)) return fail("count of history", history.m_dbError);
  printf("removed volume %d; live history rows %u -> %u\n", ids[0], before, after);
  listVolumes(volumes, tran);

  if (tran.commit() != db::kOk) {
    fprintf(stderr, "commit failed: %s\n", tran.lastError().c_str());
    return 1;
  }
  return 0;
}
