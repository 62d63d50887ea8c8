// The converter's TIFF, written a band of rows at a time and in any order
// into an OutputFile (whole or not at all), with rows the input held
// nothing of left a hole.
#ifndef CORVALIN_DRIVER_TIFF_OUTPUT_H
#define CORVALIN_DRIVER_TIFF_OUTPUT_H

#include <cstdint>
#include <map>
#include <string>

#include "driver/output_file.h"
#include "result/result.h"
#include "tiff/tif_writer.h"

class TiffOutput {
 public:
  // A file laid out as layout says, for a picture of height rows.
  TiffOutput(const TiffLayout& layout, int32_t height) : layout_(layout), height_(height) {}

  // Decides where name's file goes, as OutputFile does, and writes
  // everything before the pixels; a file to be written in place
  // (InPlace()) is opened, and that written, by OpenInPlace.
  Status Start(const std::string& name);
  bool InPlace() const { return file_.InPlace(); }
  Status OpenInPlace();

  // Writes count rows (count * width * 3 floats, top to bottom) as rows
  // first onwards, at their place in the file: only columns left to right
  // - 1 of them, the others being zeros left a hole (as SkipRows). Fails
  // for rows outside the picture or given before; a file written in place
  // that cannot seek (a FIFO) takes whole rows only, in order.
  Status WriteRows(const float* rows, int32_t first, int32_t count, int32_t left = 0, int32_t right = INT32_MAX);
  // Gives count rows from first as zeros never written: they are a hole,
  // which reads as zeros. Fails where the file cannot have holes (a FIFO, a device), and
  // for rows outside the picture or given before.
  Status SkipRows(int32_t first, int32_t count);
  bool CanSkipRows() const { return file_.CanHaveHoles(); }

  // Puts the file in place. Fails, dropping the file, unless every row was
  // given exactly once, written or skipped; and when extending the file,
  // the close or the replace failed.
  Status Finish();

 private:
  Status Begin(const Status& opened);
  bool Give(int32_t first, int32_t count);

  TiffLayout layout_;
  int32_t height_;
  OutputFile file_;
  // The rows given so far, as runs: first row -> one past the last.
  std::map<int32_t, int32_t> given_;
  bool givenTwice_ = false;  // a row given again, or outside the picture
};

#endif
