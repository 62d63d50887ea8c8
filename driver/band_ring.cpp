#include "driver/band_ring.h"

#include <cstdlib>
#include <system_error>

BandRing::BandRing(int32_t width, int bands) {
  const size_t bandFloats = static_cast<size_t>(BandRows(width)) * static_cast<size_t>(width) * 3;
  memory_ = static_cast<float*>(std::malloc(bandFloats * sizeof(float) * static_cast<size_t>(bands)));
  if (!memory_) return;
  for (int b = 0; b < bands; ++b) free_.push_back(memory_ + static_cast<size_t>(b) * bandFloats);
}

BandRing::~BandRing() {
  Finish();
  std::free(memory_);
}

void BandRing::Start(TIFWriter* writer) {
  writer_ = writer;
  try {
    thread_ = std::thread(&BandRing::WriteLoop, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // no second thread: slower, but the same file
  }
}

float* BandRing::TakeBand() {
  std::unique_lock<std::mutex> lock(mutex_);
  bandFree_.wait(lock, [this] { return failed_ || !free_.empty(); });
  if (failed_) return nullptr;
  float* band = free_.back();
  free_.pop_back();
  return band;
}

void BandRing::GiveBand(float* band, int32_t firstRow, int32_t count) {
  if (!threaded_) {
    const bool ok = writer_ && writer_->WriteRows(band, firstRow, count);
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = failed_ || !ok;
    free_.push_back(band);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{band, firstRow, count});
  }
  jobReady_.notify_one();
}

void BandRing::WriteLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    jobReady_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // closing, and everything written
    const Job job = jobs_.front();
    jobs_.pop_front();
    const bool skip = failed_;
    lock.unlock();
    // After a failure the rest is dropped: the file will not be kept.
    const bool ok = skip || writer_->WriteRows(job.band, job.firstRow, job.count);
    lock.lock();
    failed_ = failed_ || !ok;
    free_.push_back(job.band);
    bandFree_.notify_one();
  }
}

bool BandRing::Finish() {
  if (threaded_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    jobReady_.notify_one();
    thread_.join();
    threaded_ = false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return writer_ != nullptr && !failed_;
}
