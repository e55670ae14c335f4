// The console queue: whole lines from concurrent writers, writers that never
// wait for a console nobody reads, a true count of what it missed, and a flush
// that gives up on it.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "console_queue.h"

namespace {

using tolvarine_component::ConsoleQueue;
using Clock = std::chrono::steady_clock;
const std::chrono::seconds kPatience(10);  // for things that take milliseconds

// A pipe for the queue to write into, read by a thread only once asked.
struct Pipe {
  explicit Pipe(int size = 0) {
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_TRUE(size == 0 || fcntl(fds[1], F_SETPIPE_SZ, size) == size);
  }
  ~Pipe() {
    lines();
    close(fds[0]);
  }
  void startReading() {
    reader = std::thread([this] {
      char buf[4096];
      for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);) {
        out.append(buf, n > 0 ? n : 0);
      }
    });
  }
  std::vector<std::string> lines() {  // once the queue writing into the pipe is gone
    if (fds[1] >= 0) {
      close(fds[1]);
      fds[1] = -1;
    }
    if (reader.joinable()) {
      reader.join();
    }
    std::vector<std::string> result;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      result.push_back(line);
    }
    return result;
  }
  int fds[2];
  std::thread reader;
  std::string out;
};

// Writes lines the way the component does: several `<<` to a unit-buffered stream.
void writeLines(ConsoleQueue* queue, int thread, int from, int to) {
  std::ostream os(queue);
  os << std::unitbuf;
  for (int i = from; i < to; ++i) {
    os << "thread " << thread << " line " << i << '.' << std::endl;
  }
}

// False for a line that is not exactly what writeLines writes.
bool parseLine(const std::string& line, int* thread, int* index) {
  return std::sscanf(line.c_str(), "thread %d line %d.", thread, index) == 2 &&
         line == "thread " + std::to_string(*thread) + " line " + std::to_string(*index) + ".";
}

TEST(ConsoleQueue, ConcurrentLinesComeOutWholeAndInEachThreadsOrder) {
  const int kThreads = 4, kLines = 2000;
  Pipe pipe;
  pipe.startReading();
  {
    ConsoleQueue queue(pipe.fds[1], 1 << 20);  // room for all: nothing may be lost here
    std::ostream os(&queue);
    os << "thread 0 line " << 0;  // half a line while another thread writes a whole one
    std::thread(writeLines, &queue, 1, 0, 1).join();
    os << '.' << std::endl;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back(writeLines, &queue, t, t < 2 ? 1 : 0, kLines);
    }
    for (std::thread& w : writers) {
      w.join();
    }
    os << "unfinished";
    ASSERT_TRUE(queue.flush(kPatience, true));
  }
  const std::vector<std::string> lines = pipe.lines();
  ASSERT_EQ(lines.size(), kThreads * kLines + 1u);
  EXPECT_EQ(lines.back(), "unfinished");
  EXPECT_EQ(pipe.out.back(), 'd');  // written as it stood, no '\n' added
  std::vector<int> next(kThreads, 0);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    int thread = -1, index = -1;
    ASSERT_TRUE(parseLine(lines[i], &thread, &index) && thread >= 0 && thread < kThreads)
        << lines[i];
    EXPECT_EQ(index, next[thread]++) << lines[i];
  }
}

TEST(ConsoleQueue, WritersDoNotWaitForAFullPipeAndTheLostLinesAreCounted) {
  const int kLines = 5000;  // about 100 KB, over eight times what pipe and queue hold
  Pipe pipe(4096);
  {
    ConsoleQueue queue(pipe.fds[1], 8192);
    std::future<void> writing = std::async(std::launch::async, writeLines, &queue, 0, 0, kLines);
    const bool returned = writing.wait_for(kPatience) == std::future_status::ready;
    pollfd readable = {pipe.fds[0], POLLIN, 0};
    const bool wrote = poll(&readable, 1, 1000 * kPatience.count()) == 1;
    pipe.startReading();  // also frees a writer stuck in the pipe
    EXPECT_TRUE(returned) << "writers waited for the console";
    EXPECT_TRUE(wrote) << "nothing reached the pipe";
    writing.get();
    ASSERT_TRUE(queue.flush(kPatience));
    writeLines(&queue, 0, kLines, kLines + 1);  // room again
    ASSERT_TRUE(queue.flush(kPatience));
  }
  // Every notice must stand exactly where the lines it counts are missing.
  int expected = 0, announced = 0, totalLost = 0;
  for (const std::string& line : pipe.lines()) {
    int thread = -1, index = -1, lost = 0;
    if (parseLine(line, &thread, &index)) {
      EXPECT_EQ(index - expected, announced) << line;
      expected = index + 1;
      announced = 0;
    } else {
      ASSERT_EQ(std::sscanf(line.c_str(), "console: %d lines lost", &lost), 1) << line;
      EXPECT_EQ(announced, 0) << "two notices in a row";
      announced = lost;
      totalLost += lost;
    }
  }
  EXPECT_EQ(expected, kLines + 1);
  EXPECT_GT(totalLost, kLines / 2);
  // Until the reader started, only what the pipe and the queue hold got out.
  EXPECT_LE(pipe.out.size(), 4096 + 8192 + 100u) << "the queue outgrew its capacity";
}

TEST(ConsoleQueue, FlushGivesUpOnAPipeNobodyReads) {
  Pipe pipe(4096);
  ConsoleQueue queue(pipe.fds[1]);
  const std::chrono::milliseconds limit(200);
  Clock::duration took{};
  std::future<bool> flushing = std::async(std::launch::async, [&] {
    writeLines(&queue, 0, 0, 1000);  // 20 KB
    const Clock::time_point start = Clock::now();
    const bool flushed = queue.flush(limit);
    took = Clock::now() - start;
    return flushed;
  });
  const bool returned = flushing.wait_for(kPatience) == std::future_status::ready;
  pipe.startReading();
  ASSERT_TRUE(returned) << "writing or flushing waited for the console";
  EXPECT_FALSE(flushing.get()) << "flush claimed lines that cannot have gone out";
  EXPECT_TRUE(took >= limit && took <= 5 * limit);
  EXPECT_TRUE(queue.flush(kPatience));
}

// std::exit (the middleware's on a bad option, or the end of main) must write
// out what is queued, and a last line that never got its '\n'.
TEST(ConsoleQueueDeathTest, ExitWritesOutTheQueuedAndTheUnfinishedLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        tolvarine_component::installConsoleQueue();
        std::cerr << "whole line" << std::endl;
        std::clog << "unfinished";
        std::exit(3);
      },
      testing::ExitedWithCode(3), "^whole line\nunfinished$");
}

}  // namespace
