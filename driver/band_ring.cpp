#include "driver/band_ring.h"

#include <system_error>

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

BandRing::~BandRing() { Finish(); }

void BandRing::Start(TiffOutput* output, bool threaded) {
  output_ = output;
  if (!threaded) return;
  try {
    thread_ = platform::StartThread([this] { WriteLoop(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // no second thread: slower, but the same file
  }
}

uint8_t* BandRing::TakeBand() {
  std::unique_lock<std::mutex> lock(mutex_);
  bandFree_.wait(lock, [this] { return !failure_.ok() || !free_.empty(); });
  if (!failure_.ok()) return nullptr;
  uint8_t* band = free_.back();
  free_.pop_back();
  return band;
}

float* BandRing::FloatsOf(const uint8_t* band) const {
  return floats_ + static_cast<size_t>(band - block_.data()) / 4 * 3;
}

Status BandRing::Write(const Job& job) {
  float* floats = FloatsOf(job.band);
  if (!job.converted) ConvertBand(job.band, width_, job.place, how_, floats);
  return output_->WriteRows(floats, job.place.firstRow, job.place.count);
}

void BandRing::GiveBand(uint8_t* band, const BandPlace& place) {
  if (!threaded_) {
    const Status s = output_ ? Write(Job{band, place, false}) : Status{Result::kWriteFailed};
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.ok()) failure_ = s;
    free_.push_back(band);
    return;
  }
  bool writerBusy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writerBusy = !jobs_.empty();
  }
  // Bands waiting to be written: writing is the slower side just now.
  if (writerBusy) ConvertBand(band, width_, place, how_, FloatsOf(band));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{band, place, writerBusy});
  }
  jobReady_.notify_one();
}

void BandRing::WriteLoop() {
  // While the first bands are decoded, have the system make the ring's
  // pages ready (their contents stay as they are): fresh memory costs a
  // trap a page, which the kernel clears, dearly on virtual machines; here
  // it is off the decoding thread's way. (Measured: a tenth off a
  // 2048 x 1024 conversion.)
  platform::PrepareMemory(block_.data(), blockBytes_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    jobReady_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // closing, and everything written
    const Job job = jobs_.front();
    jobs_.pop_front();
    const bool skip = !failure_.ok();
    lock.unlock();
    // After a failure the rest is dropped: the file will not be kept.
    const Status s = skip ? Status{} : Write(job);
    lock.lock();
    if (failure_.ok()) failure_ = s;
    free_.push_back(job.band);
    bandFree_.notify_one();
  }
}

Status BandRing::Finish() {
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
  return output_ ? failure_ : Status{Result::kWriteFailed};
}
