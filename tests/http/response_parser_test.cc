// The pure response parser: how a header block is judged and framed, and
// what the chunked decoder accepts and refuses, fed whole and one byte at a
// time.
// The session's use of it is shown by the end-to-end cases (chunked-*).
#include "http/response_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

struct FramingRow {
  const char* header;
  BodyFraming::Kind kind;
  int64_t length;
};

TEST(ResponseParserTest, FramingFollowsTheHeader) {
  const FramingRow rows[] = {
      {"HTTP/1.0 200 OK\r\ncontent-length:0\r\nX: 1", BodyFraming::kLength, 0},
      {"HTTP/1.0 200 OK\r\nContent-Length: x", BodyFraming::kUntilClose, 0},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked ", BodyFraming::kChunked, 0},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip", BodyFraming::kUntilClose, 0},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip",
       BodyFraming::kUntilClose, 0},
      {"HTTP/1.1 200 OK\r\nX-Transfer-Encoding: chunked", BodyFraming::kUntilClose, 0},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 5", BodyFraming::kNone, 0},
      {"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked", BodyFraming::kNone, 0},
  };
  for (const FramingRow& row : rows) {
    BodyFraming framing = framingOf(row.header);
    EXPECT_EQ(row.kind, framing.kind) << row.header;
    EXPECT_EQ(row.length, framing.length) << row.header;
  }
}

// Each block is scanned whole and as it grows byte by byte: the verdict
// must be the same.
TEST(ResponseParserTest, HeaderBlocksAreJudgedInTheOrderOfTheirBytes) {
  const struct {
    std::string block;
    HeaderScan scan;
  } rows[] = {
      {"HTTP/1.0 200\r\n\r\n\0\rbody"s, HeaderScan::kComplete},
      {"HTP/1.1 200 OK\r\n", HeaderScan::kNotHttp},
      {"HTTP/1.1 xyz\r\n", HeaderScan::kNotHttp},
      {"HTTP/11 200 OK\r\n", HeaderScan::kNotHttp},
      {"HTTP/1.1 20\r\n", HeaderScan::kNotHttp},
      {"HTTP/1.1 2000 OK\r\n", HeaderScan::kNotHttp},
      {"HTTP/1.1  200 OK\r\n", HeaderScan::kNotHttp},
      {"http/1.1 200 OK\r\n", HeaderScan::kNotHttp},
      {"SSH-2.0-x\n", HeaderScan::kNotHttp},
      {"SSH-2.0-x", HeaderScan::kNeedMore},
      {"SSH\r\n\0"s, HeaderScan::kNotHttp},
      {"SSH\0\r\n"s, HeaderScan::kMalformed},
      {"HTTP/1.1 200 OK\r\nA: \0\r\n\r\n"s, HeaderScan::kMalformed},
      {"HTTP/1.1 200 OK\r\nA: b\rc\r\n\r\n", HeaderScan::kMalformed},
      {"HTTP/1.1 200 OK\r", HeaderScan::kNeedMore},
  };
  for (const auto& row : rows) {
    const std::string& block = row.block;
    int32_t length = static_cast<int32_t>(block.size());
    int32_t end = -1;
    EXPECT_EQ(row.scan, scanHeaderBlock(block.data(), length, 0, &end)) << block;
    HeaderScan grown = HeaderScan::kNeedMore;
    for (int32_t n = 1; n <= length && grown == HeaderScan::kNeedMore; ++n) {
      grown = scanHeaderBlock(block.data(), n, n - 1, &end);
    }
    EXPECT_EQ(row.scan, grown) << block;
  }
}

TEST(ResponseParserTest, BytesMovedUnseenCountAsTheyWouldDecoded) {
  BodyFraming length;
  length.kind = BodyFraming::kLength;
  length.length = 10;
  BodyDecoder decoder(length);
  EXPECT_EQ(6u, decoder.skip(6));
  EXPECT_FALSE(decoder.complete());
  EXPECT_EQ(4u, decoder.skip(6));
  EXPECT_TRUE(decoder.complete());
  EXPECT_EQ(10, decoder.decoded());
  BodyDecoder untilClose;
  EXPECT_EQ(6u, untilClose.skip(6));
  EXPECT_FALSE(untilClose.complete());
}

struct DecodeRow {
  const char* input;
  const char* body;
  enum End { kOpen, kComplete, kMalformed } end;
};

// Decodes `input` whole and byte by byte; both must give the row's body and
// end.
void checkChunked(const DecodeRow& row) {
  BodyFraming chunked;
  chunked.kind = BodyFraming::kChunked;
  const std::string input(row.input);
  for (size_t piece : {input.size() + 1, static_cast<size_t>(1)}) {
    BodyDecoder decoder(chunked);
    std::string body;
    for (size_t at = 0; at < input.size(); at += piece) {
      std::string bytes = input.substr(at, piece);
      size_t n = decoder.decode(&bytes[0], bytes.size());
      body += bytes.substr(0, n);
    }
    EXPECT_EQ(row.body, body) << row.input << " in pieces of " << piece;
    EXPECT_EQ(row.end == DecodeRow::kComplete, decoder.complete()) << row.input;
    EXPECT_EQ(row.end == DecodeRow::kMalformed, decoder.malformed()) << row.input;
    EXPECT_EQ(static_cast<int64_t>(body.size()), decoder.decoded()) << row.input;
  }
}

TEST(ResponseParserTest, ChunkedBodies) {
  const DecodeRow rows[] = {
      {"5\r\nhello\r\n0\r\n\r\nafter", "hello", DecodeRow::kComplete},
      {"0000000000000003\r\nabc\r\n0\r\n\r\n", "abc", DecodeRow::kComplete},
      {"5\r\nhello\r\n0\r\nTrailer: 1\r\n", "hello", DecodeRow::kOpen},
      {"00000000000000003\r\nabc", "", DecodeRow::kMalformed},
      {"x\r\n", "", DecodeRow::kMalformed},
      {" 5\r\nhello", "", DecodeRow::kMalformed},
      {"5\nhello", "", DecodeRow::kMalformed},
      {"5 x\r\nhello", "", DecodeRow::kMalformed},
      {"3\r\nabcd\r\n", "abc", DecodeRow::kMalformed},
      {"0\r\n\r", "", DecodeRow::kOpen},
      {"0\r\n\rx", "", DecodeRow::kMalformed},
  };
  for (const DecodeRow& row : rows) checkChunked(row);
}

}  // namespace
