// PiecePlan: a file fetched over several connections at once, cut into
// pieces that each connection fills from its start on. It says which bytes
// are held, hands pieces to connections, and cuts the largest piece in two
// when a connection has nothing left to do, so that all end together.
#ifndef QUORVANE_HTTP_PIECE_PLAN_H_
#define QUORVANE_HTTP_PIECE_PLAN_H_

#include <cstdint>
#include <map>
#include <vector>

#include "http/file_identity.h"

// A piece is cut in two only when each half would hold at least this much:
// a new connection costs a round trip or two, which a smaller half would
// not win back.
const int64_t kMinPieceHalf = 1024 * 1024;

// No piece is owned: a connection may take it.
const int kNoOwner = -1;

// One piece: the bytes from `start` to `end`, of which those before `done`
// are in the file.
struct Piece {
  int64_t start = 0;
  int64_t done = 0;
  int64_t end = 0;
  int owner = kNoOwner;
  int64_t left() const { return end - done; }
};

class PiecePlan {
 public:
  // A file of `length` bytes of which the sorted, disjoint `held` ranges
  // are in the file already: each held range begins a piece that runs to
  // the next one (or the end), and the bytes before the first held range
  // are a piece of their own. REQUIRES: length > 0; the ranges lie within.
  PiecePlan(int64_t length, const std::vector<ByteRange>& held);

  // Cuts a file of which nothing is held into `count` pieces of about
  // equal size (fewer when the length has fewer bytes).
  // REQUIRES: heldBytes() == 0, no piece owned, count >= 1.
  void cutInto(int count);

  int64_t length() const { return length_; }
  // The bytes in the file, and whether the file is whole.
  int64_t heldBytes() const;
  bool complete() const { return heldBytes() == length_; }
  // The bytes in the file as sorted ranges, neighbours joined.
  std::vector<ByteRange> held() const;

  // The piece that starts at `start`. REQUIRES: there is one.
  Piece& at(int64_t start) { return pieces_.at(start); }
  // The piece that follows the one that starts at `start`; null at the end.
  Piece* next(int64_t start);

  // Gives `owner` a piece: the first unfinished one that nobody owns, or,
  // with `mayCut`, the second half of the owned piece with the most bytes
  // left (when both halves hold at least kMinPieceHalf; the owner of the
  // first half keeps it and stops where it ends). Returns the start of the
  // piece given, or -1 when there is none.
  int64_t take(int owner, bool mayCut);
  // The piece that starts at `start` has no owner any more.
  void release(int64_t start) { at(start).owner = kNoOwner; }
  // The bytes a request that resumes the piece at `start` repeats: those of
  // the piece already in the file, at most kResumeOverlap.
  int64_t overlap(int64_t start);

 private:
  int64_t length_;
  std::map<int64_t, Piece> pieces_;
};

#endif  // QUORVANE_HTTP_PIECE_PLAN_H_
