// Utility library: logging, bounded string copies and a counting semaphore.
//
// Thread-safety: log_error may be called from any thread; each call writes one
// whole line. The string functions touch only their arguments. A ZrSemaphoreH
// is shared between threads by design.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

#include "ZrLib/Export.h"

// Writes one line "<time> <file>:<line> <message>" to the configured log
// (stderr unless zrSetLogFile was called). The format is printf-style.
ZR_EXPORT void log_error(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Sends later log lines to the file at `path` (appending); null or "" returns
// to stderr. Returns false when the file cannot be opened (the log is unchanged).
ZR_EXPORT bool zrSetLogFile(const char* path);

// How grave a logged line is; log_error's lines are errors.
enum class ZrLogLevel { Error, Warning, Info };

// Receives each logged line instead of the log: the file and line it was
// logged at and its text (no time stamp, no newline). Called on the logging
// thread, outside the log's lock, possibly on several threads at once.
using ZrLogHandler = std::function<void(ZrLogLevel level, const char* file, int line, const char* text)>;

// Sends later log lines to `handler`; null returns them to the log file (or
// stderr), written as before.
ZR_EXPORT void zrSetLogHandler(ZrLogHandler handler);

// Copies at most size - 1 characters of src into dst and always terminates it.
// Safe when dst and src are the same buffer or overlap. Does nothing when dst
// is null or size is 0; a null src gives an empty text.
ZR_EXPORT void zrstrcpy(char* dst, const char* src, unsigned long size);

// Copies at most `count` characters of src into dst (size bytes) and terminates.
// Returns 0, or an errno value when dst is null or size is 0 (nothing written)
// or when src is null (dst becomes empty). Never writes past dst[size - 1]: text
// that does not fit is cut.
ZR_EXPORT int strncpy_s(char* dst, unsigned long size, const char* src, unsigned long count);

// Copies src whole into dst (size bytes). Returns 0, or ERANGE when it does not
// fit, in which case dst becomes the empty text; EINVAL for null arguments.
ZR_EXPORT int strcpy_s(char* dst, unsigned long size, const char* src);

// A counting semaphore.
class ZR_EXPORT ZrSemaphoreH final {
 public:
  explicit ZrSemaphoreH(int units);
  ZrSemaphoreH(const ZrSemaphoreH&) = delete;
  ZrSemaphoreH& operator=(const ZrSemaphoreH&) = delete;

  // Blocks until a unit is available and takes it.
  void wait();
  // Takes a unit if one is available at once.
  bool tryWait();
  // Gives back n units.
  void release(int n);
  int available() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  int m_units;
};

// A new semaphore, or null when none can be had. Tests can make the next
// `count` calls fail with zrFailSemaphoreCreation.
ZR_EXPORT ZrSemaphoreH* zrNewSemaphore(int units);
ZR_EXPORT void zrFailSemaphoreCreation(int count);
