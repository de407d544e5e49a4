#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/AlignedBuffer.h"

namespace salvex {

// A stretch of blocks (sectors, clusters) read for a search, with what the prescan made of them.
template <class TLook>
struct TScanChunk {
  uint64_t First = 0;    // first block
  uint32_t Blocks = 0;   // blocks of the search in this chunk
  bool Read = false;     // false: the read failed or was not wanted; the consumer reads these itself
  // Blocks + the look-ahead blocks after them (zeros past the range); page-aligned, as large reads
  // go straight into it.
  std::vector<uint8_t, PageAlignedAllocator<uint8_t>> Bytes;
  std::vector<TLook> Looks;    // whatever the prescan made of the chunk
  std::exception_ptr Failure;  // what the read or the prescan threw; Next throws it on
};

// Reads blocks [first, last] in large chunks on a reader thread ahead of the consumer, runs a
// prescan (work that depends on the bytes alone) over each chunk on `threads` worker threads, and
// hands the chunks to the consumer strictly in order. What a read or prescan throws reaches the
// consumer in its place in that order, and nothing after it is read. `read` is only called while `deviceLock` is
// held; the consumer holds it too while it reads the device itself.
template <class TLook>
class TScanPipeline {
 public:
  using TChunk = TScanChunk<TLook>;
  struct TSetup {
    uint64_t First = 0, Last = 0;  // blocks, both inclusive
    uint32_t BlockBytes = 512;
    uint32_t ChunkBlocks = 8192;
    uint32_t Lookahead = 0;        // blocks read after a chunk for tests that cross its end
    uint64_t Limit = 0;            // blocks that exist: the look-ahead stops there
    unsigned Threads = 1;
    // Reads `count` blocks from `first`; false when they cannot all be read.
    std::function<bool(uint64_t first, uint32_t count, uint8_t* out)> Read;
    // Whether a chunk is worth reading at all (default: every one). Called on the reader thread.
    std::function<bool(uint64_t first, uint32_t count)> Wanted;
    std::function<void(TChunk&)> Prescan;  // on a worker thread, bytes only
  };

  TScanPipeline(std::mutex& deviceLock, TSetup setup) : deviceLock_(deviceLock), s_(std::move(setup)) {
    if (s_.Last < s_.First || s_.BlockBytes == 0) return;
    s_.ChunkBlocks = std::max<uint32_t>(s_.ChunkBlocks, 1);
    chunks_ = (s_.Last - s_.First) / s_.ChunkBlocks + 1;
    const unsigned threads = std::max(s_.Threads, 1u);
    // Enough chunks in flight for every worker and the reader to stay busy while the consumer works.
    slots_.resize(threads + 2);
    states_.assign(slots_.size(), TState::Free);
    sequence_.assign(slots_.size(), 0);
    threads_.emplace_back([this] { ReadLoop(); });
    for (unsigned t = 0; t < threads; ++t) threads_.emplace_back([this] { ScanLoop(); });
  }
  ~TScanPipeline() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    for (auto& t : threads_) t.join();
  }
  TScanPipeline(const TScanPipeline&) = delete;
  TScanPipeline& operator=(const TScanPipeline&) = delete;

  // The next chunk in order (the one before is given back), or nullptr after the last.
  TChunk* Next() {
    std::unique_lock<std::mutex> hold(lock_);
    if (holding_) {
      states_[(next_ - 1) % slots_.size()] = TState::Free;
      holding_ = false;
      changed_.notify_all();
    }
    if (next_ >= chunks_) return nullptr;
    const size_t slot = next_ % slots_.size();
    changed_.wait(hold, [&] { return states_[slot] == TState::Ready && sequence_[slot] == next_; });
    ++next_;
    holding_ = true;
    if (slots_[slot].Failure) std::rethrow_exception(slots_[slot].Failure);
    return &slots_[slot];
  }

 private:
  enum class TState : uint8_t { Free, Read, Scanning, Ready };

  void ReadLoop() {
    for (uint64_t k = 0; k < chunks_; ++k) {
      const size_t slot = k % slots_.size();
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return stop_ || states_[slot] == TState::Free; });
        if (stop_) return;
      }
      TChunk& c = slots_[slot];
      c.First = s_.First + k * s_.ChunkBlocks;
      c.Blocks = uint32_t(std::min<uint64_t>(s_.ChunkBlocks, s_.Last - c.First + 1));
      const uint64_t end = c.First + c.Blocks;
      const uint32_t more = uint32_t(std::min<uint64_t>(s_.Lookahead, s_.Limit > end ? s_.Limit - end : 0));
      c.Bytes.resize(size_t(c.Blocks + s_.Lookahead) * s_.BlockBytes);
      c.Failure = nullptr;
      try {
        c.Read = !s_.Wanted || s_.Wanted(c.First, c.Blocks);
        if (c.Read) {
          std::lock_guard<std::mutex> device(deviceLock_);
          c.Read = s_.Read(c.First, c.Blocks + more, c.Bytes.data());
        }
      } catch (...) {
        c.Failure = std::current_exception();
        c.Read = false;
      }
      std::memset(c.Bytes.data() + size_t(c.Blocks + more) * s_.BlockBytes, 0,
                  size_t(s_.Lookahead - more) * s_.BlockBytes);
      {
        std::lock_guard<std::mutex> hold(lock_);
        sequence_[slot] = k;
        states_[slot] = TState::Read;
      }
      changed_.notify_all();
      if (c.Failure) return;
    }
  }

  void ScanLoop() {
    for (;;) {
      size_t slot = 0;
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] {
          if (stop_) return true;
          // The oldest chunk first, so that the consumer is never kept waiting by a newer one.
          bool found = false;
          for (size_t s = 0; s < states_.size(); ++s)
            if (states_[s] == TState::Read && (!found || sequence_[s] < sequence_[slot])) {
              slot = s;
              found = true;
            }
          return found;
        });
        if (stop_) return;
        states_[slot] = TState::Scanning;
      }
      TChunk& c = slots_[slot];
      c.Looks.clear();
      try {
        if (c.Read && s_.Prescan) s_.Prescan(c);
      } catch (...) {
        c.Failure = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> hold(lock_);
        states_[slot] = TState::Ready;
      }
      changed_.notify_all();
    }
  }

  std::mutex& deviceLock_;
  TSetup s_;
  std::vector<TChunk> slots_;
  std::vector<TState> states_;
  std::vector<uint64_t> sequence_;  // which chunk a slot holds
  uint64_t chunks_ = 0, next_ = 0;
  bool holding_ = false, stop_ = false;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

}  // namespace salvex
