#include "ZrLib/ZrLib.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/time.h>

namespace {

std::mutex g_logMutex;
FILE* g_logFile = nullptr;  // null: stderr
std::shared_ptr<const ZrLogHandler> g_logHandler;  // guarded by g_logMutex

}  // namespace

void log_error(const char* file, int line, const char* format, ...) {
  char message[2048];
  message[0] = '\0';
  if (format) {
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
  }

  std::shared_ptr<const ZrLogHandler> handler;
  {
    std::lock_guard<std::mutex> lock(g_logMutex);
    handler = g_logHandler;
  }
  if (handler) {
    (*handler)(ZrLogLevel::Error, file ? file : "?", line, message);
    return;
  }

  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  std::lock_guard<std::mutex> lock(g_logMutex);
  FILE* out = g_logFile ? g_logFile : stderr;
  fprintf(out, "%s.%03ld %s:%d %s\n", stamp, static_cast<long>(now.tv_usec / 1000),
          file ? file : "?", line, message);
  fflush(out);
}

void zrSetLogHandler(ZrLogHandler handler) {
  auto shared = handler ? std::make_shared<const ZrLogHandler>(std::move(handler)) : nullptr;
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logHandler = std::move(shared);
}

bool zrSetLogFile(const char* path) {
  FILE* opened = nullptr;
  if (path && *path) {
    opened = fopen(path, "a");
    if (!opened) return false;
  }
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_logFile) fclose(g_logFile);
  g_logFile = opened;
  return true;
}

void zrstrcpy(char* dst, const char* src, unsigned long size) {
  if (!dst || size == 0) return;
  if (!src) {
    dst[0] = '\0';
    return;
  }
  // Bounded length first, then memmove: correct for dst == src and overlaps,
  // and never reads past size - 1 bytes of a source without terminator.
  size_t n = strnlen(src, size - 1);
  if (dst != src) memmove(dst, src, n);
  dst[n] = '\0';
}

int strncpy_s(char* dst, unsigned long size, const char* src, unsigned long count) {
  if (!dst || size == 0) return EINVAL;
  if (!src) {
    dst[0] = '\0';
    return EINVAL;
  }
  size_t limit = count < size - 1 ? count : size - 1;
  size_t n = strnlen(src, limit);
  memmove(dst, src, n);
  dst[n] = '\0';
  return 0;
}

int strcpy_s(char* dst, unsigned long size, const char* src) {
  if (!dst || size == 0) return EINVAL;
  if (!src) {
    dst[0] = '\0';
    return EINVAL;
  }
  size_t n = strnlen(src, size);
  if (n == size) {
    dst[0] = '\0';
    return ERANGE;
  }
  memmove(dst, src, n + 1);
  return 0;
}

ZrSemaphoreH::ZrSemaphoreH(int units) : m_units(units < 0 ? 0 : units) {}

void ZrSemaphoreH::wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait(lock, [this] { return m_units > 0; });
  --m_units;
}

bool ZrSemaphoreH::tryWait() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_units == 0) return false;
  --m_units;
  return true;
}

void ZrSemaphoreH::release(int n) {
  if (n <= 0) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_units += n;
  }
  if (n == 1)
    m_cv.notify_one();
  else
    m_cv.notify_all();
}

int ZrSemaphoreH::available() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_units;
}

namespace {
std::atomic<int> g_failSemaphores{0};
}

ZrSemaphoreH* zrNewSemaphore(int units) {
  int pending = g_failSemaphores.load(std::memory_order_relaxed);
  while (pending > 0) {
    if (g_failSemaphores.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  return new (std::nothrow) ZrSemaphoreH(units);
}

void zrFailSemaphoreCreation(int count) { g_failSemaphores.store(count < 0 ? 0 : count); }
