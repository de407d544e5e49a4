#include "common/SearchThreads.h"

#include <atomic>
#include <thread>

namespace salvex {

namespace {
std::atomic<unsigned> chosen{0};
}

unsigned SearchThreads() {
  if (const unsigned n = chosen.load()) return n;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores ? cores : 1;
}

void SetSearchThreads(unsigned threads) { chosen.store(threads); }

}  // namespace salvex
