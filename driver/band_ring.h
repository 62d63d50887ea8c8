// Writing bands of rows on a second thread while the next ones are decoded.
//
// A few bands circulate. A band belongs to the decoding thread from
// TakeBand until GiveBand, then to the writing thread until its rows are in
// the file, then it is free again. One mutex guards the two queues; nothing
// else is shared. A failed write is a value read after Finish.
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
#include "tiff/tif_writer.h"

class BandRing : public BandSink {
 public:
  // Room for bands bands of BandRows(width) rows. Allocated() tells
  // whether it could be had.
  BandRing(int32_t width, int bands);
  ~BandRing() override;
  BandRing(const BandRing&) = delete;
  BandRing& operator=(const BandRing&) = delete;

  bool Allocated() const { return memory_ != nullptr; }

  // Bands given from now on go to writer's WriteRows, on a thread of their
  // own (or, if no thread can be started, at once in the giving thread).
  void Start(TIFWriter* writer);

  float* TakeBand() override;
  void GiveBand(float* band, int32_t firstRow, int32_t count) override;

  // Waits until every band given is written and ends the thread. True when
  // every write succeeded.
  bool Finish();

 private:
  struct Job {
    float* band;
    int32_t firstRow, count;
  };
  void WriteLoop();

  float* memory_ = nullptr;
  TIFWriter* writer_ = nullptr;
  std::thread thread_;
  bool threaded_ = false;

  std::mutex mutex_;
  std::condition_variable bandFree_, jobReady_;
  std::vector<float*> free_;  // guarded by mutex_
  std::deque<Job> jobs_;      // guarded by mutex_
  bool closing_ = false;      // guarded by mutex_
  bool failed_ = false;       // guarded by mutex_
};

#endif
