// Converting and writing bands of rows on a second thread while the next
// ones are decoded.
//
// A few bands circulate, each room for RGBE scanlines and for their floats.
// A band belongs to the decoding thread from TakeBand until GiveBand, then
// to the writing thread until its rows are in the file, then it is free
// again. One mutex guards the two queues; nothing else is shared. A failed
// write is a value read after Finish.
//
// Converting a band to floats is done by whichever thread has time: the
// decoding thread converts the band it hands over when bands are already
// waiting to be written, and leaves it to the writing thread otherwise. So
// the two threads share the work whether decoding or writing is slower.
#ifndef CORVALIN_DRIVER_BAND_RING_H
#define CORVALIN_DRIVER_BAND_RING_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/converter.h"
#include "driver/tiff_output.h"
#include "platform/platform.h"

class BandRing : public BandSink {
 public:
  // Room for bands bands of rowsPerBand scanlines and their floats.
  // Allocated() tells whether it could be had. how: how pixels become floats.
  BandRing(int32_t width, int32_t rowsPerBand, int bands, const PixelConversion& how);
  ~BandRing() override;
  BandRing(const BandRing&) = delete;
  BandRing& operator=(const BandRing&) = delete;

  bool Allocated() const { return block_.data() != nullptr; }

  // Bands given from now on go to output's WriteRows, on a thread of their
  // own when threaded (and one can be started), else at once in the giving
  // thread.
  void Start(TiffOutput* output, bool threaded = true);

  uint8_t* TakeBand() override;
  void GiveBand(uint8_t* band, const BandPlace& place) override;

  // Waits until every band given is written and ends the thread. The first
  // failure, if a write failed (kWriteFailed before Start).
  Status Finish();

 private:
  struct Job {
    uint8_t* band;
    BandPlace place;
    bool converted;  // its floats are ready
  };
  void WriteLoop();
  float* FloatsOf(const uint8_t* band) const;
  Status Write(const Job& job);

  int32_t width_;
  PixelConversion how_;
  size_t bandPixels_;
  size_t blockBytes_;
  platform::LargeBlock block_;        // the bands' scanlines, then their floats
  float* floats_ = nullptr;  // the bands' floats, in the same order
  TiffOutput* output_ = nullptr;
  std::thread thread_;
  bool threaded_ = false;

  std::mutex mutex_;
  std::condition_variable bandFree_, jobReady_;
  std::vector<uint8_t*> free_;  // guarded by mutex_
  std::deque<Job> jobs_;      // guarded by mutex_
  bool closing_ = false;      // guarded by mutex_
  Status failure_;            // guarded by mutex_: the first write that failed
};

#endif
