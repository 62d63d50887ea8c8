#include "driver/tiff_output.h"

#include <cerrno>
#include <iterator>

namespace {

Status Refused() { return Status{Result::kWriteFailed, EINVAL}; }

}  // namespace

Status TiffOutput::Begin(const Status& opened) {
  given_.clear();
  givenTwice_ = skipped_ = false;
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

Status TiffOutput::WriteRows(const float* rows, int32_t first, int32_t count) {
  if (!Give(first, count)) {
    givenTwice_ = true;
    return Refused();
  }
  return WritePixels(&file_, rows, static_cast<size_t>(layout_.RowBytes() / sizeof(float) * count),
                     layout_.PixelOffset() + static_cast<uint64_t>(first) * layout_.RowBytes());
}

Status TiffOutput::SkipRows(int32_t first, int32_t count) {
  if (count > 0 && !CanSkipRows()) return Refused();
  if (!Give(first, count)) {
    givenTwice_ = true;
    return Refused();
  }
  skipped_ = skipped_ || count > 0;
  return Status{};
}

Status TiffOutput::Finish() {
  // Every row must have been given once: a row forgotten would read as
  // zeros too, and nobody would know.
  const bool whole = !givenTwice_ && (height_ == 0 || (given_.size() == 1 && given_.begin()->first == 0 &&
                                                       given_.begin()->second == height_));
  Status s = whole ? Status{} : Refused();
  if (s.ok() && skipped_) s = file_.SetSize(layout_.FileSize());
  if (!s.ok()) {
    file_.Abandon();
    return s;
  }
  return file_.Commit();
}
