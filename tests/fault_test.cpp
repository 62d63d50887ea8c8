// Broken inputs and failing outputs, run as the real program: every run must
// end with status 0 and a TIFF, or status 1 with a known message and no TIFF.
// A crash, a hang or a sanitizer report is neither.
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "messages.h"
#include "support.h"

namespace {

// Converts hdr in dir and checks that the run ended in a documented way:
// status 0 with a TIFF; status 1 with a TIFF after the early-end warning; or
// status 1 with a known message and no TIFF. A file cut short that still
// converts must say so.
void ExpectDocumentedOutcome(const TempDir& dir, const Bytes& hdr, const std::string& what,
                             bool cutShort = false) {
  const std::string failures[] = {text::kCorrupt, text::kNoResolution, text::kInvalidSize, text::kTooLarge,
                                  text::kNoMemory};
  WriteFile(dir / "f.hdr", hdr);
  std::remove((dir / "f.tif").c_str());
  const RunResult run = RunCorvalin(dir.path(), {"f.hdr"});
  const bool endedEarly = run.output.find(text::kEndedEarly) != std::string::npos;
  if (EndsWith(run.output, text::kFinished)) {
    EXPECT_EQ(run.status, endedEarly ? 1 : 0) << what << "\n" << run.output;
    if (cutShort) {
      EXPECT_TRUE(endedEarly) << what << "\n" << run.output;
    }
    EXPECT_TRUE(FileExists(dir / "f.tif")) << what;
    return;
  }
  ASSERT_EQ(run.status, 1) << what << ": not a status the program gives\n" << run.output;
  bool known = false;
  for (const std::string& message : failures) known = known || EndsWith(run.output, message);
  EXPECT_TRUE(known) << what << "\n" << run.output;
  EXPECT_FALSE(FileExists(dir / "f.tif")) << what;
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"f.hdr"}) << what;
}

Bytes Picture(Encoding encoding) { return GradientHdr(16, 3, encoding, 11); }

class FaultTest : public testing::TestWithParam<Encoding> {};

TEST_P(FaultTest, CutAtEveryOffset) {
  const Bytes full = Picture(GetParam());
  TempDir dir;
  for (size_t cut = 0; cut < full.size(); ++cut)
    ExpectDocumentedOutcome(dir, Bytes(full.begin(), full.begin() + cut), "cut at " + std::to_string(cut),
                            true);
}

TEST_P(FaultTest, EveryByteFlipped) {
  const Bytes full = Picture(GetParam());
  std::mt19937 rng(7);
  TempDir dir;
  for (size_t at = 0; at < full.size(); ++at) {
    Bytes changed = full;
    changed[at] ^= static_cast<uint8_t>(1 + rng() % 255);
    ExpectDocumentedOutcome(dir, changed, "byte " + std::to_string(at) + " changed");
  }
}

INSTANTIATE_TEST_SUITE_P(Encodings, FaultTest, testing::Values(Encoding::kRunLength, Encoding::kFlat),
                         [](const testing::TestParamInfo<Encoding>& info) {
                           return info.param == Encoding::kFlat ? "Flat" : "RunLength";
                         });

TEST(OutputFaultTest, FullDeviceReportsErrorAndLeavesItsLink) {
  TempDir dir;
  WriteFile(dir / "p.hdr", Picture(Encoding::kRunLength));
  ASSERT_EQ(symlink("/dev/full", (dir / "p.tif").c_str()), 0);
  const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(EndsWith(run.output, text::kProcessed + text::kWriteError))
      << run.output;
  struct stat st;
  ASSERT_EQ(lstat((dir / "p.tif").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"}));
}

}  // namespace
