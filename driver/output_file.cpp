#include "driver/output_file.h"

#include <algorithm>
#include <cstring>

namespace {

// Temporary names beside t, the same for every conversion, which so finds
// those a killed one left: ".<name>.part<k>", the name cut at a whole
// character to fit 255 bytes (and so 255 UTF-16 units).
constexpr int kSlots = 8;
std::string Slot(const platform::OutputTarget& t, int k) {
  const std::string base = t.path.substr(t.folder.size());
  size_t n = std::min<size_t>(base.size(), 248);
  while (n > 0 && n < base.size() && (static_cast<unsigned char>(base[n]) & 0xC0) == 0x80) --n;
  return t.folder + "." + base.substr(0, n) + ".part" + static_cast<char>('0' + k);
}

// Whether the size bytes at p are all zeros; the first 64 bytes decide
// for nearly every block that is not.
bool AllZeros(const uint8_t* p, size_t size) {
  size_t k = 0;
  for (; k + 64 <= size; k += 64) {
    uint64_t w[8];
    std::memcpy(w, p + k, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) != 0) return false;
  }
  for (; k < size; ++k)
    if (p[k] != 0) return false;
  return true;
}

}  // namespace

Status OutputFile::Start(const std::string& name, uint64_t bytes) {
  Abandon();
  bytes_ = bytes;
  written_ = started_ = end_ = 0;
  target_ = platform::FindOutputTarget(name);
  inPlace_ = target_.kind == platform::PathKind::kOther;
  if (inPlace_) return Status{};
  if (!target_.writable.ok()) return target_.writable;
  const bool exists = target_.kind == platform::PathKind::kRegular;
  // The new file needs all its room while the old one still stands.
  uint64_t available = 0;
  if (platform::SpaceAvailable(target_.folder, &available) && available < bytes) return Status{Result::kNoSpace};
  for (int k = 0; k < kSlots; ++k) platform::RemoveUnheld(Slot(target_, k));
  Status s = file_.CreateUnnamed(target_.folder);
  unnamed_ = s.ok();
  for (int k = 0; !s.ok() && k < kSlots; ++k) {
    s = file_.CreateNamed(Slot(target_, k));
    if (!platform::NameTaken(s) && !platform::Refused(s)) break;
  }
  // Only a folder that refuses new files sends a file to be written in
  // place; on a full disk, say, that would destroy it.
  inPlace_ = !s.ok() && exists && platform::Refused(s);
  if (inPlace_) return Status{};
  if (s.ok() && exists) file_.TakeOver(target_.path);
  return s;
}

Status OutputFile::WriteAt(const void* data, size_t size, uint64_t offset) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  auto put = [&](size_t from, size_t to) {
    if (to == from) return Status{};
    end_ = std::max(end_, offset + to);
    return file_.WriteAt(bytes + from, to - from, offset + from);
  };
  // Written in place, the file is left to the system as any program's is.
  if (inPlace_) return put(0, size);
  // The bytes from at on are yet to be written; blocks of zeros are skipped.
  size_t at = 0;
  for (size_t k = 0; k < size;) {
    const size_t next = static_cast<size_t>(std::min<uint64_t>(size, (offset + k) / kBlock * kBlock + kBlock - offset));
    if (AllZeros(bytes + k, next - k)) {
      const Status s = put(at, k);
      if (!s.ok()) return s;
      at = next;
    }
    k = next;
  }
  const Status s = put(at, size);
  if (!s.ok()) return s;
  // The system writes a file out in pages (or larger aligned pieces, up to
  // kWholePieces); one written out before all its bytes are in would be
  // written again later, maybe after the name. So only what lies wholly
  // within the file's written start goes now, the rest at Commit.
  if (offset == written_) written_ = offset + size;
  const uint64_t whole = written_ / kWholePieces * kWholePieces;
  if (whole > started_) file_.StartWriteback(started_, whole - started_);
  started_ = std::max(started_, whole);
  return s;
}

Status OutputFile::Commit() {
  if (end_ < bytes_ && file_.CanHaveHoles()) {
    const Status s = file_.SetSize(bytes_);
    if (!s.ok()) {
      Abandon();
      return s;
    }
  }
  if (inPlace_) return file_.Close();
  file_.StartWriteback(started_, 0);  // all that is left
  if (unnamed_) {
    // A new name is taken at once; MoveTo then only closes the file (and
    // removes it, should that fail). A file cannot be linked over an old
    // one, so it takes a name of its own beside it first.
    Status s = file_.Link(target_.path);
    for (int k = 0; k < kSlots && platform::NameTaken(s); ++k) s = file_.Link(Slot(target_, k));
    if (!s.ok()) {
      file_.Close();
      return s;
    }
  }
  return file_.MoveTo(target_.path);
}
