// Bands of rows from a BandSource, converted and written to their places
// in the TIFF, on up to two threads.
//
// A few bands circulate, each room for RGBE scanlines and for their floats.
// The work on a band comes in two steps: taking it from the source
// (decoding), and writing it (converting it to floats first, unless that
// was done). Each thread runs the same loop: write the oldest band taken
// if nobody is writing, else take the next band if nobody is taking one
// and a band is free, else wait. One thread takes bands at a time, in
// order, and one writes at a time. So the file never waits for a thread
// to be woken: the one that is running does what comes next, and a second
// thread, when it runs, does the other step beside it. Writing comes first
// because the file is what the conversion waits for.
//
// A band taken while the other thread is writing is converted at once by
// the thread that took it: writing is the slower side just now. Otherwise
// the writing thread converts it.
//
// One mutex guards the queues and the flags; nothing else is shared, and
// the source and the output are only used by the thread whose step it is.
// A failed write is the value Run returns; the bands after it are not
// taken, and those taken are dropped.
#ifndef CORVALIN_DRIVER_BAND_RING_H
#define CORVALIN_DRIVER_BAND_RING_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "driver/bands.h"
#include "driver/tiff_output.h"
#include "platform/platform.h"

class BandRing {
 public:
  // Room for bands bands of rowsPerBand scanlines and their floats.
  // Allocated() tells whether it could be had. how: how pixels become floats.
  BandRing(int32_t width, int32_t rowsPerBand, int bands, const PixelConversion& how);
  BandRing(const BandRing&) = delete;
  BandRing& operator=(const BandRing&) = delete;

  bool Allocated() const { return block_.data() != nullptr; }

  // Takes every band from source and writes it to output, on a second
  // thread as well when threaded (and one can be started). Returns
  // once all is written, or at the first failure, which it returns.
  Status Run(BandSource* source, TiffOutput* output, bool threaded);

 private:
  struct Job {
    uint8_t* band;
    BandPlace place;
    bool converted;  // its floats are ready
  };
  void Work();
  float* FloatsOf(const uint8_t* band) const;
  Status Write(const Job& job);

  int32_t width_;
  PixelConversion how_;
  size_t bandPixels_;
  size_t blockBytes_;
  platform::LargeBlock block_;  // the bands' scanlines, then their floats
  float* floats_ = nullptr;     // the bands' floats, in the same order
  BandSource* source_ = nullptr;
  TiffOutput* output_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;  // any of the below changed
  std::vector<uint8_t*> free_;       // guarded by mutex_
  std::deque<Job> taken_;            // guarded by mutex_: waiting to be written
  bool taking_ = false;              // guarded by mutex_: a thread is in source_->Next
  bool writing_ = false;             // guarded by mutex_: a thread is writing
  bool sourceEnded_ = false;         // guarded by mutex_
  Status failure_;                   // guarded by mutex_: the first write that failed
};

#endif
