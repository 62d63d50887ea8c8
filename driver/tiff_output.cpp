#include "driver/tiff_output.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace {

Status Refused() { return Status{Result::kWriteFailed, EINVAL}; }

}  // namespace

Status TiffOutput::Begin(const Status& opened) {
  given_.clear();
  givenTwice_ = false;
  if (!opened.ok()) return opened;
  const Status s = file_.WriteAt(layout_.Header().data(), layout_.Header().size(), 0);
  if (!s.ok()) file_.Abandon();
  return s;
}

Status TiffOutput::Start(const std::string& name) {
  if (!layout_.Valid()) return Refused();
  const Status s = file_.Start(name, layout_.FileSize());
  return s.ok() && !file_.InPlace() ? Begin(s) : s;
}

Status TiffOutput::OpenInPlace() { return Begin(file_.OpenInPlace()); }

// Notes rows first to first + count - 1 as given: false, noting nothing,
// when any lies outside the picture or was given before. Runs that touch
// are joined, so rows given in bands, in any order, keep a few runs.
bool TiffOutput::Give(int32_t first, int32_t count) {
  if (first < 0 || count < 0 || first > height_ - count) return false;
  if (count == 0) return true;
  int32_t end = first + count;
  auto next = given_.lower_bound(first);  // the first run starting at or after first
  auto before = next == given_.begin() ? given_.end() : std::prev(next);
  if ((next != given_.end() && next->first < end) || (before != given_.end() && before->second > first))
    return false;
  if (next != given_.end() && next->first == end) {
    end = next->second;
    given_.erase(next);
  }
  if (before != given_.end() && before->second == first)
    before->second = end;
  else
    given_.emplace(first, end);
  return true;
}

Status TiffOutput::WriteRows(const float* rows, int32_t first, int32_t count, int32_t left, int32_t right) {
  const size_t rowFloats = static_cast<size_t>(layout_.RowBytes() / sizeof(float));
  const int32_t width = static_cast<int32_t>(rowFloats / 3);
  right = std::min(right, width);
  if (left < 0 || left > right || ((left > 0 || right < width) && !CanSkipRows())) return Refused();
  if (!Give(first, count)) {
    givenTwice_ = true;
    return Refused();
  }
  const uint64_t at = layout_.PixelOffset() + static_cast<uint64_t>(first) * layout_.RowBytes();
  if (left == 0 && right == width) return WritePixels(&file_, rows, rowFloats * static_cast<size_t>(count), at);
  Status s;
  for (int32_t j = 0; j < count && s.ok(); ++j)
    s = WritePixels(&file_, rows + j * rowFloats + 3 * static_cast<size_t>(left), 3 * static_cast<size_t>(right - left),
                    at + j * layout_.RowBytes() + 12 * static_cast<uint64_t>(left));
  return s;
}

Status TiffOutput::SkipRows(int32_t first, int32_t count) {
  if (count > 0 && !CanSkipRows()) return Refused();
  if (!Give(first, count)) {
    givenTwice_ = true;
    return Refused();
  }
  return Status{};
}

Status TiffOutput::Finish() {
  // Every row must have been given once: a row forgotten would read as
  // zeros too, and nobody would know.
  const bool whole = !givenTwice_ && (height_ == 0 || (given_.size() == 1 && given_.begin()->first == 0 &&
                                                       given_.begin()->second == height_));
  Status s = whole ? Status{} : Refused();
  if (!s.ok()) {
    file_.Abandon();
    return s;
  }
  return file_.Commit();
}
