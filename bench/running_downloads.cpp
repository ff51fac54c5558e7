// Times what the panel's progress table adds to an answer with a body: its entry made and
// let go (one short lock each), on one thread and on eight at once, with and without a
// reader taking the panel's snapshot meanwhile. It measures and asserts nothing;
// docs/PERFORMANCE.md keeps its figures beside an answer's whole time.
//
//   cmake --preset release && cmake --build --preset release --target bench_running_downloads
//   build/release/bench_running_downloads [answers per thread]   (200000 by default)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "shares/running_downloads.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nanoseconds per answer when `threads` threads each run `answers` answers at once.
double Run(int threads, long answers, bool reader) {
  qc::RunningDownloads table;
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      std::atomic<std::int64_t> sent{0};
      int share = 0;
      while (!go.load()) std::this_thread::yield();
      for (long i = 0; i < answers; ++i) {
        const qc::RunningDownloads::Entry entry(table, reinterpret_cast<const qc::Share*>(&share),
                                                4096, sent);
        // One counted send, as the smallest answer makes.
        sent.fetch_add(4096, std::memory_order_relaxed);
      }
    });
  }
  std::thread snapshots;
  if (reader) {
    snapshots = std::thread([&] {
      while (!done.load()) {
        volatile std::size_t rows = table.Snapshot().size();
        (void)rows;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // far more often than 2/s
      }
    });
  }
  const Clock::time_point start = Clock::now();
  go.store(true);
  for (std::thread& worker : workers) worker.join();
  const double elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  done.store(true);
  if (snapshots.joinable()) snapshots.join();
  return elapsed / static_cast<double>(answers);  // per answer of one thread: its latency
}

}  // namespace

int main(int argc, char** argv) {
  const long answers = argc > 1 ? std::atol(argv[1]) : 200000;
  std::printf("threads  reader  ns per answer (median of 5)\n");
  for (const int threads : {1, 8}) {
    for (const bool reader : {false, true}) {
      std::vector<double> runs;
      for (int run = 0; run < 5; ++run) runs.push_back(Run(threads, answers, reader));
      std::sort(runs.begin(), runs.end());
      std::printf("%7d  %6s  %.1f\n", threads, reader ? "yes" : "no", runs[2]);
    }
  }
  return 0;
}
