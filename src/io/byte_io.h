// Checked byte I/O: every byte the program moves goes through a ByteReader or
// a ByteWriter. End of input and failed writes are failures, so callers never
// test a result. Sources and sinks are small interfaces so that the walk can
// be fed from files, pipes or memory alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "io/failure.h"

namespace retune::io {

inline constexpr char kEndOfInputMessage[] = "File format error: EOF encountered\n";
inline constexpr char kWriteErrorMessage[] = "File write error\n";

// Where bytes come from. read() returns 0 at end of input; a read error
// counts as end of input.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t read(uint8_t* buffer, size_t capacity) = 0;
  // The file descriptor behind the source, or -1.
  virtual int fd() const { return -1; }
};

// Where bytes go. write() returns false when not every byte could be written.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(const uint8_t* data, size_t size) = 0;
  // Whether bytes written may be written over later, by their offset from
  // the sink's first byte.
  virtual bool can_patch() const { return false; }
  virtual bool patch(uint64_t /*offset*/, const uint8_t* /*data*/, size_t /*size*/) { return false; }
};

class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  size_t read(uint8_t* buffer, size_t capacity) override;
  int fd() const override { return fd_; }

 private:
  int fd_;
};

class FdSink final : public ByteSink {
 public:
  // `fresh`: a regular file written from its start, which may be patched.
  explicit FdSink(int fd, bool fresh = false) : fd_(fd), fresh_(fresh) {}
  bool write(const uint8_t* data, size_t size) override;
  bool can_patch() const override { return fresh_; }
  bool patch(uint64_t offset, const uint8_t* data, size_t size) override;

 private:
  int fd_;
  bool fresh_;
};

// A whole input held in memory, for the modes that must see all of it.
class Bytes {
 public:
  Bytes() = default;
  // Implicit: a string in hand is a whole input too.
  Bytes(std::string bytes);
  Bytes(Bytes&& other) noexcept { *this = std::move(other); }
  Bytes& operator=(Bytes&& other) noexcept;
  ~Bytes();

  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  friend Bytes read_all(ByteSource& source);
  // Room for `capacity` bytes; a large input gets memory the kernel may back
  // with huge pages.
  char* make_room(size_t capacity);
  void release();

  std::string owned_;
  char* mapped_ = nullptr;
  size_t mapped_size_ = 0;
  const char* data_ = owned_.data();
  size_t size_ = 0;
};

// Everything `source` holds, to its end.
Bytes read_all(ByteSource& source);

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : rest_(bytes) {}
  size_t read(uint8_t* buffer, size_t capacity) override;

 private:
  std::string_view rest_;
};

class MemorySink final : public ByteSink {
 public:
  bool write(const uint8_t* data, size_t size) override;
  bool can_patch() const override { return true; }
  bool patch(uint64_t offset, const uint8_t* data, size_t size) override;
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Bytes set aside to be read back by where they went: the scratch file, so
// that an output built piece by piece need not stay in memory.
class Spool {
 public:
  virtual ~Spool() = default;
  // Appends `size` bytes; returns the offset where they start.
  virtual uint64_t append(const uint8_t* data, size_t size) = 0;
  // Writes the `size` bytes from `offset` to `out`.
  virtual void copy(uint64_t offset, uint64_t size, ByteSink& out) = 0;
};

// A spool in a file open for reading and writing; what it held before is
// written over.
class FdSpool final : public Spool {
 public:
  explicit FdSpool(int fd) : fd_(fd) {}
  uint64_t append(const uint8_t* data, size_t size) override;
  void copy(uint64_t offset, uint64_t size, ByteSink& out) override;

 private:
  int fd_;
  uint64_t end_ = 0;
};

class ByteWriter;

// Both buffers hold 256 KiB: fewer system calls than 128 KiB, while larger
// buffers, which no longer stay in the processor's cache, cost more time in
// the kernel. Plain reads and writes of that size also beat the in-kernel
// copy (copy_file_range) between files.
inline constexpr size_t kBufferSize = size_t{1} << 18;

class ByteReader {
 public:
  static constexpr size_t kBufferSize = io::kBufferSize;

  explicit ByteReader(ByteSource& source);

  uint8_t get() {
    if (next_ == end_) refill();
    return *next_++;
  }
  // The buffered bytes not read yet, [data(), end()): a window that a
  // reader may look into before it takes bytes with skip().
  const uint8_t* data() const { return next_; }
  const uint8_t* end() const { return end_; }
  void skip(size_t count) { next_ += count; }
  // Buffers at least `count` bytes (at most kBufferSize); false when the
  // input ends before.
  bool fill(size_t count);
  // Copies the next `count` bytes to `out`, a buffer at a time.
  void copy_to(ByteWriter& out, uint64_t count);
  // How many bytes have been read so far.
  uint64_t position() const { return consumed_ + static_cast<uint64_t>(next_ - buffer_.get()); }

 private:
  void refill();

  ByteSource& source_;
  uint64_t consumed_ = 0;  // bytes before the buffer's
  std::unique_ptr<uint8_t[]> buffer_;
  const uint8_t* next_;
  const uint8_t* end_;
};

class ByteWriter {
 public:
  static constexpr size_t kBufferSize = io::kBufferSize;

  explicit ByteWriter(ByteSink& sink);

  void put(uint8_t c) {
    if (next_ == end_) drain();
    *next_++ = c;
  }
  void write(const uint8_t* data, size_t size) {
    if (size <= static_cast<size_t>(end_ - next_)) {
      std::memcpy(next_, data, size);
      next_ += size;
    } else {
      write_through(data, size);
    }
  }
  // Hands every buffered byte to the sink; a failure is a write error.
  void flush();
  // Writes over `size` bytes written before, at `offset`: in the buffer
  // while they are still there (a small file's whole output is), else
  // through the sink; false where the sink cannot.
  bool patch(uint64_t offset, const uint8_t* data, size_t size);
  // For a writer that works on a local pointer: where the next byte goes,
  // with at least `count` bytes of room from there (count <= kBufferSize);
  // then advance_to() the byte after the last written.
  uint8_t* room(size_t count) {
    if (static_cast<size_t>(end_ - next_) < count) drain();
    return next_;
  }
  const uint8_t* limit() const { return end_; }
  // How many bytes have been written so far, buffered ones included.
  uint64_t position() const { return drained_ + static_cast<uint64_t>(next_ - buffer_.get()); }
  void advance_to(uint8_t* next) { next_ = next; }

 private:
  void drain();
  void write_through(const uint8_t* data, size_t size);

  ByteSink& sink_;
  uint64_t drained_ = 0;  // bytes handed to the sink
  std::unique_ptr<uint8_t[]> buffer_;
  uint8_t* next_;
  uint8_t* end_;
};

// The program's byte and big-endian integer primitives: writers take the
// value first and the stream last, readers take the stream.
inline uint8_t getb(ByteReader& fp) { return fp.get(); }
inline void putb(uint32_t c, ByteWriter& fp) { fp.put(static_cast<uint8_t>(c)); }
uint32_t getint(ByteReader& fp);
void putint(uint32_t i, ByteWriter& fp);
uint16_t getshort(ByteReader& fp);
void putshort(uint32_t i, ByteWriter& fp);

}  // namespace retune::io
