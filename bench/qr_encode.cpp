// Times the QR encoder on links of several lengths: each encode whole (version choice,
// Reed-Solomon, all eight masks scored), as the panel and the command run it. It measures
// and asserts nothing; docs/PERFORMANCE.md keeps its figures.
//
//   cmake --preset release && cmake --build --preset release --target bench_qr
//   build/release/bench_qr [runs]      (2000 runs of each length by default)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shares/qr_code.h"

namespace {

std::string LinkOf(std::size_t length) {
  std::string link = "http://192.168.100.200:8080/pub/";
  const std::string name = "quarterly%20report%20";
  while (link.size() < length) link += name;
  link.resize(length);
  return link;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  std::printf("%-8s %-8s %-10s %-10s %-10s %-10s\n", "bytes", "version", "min us", "median us",
              "p99 us", "max us");
  for (std::size_t length : {40, 100, 300, 1000, 2331}) {
    const std::string link = LinkOf(length);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(runs));
    int version = 0;
    for (int run = 0; run < runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      const std::optional<qc::QrCode> code = qc::EncodeQrCode(link);
      const auto end = std::chrono::steady_clock::now();
      if (!code) return 1;
      version = code->version();
      times.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%-8zu %-8d %-10.1f %-10.1f %-10.1f %-10.1f\n", length, version, times.front(),
                times[times.size() / 2], times[times.size() * 99 / 100], times.back());
  }
  return 0;
}
