#include "io/byte_io.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace retune::io {

size_t FdSource::read(uint8_t* buffer, size_t capacity) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return 0;
  }
}

bool FdSink::write(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool FdSink::patch(uint64_t offset, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

size_t MemorySource::read(uint8_t* buffer, size_t capacity) {
  const size_t n = std::min(capacity, rest_.size());
  std::memcpy(buffer, rest_.data(), n);
  rest_.remove_prefix(n);
  return n;
}

namespace {

// From this size on an input's memory is asked for in huge pages: on a
// virtual machine, faulting in a 64 MB buffer page by page took ten times
// longer than reading the file into it.
constexpr size_t kHugePage = size_t{1} << 21;

}  // namespace

Bytes::Bytes(std::string bytes) : owned_(std::move(bytes)), data_(owned_.data()), size_(owned_.size()) {}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
  if (this == &other) return *this;
  release();
  owned_ = std::move(other.owned_);
  mapped_ = std::exchange(other.mapped_, nullptr);
  mapped_size_ = std::exchange(other.mapped_size_, 0);
  data_ = mapped_ ? mapped_ : owned_.data();
  size_ = std::exchange(other.size_, 0);
  other.data_ = other.owned_.data();
  return *this;
}

Bytes::~Bytes() { release(); }

void Bytes::release() {
  if (mapped_) ::munmap(mapped_, mapped_size_);
  mapped_ = nullptr;
  mapped_size_ = 0;
}

char* Bytes::make_room(size_t capacity) {
  if (capacity >= kHugePage) {
    const size_t size = (capacity + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      ::madvise(p, size, MADV_HUGEPAGE);  // advice only: without it the pages are small
      mapped_ = static_cast<char*>(p);
      mapped_size_ = size;
      data_ = mapped_;
      return mapped_;
    }
  }
  owned_.resize(capacity);
  data_ = owned_.data();
  return owned_.data();
}

Bytes read_all(ByteSource& source) {
  // A regular file's size is known: one more byte finds its end.
  struct stat st;
  const bool sized = source.fd() >= 0 && fstat(source.fd(), &st) == 0 && S_ISREG(st.st_mode);
  Bytes bytes;
  size_t capacity = sized ? static_cast<size_t>(st.st_size) + 1 : size_t{1} << 16;
  char* room = bytes.make_room(capacity);
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      // It grew, or came through a pipe: on in a string that doubles.
      if (bytes.mapped_) bytes.owned_.assign(room, size);
      capacity *= 2;
      bytes.release();
      bytes.owned_.resize(capacity);
      room = bytes.owned_.data();
    }
    const size_t n = source.read(reinterpret_cast<uint8_t*>(room) + size, capacity - size);
    if (n == 0) break;
    size += n;
  }
  if (!bytes.mapped_) bytes.owned_.resize(size);
  bytes.data_ = bytes.mapped_ ? bytes.mapped_ : bytes.owned_.data();
  bytes.size_ = size;
  return bytes;
}

bool MemorySink::write(const uint8_t* data, size_t size) {
  bytes_.append(reinterpret_cast<const char*>(data), size);
  return true;
}

uint64_t FdSpool::append(const uint8_t* data, size_t size) {
  const uint64_t at = end_;
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(end_));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Failure(kExitIoError, kWriteErrorMessage);
    data += n;
    size -= static_cast<size_t>(n);
    end_ += static_cast<uint64_t>(n);
  }
  return at;
}

void FdSpool::copy(uint64_t offset, uint64_t size, ByteSink& out) {
  const size_t capacity = static_cast<size_t>(std::min<uint64_t>(size, kBufferSize));
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
  while (size > 0) {
    const ssize_t n = ::pread(fd_, buffer.get(), static_cast<size_t>(std::min<uint64_t>(size, capacity)),
                              static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Failure(kExitIoError, kEndOfInputMessage);
    if (!out.write(buffer.get(), static_cast<size_t>(n))) throw Failure(kExitIoError, kWriteErrorMessage);
    offset += static_cast<uint64_t>(n);
    size -= static_cast<uint64_t>(n);
  }
}

bool MemorySink::patch(uint64_t offset, const uint8_t* data, size_t size) {
  if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
  std::memcpy(bytes_.data() + offset, data, size);
  return true;
}

ByteReader::ByteReader(ByteSource& source)
    : source_(source), buffer_(new uint8_t[kBufferSize]), next_(buffer_.get()), end_(buffer_.get()) {}

void ByteReader::refill() {
  const size_t n = source_.read(buffer_.get(), kBufferSize);
  if (n == 0) throw Failure(kExitIoError, kEndOfInputMessage);
  consumed_ += static_cast<uint64_t>(end_ - buffer_.get());
  next_ = buffer_.get();
  end_ = next_ + n;
}

bool ByteReader::fill(size_t count) {
  size_t have = static_cast<size_t>(end_ - next_);
  if (have >= count) return true;
  uint8_t* const front = buffer_.get();
  consumed_ += static_cast<uint64_t>(next_ - front);
  std::memmove(front, next_, have);
  next_ = front;
  end_ = front + have;
  while (have < count) {
    const size_t n = source_.read(front + have, kBufferSize - have);
    if (n == 0) return false;
    have += n;
    end_ = front + have;
  }
  return true;
}

void ByteReader::copy_to(ByteWriter& out, uint64_t count) {
  while (count > 0) {
    if (next_ == end_) refill();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, static_cast<uint64_t>(end_ - next_)));
    out.write(next_, n);
    next_ += n;
    count -= n;
  }
}

ByteWriter::ByteWriter(ByteSink& sink)
    : sink_(sink), buffer_(new uint8_t[kBufferSize]), next_(buffer_.get()), end_(buffer_.get() + kBufferSize) {}

void ByteWriter::drain() {
  const size_t pending = static_cast<size_t>(next_ - buffer_.get());
  // Whatever happens, the buffer is empty afterwards: a failed write is
  // reported once, not again at every later flush.
  next_ = buffer_.get();
  drained_ += pending;
  if (pending > 0 && !sink_.write(buffer_.get(), pending)) throw Failure(kExitIoError, kWriteErrorMessage);
}

void ByteWriter::write_through(const uint8_t* data, size_t size) {
  drain();
  if (size >= kBufferSize) {
    drained_ += size;
    if (!sink_.write(data, size)) throw Failure(kExitIoError, kWriteErrorMessage);
    return;
  }
  std::memcpy(next_, data, size);
  next_ += size;
}

void ByteWriter::flush() { drain(); }

bool ByteWriter::patch(uint64_t offset, const uint8_t* data, size_t size) {
  if (offset > position() || size > position() - offset) return false;
  // The part the sink has, then the part still in the buffer.
  const size_t drained = offset < drained_ ? static_cast<size_t>(std::min<uint64_t>(size, drained_ - offset)) : 0;
  if (drained > 0 && !sink_.patch(offset, data, drained)) return false;
  std::memcpy(buffer_.get() + (offset + drained - drained_), data + drained, size - drained);
  return true;
}

uint32_t getint(ByteReader& fp) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | getb(fp);
  return value;
}

void putint(uint32_t i, ByteWriter& fp) {
  putb(i >> 24, fp);
  putb(i >> 16, fp);
  putb(i >> 8, fp);
  putb(i, fp);
}

uint16_t getshort(ByteReader& fp) {
  const uint32_t high = getb(fp);
  return static_cast<uint16_t>((high << 8) | getb(fp));
}

void putshort(uint32_t i, ByteWriter& fp) {
  putb(i >> 8, fp);
  putb(i, fp);
}

}  // namespace retune::io
