#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "io/byte_io.h"
#include "refusal.h"
#include "smf_builder.h"

using namespace retune::io;
using smf_test::hex;

namespace {

// Accepts `capacity` bytes, then fails every write.
class FullSink final : public ByteSink {
 public:
  explicit FullSink(size_t capacity) : room_(capacity) {}
  bool write(const uint8_t* data, size_t size) override {
    const size_t n = std::min(size, room_);
    bytes.append(reinterpret_cast<const char*>(data), n);
    room_ -= n;
    return n == size;
  }
  std::string bytes;

 private:
  size_t room_;
};

std::string written(const std::function<void(ByteWriter&)>& write) {
  MemorySink sink;
  ByteWriter out(sink);
  write(out);
  out.flush();
  return sink.bytes();
}

TEST(ByteIo, ReadsBigEndianFields) {
  const std::string bytes = hex("00 00 00 06 FF FF FF FF 12 34 FF FE 7F");
  MemorySource source(bytes);
  ByteReader in(source);
  EXPECT_EQ(getint(in), 6u);
  const uint32_t all_ones = getint(in);
  EXPECT_EQ(all_ones, 0xFFFFFFFFu);
  EXPECT_EQ(static_cast<int32_t>(all_ones), -1);
  EXPECT_EQ(getshort(in), 0x1234);
  EXPECT_EQ(getshort(in), 0xFFFE);
  EXPECT_EQ(getb(in), 0x7F);
}

TEST(ByteIo, WritesBigEndianFieldsKeepingLowBits) {
  EXPECT_EQ(written([](ByteWriter& o) { putint(0x01020304, o); }), hex("01 02 03 04"));
  EXPECT_EQ(written([](ByteWriter& o) { putshort(0x12345, o); }), hex("23 45"));
  EXPECT_EQ(written([](ByteWriter& o) { putb(0x1E0, o); }), hex("E0"));
  EXPECT_EQ(written([](ByteWriter& o) { putb(0xFF, o); }), hex("FF"));
}

TEST(ByteIo, EndOfInputInsideAFieldIsAFailure) {
  const std::function<void(ByteReader&)> reads[] = {
      [](ByteReader& in) { getint(in); },
      [](ByteReader& in) { getshort(in); },
      [](ByteReader& in) { getb(in); },
  };
  const std::string inputs[] = {hex("00 00 00"), hex("01"), ""};
  for (int i = 0; i < 3; ++i) {
    MemorySource source(inputs[i]);
    ByteReader in(source);
    const smf_test::Refusal r = smf_test::refusal([&] { reads[i](in); });
    EXPECT_EQ(r.message, "File format error: EOF encountered\n") << i;
    EXPECT_EQ(r.status, 255);
  }
}

TEST(ByteIo, FailedWriteIsReportedOnceAndKeepsWhatFit) {
  FullSink sink(3);
  ByteWriter out(sink);
  for (int i = 0; i < 10; ++i) putb(i, out);
  const smf_test::Refusal r = smf_test::refusal([&] { out.flush(); });
  EXPECT_EQ(r.message, "File write error\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(sink.bytes, hex("00 01 02"));
  EXPECT_NO_THROW(out.flush());
}

TEST(ByteIo, BlockCopyCrossesBufferBoundaries) {
  std::string data(ByteReader::kBufferSize * 2 + 77, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  MemorySource source(data);
  ByteReader in(source);
  MemorySink sink;
  ByteWriter out(sink);
  putb(getb(in), out);
  in.copy_to(out, data.size() - 2);
  putb(getb(in), out);
  out.flush();
  EXPECT_EQ(sink.bytes(), data);
  EXPECT_THROW(getb(in), Failure);
}

// Lengths patched after the fact land where they belong, whether the sink
// has the bytes already, the buffer still holds them, or they straddle both.
TEST(ByteIo, PatchReachesBufferAndSinkAlike) {
  constexpr size_t kFull = ByteWriter::kBufferSize;
  const struct {
    size_t length;  // zero bytes written first
    uint64_t offset;
    bool patched;
  } cases[] = {
      {6, 2, true}, {6, 6, false}, {6, 3, false}, {kFull + 2, 0, true}, {kFull + 2, kFull - 2, true},
      {kFull + 2, kFull - 3, true}, {kFull + 2, kFull - 1, false},
  };
  const std::string field = hex("01 02 03 04");
  for (const auto& c : cases) {
    MemorySink sink;
    ByteWriter out(sink);
    for (size_t i = 0; i < c.length; ++i) putb(0, out);
    EXPECT_EQ(out.patch(c.offset, reinterpret_cast<const uint8_t*>(field.data()), field.size()), c.patched)
        << c.length << " at " << c.offset;
    out.flush();
    std::string expected(c.length, '\0');
    if (c.patched) expected.replace(c.offset, field.size(), field);
    EXPECT_TRUE(sink.bytes() == expected) << c.length << " at " << c.offset;
  }
}

}  // namespace

// A source that serves `bytes` in pieces while its descriptor is a regular
// file of another size: a file that grew or shrank while it was read, or a
// pipe (no descriptor).
class ServingSource final : public ByteSource {
 public:
  ServingSource(std::string bytes, int fd) : bytes_(std::move(bytes)), fd_(fd) {}
  size_t read(uint8_t* buffer, size_t capacity) override {
    const size_t n = std::min({capacity, bytes_.size() - at_, size_t{1} << 20});
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }
  int fd() const override { return fd_; }

 private:
  std::string bytes_;
  size_t at_ = 0;
  int fd_;
};

TEST(ByteIo, ReadAllHoldsEveryByteWhateverTheSizeSaid) {
  struct Case {
    size_t said;   // the regular file's size at the start, or none (a pipe)
    size_t served;
  };
  const size_t kMiB = size_t{1} << 20;
  const Case cases[] = {
      {0, 0}, {10, 10}, {100, 100}, {100, 5 * kMiB},  // small (one held in the string itself), one that grew
      {3 * kMiB, 3 * kMiB},   {3 * kMiB, 7 * kMiB + 5},  {3 * kMiB, kMiB},  // large: as said, grown, shrunk
      {SIZE_MAX, 0},   {SIZE_MAX, 9 * kMiB + 1},
  };
  for (const Case& c : cases) {
    std::string bytes(c.served, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 7 + 1);
    FILE* file = c.said == SIZE_MAX ? nullptr : std::tmpfile();
    if (file) {
      ASSERT_EQ(ftruncate(fileno(file), static_cast<off_t>(c.said)), 0);
    }
    ServingSource source(bytes, file ? fileno(file) : -1);
    Bytes read = read_all(source);
    EXPECT_TRUE(std::string_view(read.data(), read.size()) == bytes) << c.said << " " << c.served;
    const Bytes moved = std::move(read);  // a short string moves its bytes, a mapping its pointer
    EXPECT_TRUE(std::string_view(moved.data(), moved.size()) == bytes) << c.said << " " << c.served;
    if (file) std::fclose(file);
  }
}
