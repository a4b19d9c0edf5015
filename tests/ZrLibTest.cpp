#include "ZrLib/ZrLib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

TEST(BoundedCopy, NeverWritesPastTheFieldAndAlwaysTerminates) {
  struct Case {
    const char* name;
    std::string source;
    unsigned long size;
    std::string expected;
  };
  const Case cases[] = {
      {"fits", "abc", 8, "abc"},
      {"exactly size - 1", "abcdefg", 8, "abcdefg"},
      {"cut to size - 1", "abcdefghijk", 8, "abcdefg"},
      {"empty", "", 8, ""},
      {"size one", "abc", 1, ""},
  };
  for (const Case& c : cases) {
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    zrstrcpy(buffer, c.source.c_str(), c.size);
    EXPECT_EQ(std::string(buffer), c.expected) << c.name;
    for (size_t i = c.size; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#') << c.name << " wrote at " << i;
  }
}

TEST(BoundedCopy, SameBufferOverlapAndUnterminatedSource) {
  char same[8] = "abcdef";
  zrstrcpy(same, same, sizeof same);
  EXPECT_STREQ(same, "abcdef");
  zrstrcpy(same, same, 4);  // shortening in place
  EXPECT_STREQ(same, "abc");

  char overlap[16] = "0123456789";
  zrstrcpy(overlap, overlap + 2, sizeof overlap);
  EXPECT_STREQ(overlap, "23456789");

  char unterminated[4] = {'w', 'x', 'y', 'z'};  // no NUL within its size
  char target[4];
  zrstrcpy(target, unterminated, sizeof target);
  EXPECT_STREQ(target, "wxy");

  zrstrcpy(target, nullptr, sizeof target);
  EXPECT_STREQ(target, "");
}

TEST(BoundedCopy, StrncpyAndStrcpyKeepWithinTheirSize) {
  char field[6];
  memset(field, '#', sizeof field);
  EXPECT_EQ(strncpy_s(field, sizeof field, "", sizeof field - 1), 0);
  EXPECT_STREQ(field, "");
  EXPECT_EQ(field[1], '#');  // nothing written beyond the terminator

  EXPECT_EQ(strncpy_s(field, sizeof field, "abcdefgh", 3), 0);
  EXPECT_STREQ(field, "abc");
  EXPECT_EQ(strncpy_s(field, sizeof field, "abcdefgh", 100), 0);
  EXPECT_STREQ(field, "abcde");

  char guarded[10];
  memset(guarded, '#', sizeof guarded);
  EXPECT_EQ(strcpy_s(guarded, 6, "abcde"), 0);
  EXPECT_STREQ(guarded, "abcde");
  EXPECT_NE(strcpy_s(guarded, 6, "abcdef"), 0);  // does not fit: refused, left empty
  EXPECT_STREQ(guarded, "");
  for (int i = 6; i < 10; ++i) EXPECT_EQ(guarded[i], '#');
  EXPECT_NE(strcpy_s(nullptr, 6, "a"), 0);
}

TEST(CountingSemaphore, CountsUnitsAndWakesWaiters) {
  ZrSemaphoreH semaphore(1);
  semaphore.wait();
  EXPECT_FALSE(semaphore.tryWait());
  std::thread releaser([&] { semaphore.release(2); });
  semaphore.wait();  // woken by the other thread's release
  releaser.join();
  EXPECT_EQ(semaphore.available(), 1);
}

TEST(ErrorLog, WritesWholeLinesFromManyThreadsWithFileAndLine) {
  divu::test::TempDir dir;
  std::string path = dir.file("log.txt");
  ASSERT_TRUE(zrSetLogFile(path.c_str()));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) log_error("Db/Tbl/Some", 100 + t, "thread %d line %d [0x%08x]", t, i, 0xabcdu);
    });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(zrSetLogFile(nullptr));

  std::ifstream in(path);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    EXPECT_NE(line.find(" Db/Tbl/Some:10"), std::string::npos) << line;
    EXPECT_NE(line.find("[0x0000abcd]"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 200);
}

}  // namespace
