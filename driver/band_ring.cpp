#include "driver/band_ring.h"

#include <system_error>
#include <thread>

BandRing::BandRing(int32_t width, int32_t rowsPerBand, int bands, const PixelConversion& how)
    : width_(width),
      how_(how),
      bandPixels_(static_cast<size_t>(rowsPerBand) * static_cast<size_t>(width)),
      blockBytes_(bandPixels_ * (4 + 3 * sizeof(float)) * static_cast<size_t>(bands)),
      block_(blockBytes_) {
  uint8_t* scanlines = block_.data();
  if (!scanlines) return;
  floats_ = reinterpret_cast<float*>(scanlines + bandPixels_ * 4 * static_cast<size_t>(bands));
  for (int b = 0; b < bands; ++b) free_.push_back(scanlines + static_cast<size_t>(b) * bandPixels_ * 4);
}

float* BandRing::FloatsOf(const uint8_t* band) const {
  return floats_ + static_cast<size_t>(band - block_.data()) / 4 * 3;
}

Status BandRing::Write(const Job& job) {
  float* floats = FloatsOf(job.band);
  if (!job.converted) ConvertBand(job.band, width_, job.place, how_, floats);
  return output_->WriteRows(floats, job.place.firstRow, job.place.count, job.place.left, job.place.right);
}

Status BandRing::Run(BandSource* source, TiffOutput* output, bool threaded) {
  source_ = source;
  output_ = output;
  std::thread second;
  if (threaded) {
    try {
      second = platform::StartThread([this] {
        // First have the system make the ring's pages ready (their contents
        // stay as they are): fresh memory costs a trap a page, which the
        // kernel clears, dearly on virtual machines. Meanwhile this
        // thread's partner takes and writes the first bands alone.
        platform::PrepareMemory(block_.data(), blockBytes_);
        Work();
      });
    } catch (const std::system_error&) {
      // No second thread: slower, but the same file.
    }
  }
  Work();
  if (second.joinable()) second.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

void BandRing::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!writing_ && !taken_.empty()) {
      const Job job = taken_.front();
      taken_.pop_front();
      writing_ = true;
      const bool skip = !failure_.ok();
      lock.unlock();
      // After a failure the rest is dropped: the file will not be kept.
      const Status s = skip ? Status{} : Write(job);
      lock.lock();
      writing_ = false;
      if (failure_.ok()) failure_ = s;
      free_.push_back(job.band);
      changed_.notify_all();
      continue;
    }
    if (!taking_ && !sourceEnded_ && failure_.ok() && !free_.empty()) {
      uint8_t* band = free_.back();
      free_.pop_back();
      taking_ = true;
      lock.unlock();
      BandPlace place;
      const bool taken = source_->Next(band, &place);
      lock.lock();
      bool converted = false;
      if (taken && writing_) {
        lock.unlock();
        ConvertBand(band, width_, place, how_, FloatsOf(band));
        converted = true;
        lock.lock();
      }
      taking_ = false;
      if (taken) {
        taken_.push_back(Job{band, place, converted});
      } else {
        free_.push_back(band);
        sourceEnded_ = true;
      }
      changed_.notify_all();
      continue;
    }
    if ((sourceEnded_ || !failure_.ok()) && !taking_ && !writing_ && taken_.empty()) return;
    changed_.wait(lock);
  }
}
