// Tests of the plan of a download in pieces: how a file is cut, which
// piece a connection is given, when the largest piece is halved, and the
// bytes a resumed piece repeats. The split-*.case files show the pieces
// asked for over the network.
#include "http/piece_plan.h"

#include <gtest/gtest.h>

#include <vector>

#include "http/file_identity.h"

namespace {

const int64_t kMiB = 1024 * 1024;

TEST(PiecePlan, CutsTakesAndHalves) {
  PiecePlan plan(10 * kMiB + 3, {});
  plan.cutInto(4);
  EXPECT_EQ(0, plan.take(0, true));
  const int64_t second = plan.take(1, true);
  EXPECT_EQ((10 * kMiB + 3) / 4, second);
  int64_t third = plan.take(2, true);
  int64_t fourth = plan.take(3, true);
  EXPECT_EQ(plan.at(third).end, fourth);
  EXPECT_EQ(10 * kMiB + 3, plan.at(fourth).end);
  // Every piece is owned: without halving one, there is nothing to take.
  EXPECT_EQ(-1, plan.take(4, false));
  plan.at(0).done = plan.at(0).end;
  plan.release(0);
  // The largest piece left is halved: its owner keeps the first half.
  plan.at(second).done += kMiB;
  plan.at(fourth).done += kMiB;
  const int64_t thirdEnd = plan.at(third).end;
  int64_t half = plan.take(0, true);
  EXPECT_EQ(third + (thirdEnd - third) / 2, half);
  EXPECT_EQ(thirdEnd, plan.at(half).end);
  EXPECT_EQ(half, plan.at(third).end);
  EXPECT_EQ(0, plan.at(half).owner);
  // Pieces too small to halve are left alone; a piece nobody owns comes
  // first.
  PiecePlan small(3 * kMiB, {});
  small.cutInto(2);
  small.take(0, true);
  small.take(1, true);
  EXPECT_EQ(-1, small.take(2, true));
  small.release(int64_t{3 * kMiB / 2});
  EXPECT_EQ(3 * kMiB / 2, small.take(2, true));
  // A file shorter than the count of pieces is cut into single bytes.
  PiecePlan tiny(3, {});
  tiny.cutInto(16);
  EXPECT_EQ(0, tiny.take(0, false));
  EXPECT_EQ(1, tiny.take(1, false));
  EXPECT_EQ(2, tiny.take(2, false));
  EXPECT_EQ(-1, tiny.take(3, false));
}

// A later run rebuilds the pieces from the bytes held: each run of bytes
// begins a piece that runs to the next one, and a resumed piece repeats up
// to kResumeOverlap of its bytes.
TEST(PiecePlan, PiecesRebuiltFromTheBytesHeld) {
  PiecePlan plan(1000000, {{100, 300000}, {500000, 500010}, {600000, 1000000}});
  EXPECT_EQ(300000 - 100 + 10 + 400000, plan.heldBytes());
  EXPECT_FALSE(plan.complete());
  std::vector<ByteRange> held = plan.held();
  ASSERT_EQ(3u, held.size());
  EXPECT_EQ(600000, held[2].start);
  EXPECT_EQ(0, plan.take(0, false));
  EXPECT_EQ(0, plan.overlap(0));
  EXPECT_EQ(100, plan.at(0).end);
  EXPECT_EQ(100, plan.take(1, false));
  EXPECT_EQ(kResumeOverlap, plan.overlap(100));
  EXPECT_EQ(500000, plan.at(100).end);
  EXPECT_EQ(500000, plan.take(2, false));
  EXPECT_EQ(10, plan.overlap(500000));
  EXPECT_EQ(-1, plan.take(3, false));
  // Runs that meet are one run again.
  plan.at(0).done = 100;
  EXPECT_EQ(0, plan.held()[0].start);
  EXPECT_EQ(300000, plan.held()[0].end);
}

}  // namespace
