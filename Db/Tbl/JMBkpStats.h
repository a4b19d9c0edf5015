// Table JMBkpStats: job statistics, one row per job and zorbCellId.
#pragma once

#include <string>

#include "Db/TableBinding.h"

// Backup operation types of the job statistics, for the sources that include this header.
static const std::string JMBackupOptypeListForBLR = "4, 14, 18, 30, 43, 59, 60, 65";

// Job submission states, indexed 0 to 3.
static const char* const ZRJobSubmissionStatusStr[4] = {"New Job", "Job Message Sent",
                                                        "Job Submission Complete", "Error in Job Submission"};

struct ZR_EXPORT JMBkpStats_t {
  int jobId;
  int zorbCellId;
  int appId;
  int appType;
  int numAttempts;
  int dataArchGrpId;
  int copyID;
  int bkpLevel;
  int indexOverride;
  int status;
  int duration;
  int numStreams;
  long long servStartDate;
  long long servEndDate;
  int opType;
  int fullCycleNum;
  int initFrom;
  char failureReason[257];
  int bkpOptions;
  int scanFileFailures;
  int scanFolderFailures;
  int backupFileFailures;
  int backupFolderFailures;
  int oraSubLevel;
  char username[511];
  int totalWriteTime;
  int priority;
  long long totalCompBytes;
  long long totalUncompBytes;
  long long totalNumOfFiles;
  long long bkpattributes;
  int logArchGrpId;
  long long totalNumOfFolders;
  int failureErrorCode;
  int lastIncrJobTime;
  int scanType;
  char scanTypeChangeReason[25];
  int numStreamsRequested;
  int dataStatus;
  long long agedTime;
  long long mediaDeletedTime;
  long long modifiedTime;
  int version;
  int idaVersion;
  long long cIndexTime;
  int cycleSequence;
  long long filesToXfer;
  int cloudId;
  int diffArchGrpId;
  long long totalBackupSize;
  int percentageChange;
  int targetClientId;
  long long totalUncompBytesToXfer;
  int displayStatus;
  int dataBackedUp;
  int logsBackedUp;
  int openChain;
  int secondaryBkpLevel;
  int jobIdPrepared;
  int jobIdActedOn;
  int fromTime;
  int toTime;
  int subTaskId;
  long long nwTransBytes;
  long long totSkippedObjects;
  long long bkpAttributesEx;
  int jobReferenceTime;
  ZR_RECORD_DECLARE(JMBkpStats_t)
};

struct ZR_EXPORT JMBkpStats_def {
  using Record = JMBkpStats_t;
  static constexpr db::ColumnDef columns[] = {
      ZR_COLUMN(jobId),
      ZR_COLUMN(zorbCellId),
      ZR_COLUMN(appId),
      ZR_COLUMN(appType),
      ZR_COLUMN(numAttempts),
      ZR_COLUMN(dataArchGrpId),
      ZR_COLUMN(copyID),
      ZR_COLUMN(bkpLevel),
      ZR_COLUMN(indexOverride),
      ZR_COLUMN(status),
      ZR_COLUMN(duration),
      ZR_COLUMN(numStreams),
      ZR_TIME_COLUMN(servStartDate),
      ZR_TIME_COLUMN(servEndDate),
      ZR_COLUMN(opType),
      ZR_COLUMN(fullCycleNum),
      ZR_COLUMN(initFrom),
      ZR_COLUMN(failureReason),
      ZR_COLUMN(bkpOptions),
      ZR_COLUMN(scanFileFailures),
      ZR_COLUMN(scanFolderFailures),
      ZR_COLUMN(backupFileFailures),
      ZR_COLUMN(backupFolderFailures),
      ZR_COLUMN(oraSubLevel),
      ZR_COLUMN(username),
      ZR_COLUMN(totalWriteTime),
      ZR_COLUMN(priority),
      ZR_COLUMN(totalCompBytes),
      ZR_COLUMN(totalUncompBytes),
      ZR_COLUMN(totalNumOfFiles),
      ZR_COLUMN(bkpattributes),
      ZR_COLUMN(logArchGrpId),
      ZR_COLUMN(totalNumOfFolders),
      ZR_COLUMN(failureErrorCode),
      ZR_COLUMN(lastIncrJobTime),
      ZR_COLUMN(scanType),
      ZR_COLUMN(scanTypeChangeReason),
      ZR_COLUMN(numStreamsRequested),
      ZR_COLUMN(dataStatus),
      ZR_TIME_COLUMN(agedTime),
      ZR_TIME_COLUMN(mediaDeletedTime),
      ZR_TIME_COLUMN(modifiedTime),
      ZR_COLUMN(version),
      ZR_COLUMN(idaVersion),
      ZR_TIME_COLUMN(cIndexTime),
      ZR_COLUMN(cycleSequence),
      ZR_COLUMN(filesToXfer),
      ZR_COLUMN(cloudId),
      ZR_COLUMN(diffArchGrpId),
      ZR_COLUMN(totalBackupSize),
      ZR_COLUMN(percentageChange),
      ZR_COLUMN(targetClientId),
      ZR_COLUMN(totalUncompBytesToXfer),
      ZR_COLUMN(displayStatus),
      ZR_COLUMN(dataBackedUp),
      ZR_COLUMN(logsBackedUp),
      ZR_COLUMN(openChain),
      ZR_COLUMN(secondaryBkpLevel),
      ZR_COLUMN(jobIdPrepared),
      ZR_COLUMN(jobIdActedOn),
      ZR_COLUMN(fromTime),
      ZR_COLUMN(toTime),
      ZR_COLUMN(subTaskId),
      ZR_COLUMN(nwTransBytes),
      ZR_COLUMN(totSkippedObjects),
      ZR_COLUMN(bkpAttributesEx),
      ZR_COLUMN(jobReferenceTime),
  };
  static constexpr const char* primaryKey[] = {"jobId", "zorbCellId"};
  static constexpr db::ForeignKeyDef foreignKeys[] = {
      {"JMJobStats", {{"jobId", "jobId"}, {"zorbCellId", "zorbCellId"}}},
  };
  static constexpr std::span<const db::IndexDef> indexes{};
  static constexpr db::TableDef table{
      .name = "JMBkpStats",
      .version = "1.76.48.16",
      .keyColumn = "",
      .keyValueIsId = false,
      .defaultOrder = "jobId, zorbCellId",
      .headerPath = "Db/Tbl/JMBkpStats",
      .logLine = 1173,
      .columns = columns,
      .primaryKey = primaryKey,
      .serialColumn = "",
      .foreignKeys = foreignKeys,
      .indexes = indexes,
  };
};
ZR_RECORD_DEFINE(JMBkpStats_t, JMBkpStats_def)

class ZR_EXPORT JMBkpStats_t2 final : public db::RowDescriptor<JMBkpStats_def> {};

class ZR_EXPORT JMBkpStats final : public db::TableBinding<JMBkpStats_t, JMBkpStats_def, JMBkpStats_t2> {
 public:
  using TableBinding::TableBinding;
};
