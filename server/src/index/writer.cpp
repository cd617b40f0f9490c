#include "index/writer.h"

#include <cstdio>
#include <exception>
#include <system_error>
#include <utility>

namespace talvo {

IndexWriter::IndexWriter(const std::string& databasePath, const std::string& whose,
                         std::chrono::milliseconds interval, Take take,
                         const std::function<void(Store&)>& opened)
    : interval_(interval), take_(std::move(take)) {
  std::string error;
  store_ = Store::Open(databasePath, error);
  if (store_) {
    if (opened) opened(*store_);
    try {
      thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error& refused) {
      // A server under a thread limit still answers; only these writes wait for a restart.
      error = std::string("no thread: ") + refused.what();
      store_.reset();
    }
  }
  if (!store_) std::fprintf(stderr, "%s: kept in memory only: %s\n", whose.c_str(), error.c_str());
}

IndexWriter::~IndexWriter() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void IndexWriter::Wake() {
  {
    const std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_one();
}

void IndexWriter::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto ready = [this] { return stopping_ || woken_; };
    if (interval_ == kWhenWoken)
      wake_.wait(lock, ready);
    else
      wake_.wait_for(lock, interval_, ready);
    woken_ = false;
    const bool last = stopping_;
    // The owner goes on handing work while the index keeps this batch waiting.
    lock.unlock();
    try {
      WriteBatch();
    } catch (const std::exception& failed) {
      // Out of memory, most likely: this batch is lost, the next may fare better.
      std::fprintf(stderr, "index: a batch not written: %s\n", failed.what());
    }
    lock.lock();
    if (last) return;
  }
}

void IndexWriter::WriteBatch() {
  Batch batch = take_();
  if (batch.size == 0) return;
  const bool written = store_->Begin() && batch.write(*store_) && store_->Commit();
  if (!written) {
    store_->Rollback();
    dropped_ += batch.size;
  }
  if (batch.done) batch.done(written);
}

}  // namespace talvo
