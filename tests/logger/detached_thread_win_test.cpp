#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "logger/detached_thread_win.h"

namespace vyn {
namespace {

// The ready signal and the stderr monitor report through futures from
// threads nobody joins; with detached std::threads, waits like these slept
// through their wake-up now and then on a loaded machine.
TEST(DetachedThread, EachBodyRunsOnceAndIsFreedAndItsResultIsSeenAtOnce) {
  constexpr int kThreads = 400;
  auto freed = std::make_shared<std::atomic<int>>(0);
  struct CountsItsEnd {
    explicit CountsItsEnd(std::shared_ptr<std::atomic<int>> f) : freed(std::move(f)) {}
    ~CountsItsEnd() { ++*freed; }
    std::shared_ptr<std::atomic<int>> freed;
  };
  for (int i = 0; i < kThreads; ++i) {
    std::promise<int> sender;
    std::future<int> result = sender.get_future();
    start_detached_thread([s = std::move(sender), end = std::make_shared<CountsItsEnd>(freed),
                           i]() mutable { s.set_value(i); });
    ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready) << i;
    EXPECT_EQ(result.get(), i);
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (freed->load() < kThreads && std::chrono::steady_clock::now() < give_up) ::Sleep(10);
  EXPECT_EQ(freed->load(), kThreads);
}

}  // namespace
}  // namespace vyn
