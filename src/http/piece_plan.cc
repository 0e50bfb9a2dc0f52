// The pieces of a file fetched over several connections.
#include "http/piece_plan.h"

#include "http/file_identity.h"

PiecePlan::PiecePlan(int64_t length, const std::vector<ByteRange>& held) : length_(length) {
  int64_t from = 0;
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i].start > from) pieces_[from] = Piece{from, from, held[i].start, kNoOwner};
    int64_t end = i + 1 < held.size() ? held[i + 1].start : length;
    pieces_[held[i].start] = Piece{held[i].start, held[i].end, end, kNoOwner};
    from = end;
  }
  if (from < length) pieces_[from] = Piece{from, from, length, kNoOwner};
}

void PiecePlan::cutInto(int count) {
  if (count > length_) count = static_cast<int>(length_);
  pieces_.clear();
  for (int i = 0; i < count; ++i) {
    int64_t start = length_ * i / count;
    int64_t end = length_ * (i + 1) / count;
    pieces_[start] = Piece{start, start, end, kNoOwner};
  }
}

int64_t PiecePlan::heldBytes() const {
  int64_t bytes = 0;
  for (const auto& entry : pieces_) bytes += entry.second.done - entry.second.start;
  return bytes;
}

std::vector<ByteRange> PiecePlan::held() const {
  std::vector<ByteRange> ranges;
  for (const auto& entry : pieces_) {
    const Piece& piece = entry.second;
    if (piece.done == piece.start) continue;
    if (!ranges.empty() && ranges.back().end == piece.start) {
      ranges.back().end = piece.done;
    } else {
      ranges.push_back(ByteRange{piece.start, piece.done});
    }
  }
  return ranges;
}

Piece* PiecePlan::next(int64_t start) {
  auto found = pieces_.upper_bound(start);
  return found != pieces_.end() ? &found->second : nullptr;
}

int64_t PiecePlan::take(int owner, bool mayCut) {
  Piece* largest = nullptr;
  for (auto& entry : pieces_) {
    Piece& piece = entry.second;
    if (piece.left() == 0) continue;
    if (piece.owner == kNoOwner) {
      piece.owner = owner;
      return piece.start;
    }
    if (largest == nullptr || piece.left() > largest->left()) largest = &piece;
  }
  if (!mayCut || largest == nullptr || largest->left() < 2 * kMinPieceHalf) return -1;
  int64_t half = largest->done + largest->left() / 2;
  pieces_[half] = Piece{half, half, largest->end, owner};
  largest->end = half;
  return half;
}

int64_t PiecePlan::overlap(int64_t start) {
  int64_t fetched = at(start).done - start;
  return fetched < kResumeOverlap ? fetched : kResumeOverlap;
}
