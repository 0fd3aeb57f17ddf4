#include "smf/smf_file.h"

#include <algorithm>

namespace retune::smf {

namespace {

constexpr uint64_t kMaxDelta = 0x0FFFFFFF;  // four bytes of seven bits

[[noreturn]] void end_of_input() { throw io::Failure(io::kExitIoError, io::kEndOfInputMessage); }

// Reads the file's fields in order; running out of bytes is a failure.
class Cursor {
 public:
  explicit Cursor(const io::Bytes& bytes)
      : base_(reinterpret_cast<const uint8_t*>(bytes.data())), size_(bytes.size()) {}

  const uint8_t* take(size_t count) {
    if (size_ - pos_ < count) end_of_input();
    pos_ += count;
    return base_ + pos_ - count;
  }
  uint32_t u32() {
    const uint8_t* b = take(4);
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  }
  // Walks the events of a track declared `declared` bytes long.
  void walk_events(uint32_t declared, EventReader& reader) {
    // A length of 2^31 or more counts as negative: nothing to walk.
    const int32_t limit = static_cast<int32_t>(declared);
    if (limit <= 0) return;
    const size_t stop = pos_ + static_cast<size_t>(limit);
    while (pos_ < stop) {
      // Channel messages, the bulk, while a whole head is in the buffer:
      // read_channel() fails them as read() would.
      if (Event channel; size_ - pos_ >= kLongestHead && reader.read_channel(base_ + pos_, channel)) {
        pos_ += channel.head_size;
        continue;
      }
      Event event;
      if (!reader.read(base_ + pos_, base_ + size_, event)) end_of_input();
      if (event.size() > size_ - pos_) end_of_input();
      pos_ += static_cast<size_t>(event.size());
    }
  }
  size_t pos() const { return pos_; }
  size_t size() const { return size_; }

 private:
  const uint8_t* base_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

File read_file(io::Bytes bytes) {
  File file;
  file.bytes = std::move(bytes);
  const Messages& messages = kPass1Messages;
  // The header is checked as the streaming pass checks it.
  io::MemorySource source(std::string_view(file.bytes.data(), file.bytes.size()).substr(0, kHeaderChunkSize));
  io::ByteReader header_in(source);
  io::MemorySink header_copy;
  io::ByteWriter header_out(header_copy);
  const Header header = copy_header_chunk(header_in, header_out, messages);
  file.format = static_cast<uint16_t>(header.format);
  file.division = header.division;
  const int ntracks = header.ntracks;
  Cursor in(file.bytes);
  in.take(kHeaderChunkSize);

  EventReader reader;
  while (static_cast<int>(file.tracks.size()) < ntracks) {
    const size_t chunk = in.pos();
    const uint8_t* type = in.take(4);
    if (chunk_kind(type, static_cast<int>(file.tracks.size()), messages) == Chunk::kAlien) {
      in.take(in.u32());
      file.blocks.push_back({chunk, in.pos(), file.tracks.size()});
      continue;
    }
    const uint32_t declared = in.u32();
    Track track{in.pos(), 0, reader};
    in.walk_events(declared, reader);
    track.end = in.pos();
    file.tracks.push_back(track);
  }
  if (in.pos() < in.size()) file.blocks.push_back({in.pos(), in.size(), file.tracks.size()});
  return file;
}

TrackEvents::TrackEvents(const File& file, const Track& track)
    : p_(reinterpret_cast<const uint8_t*>(file.bytes.data()) + track.begin),
      end_(reinterpret_cast<const uint8_t*>(file.bytes.data()) + track.end),
      bytes_end_(reinterpret_cast<const uint8_t*>(file.bytes.data()) + file.bytes.size()),
      reader_(track.reader) {}

void TrackEvents::read_other(Event& event) { reader_.read(p_, end_, event); }

std::vector<std::vector<size_t>> timelines(const File& file) {
  std::vector<std::vector<size_t>> lists;
  if (file.format == kIndependentTracks) {
    for (size_t t = 0; t < file.tracks.size(); ++t) lists.push_back({t});
  } else {
    lists.emplace_back(file.tracks.size());
    for (size_t t = 0; t < file.tracks.size(); ++t) lists.back()[t] = t;
  }
  return lists;
}

MergedEvents::MergedEvents(const File& file, const std::vector<size_t>& tracks) {
  cursors_.reserve(tracks.size());
  for (size_t t : tracks) {
    Cursor& cursor = cursors_.emplace_back(Cursor{TrackEvents(file, file.tracks[t]), {}, t});
    if (cursor.events.next(cursor.next)) waiting_.push_back({cursor.next.tick, t, cursors_.size() - 1});
  }
  // In order, they are a heap.
  std::sort(waiting_.begin(), waiting_.end(), [](const Waiting& a, const Waiting& b) { return a.before(b); });
}

void MergedEvents::replace_top(const Waiting& waiting) {
  const size_t size = waiting_.size();
  size_t at = 0;
  for (size_t child = 1; child < size; child = 2 * at + 1) {
    if (child + 1 < size && waiting_[child + 1].before(waiting_[child])) ++child;
    if (!waiting_[child].before(waiting)) break;
    waiting_[at] = waiting_[child];
    at = child;
  }
  waiting_[at] = waiting;
}

const TimedEvent* MergedEvents::hand_over() {
  const Cursor& cursor = cursors_[current_];
  const Waiting again{cursor.next.tick, cursor.track, current_};
  current_ = waiting_.front().cursor;
  replace_top(again);
  return &cursors_[current_].next;
}

const TimedEvent* MergedEvents::take_top() {
  if (waiting_.empty()) return nullptr;
  current_ = waiting_.front().cursor;
  const Waiting last = waiting_.back();
  waiting_.pop_back();
  if (!waiting_.empty()) replace_top(last);
  return &cursors_[current_].next;
}

std::vector<TrackWriter> track_writers(const File& file, bool spilling) {
  std::vector<TrackWriter> writers(file.tracks.size());
  for (size_t t = 0; t < writers.size(); ++t) {
    const size_t size = file.tracks[t].end - file.tracks[t].begin;
    // Untouched pages cost nothing.
    writers[t].reserve(spilling ? std::min(2 * size + 64, TrackWriter::kSpillAt + 64) : 2 * size + 64);
  }
  return writers;
}

void TrackWriter::fill_pause_before(uint64_t tick) {
  // The input's events are at most kMaxDelta apart, so the one left out last
  // is close enough to both the last written and `tick`.
  if (tick - tick_ > kMaxDelta && left_out_) {
    left_out_ = false;
    channel(left_out_tick_, filler_[0], filler_[1], filler_[2]);
  }
}

void TrackWriter::leave_out(uint64_t tick, const uint8_t (&filler)[3]) {
  fill_pause_before(tick);
  left_out_ = true;
  left_out_tick_ = tick;
  std::copy(filler, filler + 3, filler_);
}

void TrackWriter::reserve(size_t size) {
  if (size <= capacity_) return;
  std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
  std::copy(data_.get(), data_.get() + size_, data.get());
  data_ = std::move(data);
  capacity_ = size;
}

void TrackWriter::append(const uint8_t* bytes, size_t size) {
  std::copy(bytes, bytes + size, room(size));
  size_ += size;
}

void TrackWriter::delta(uint64_t tick) {
  uint8_t bytes[4];
  const size_t size = delta(tick, bytes);
  append(bytes, size);
}

size_t TrackWriter::delta(uint64_t tick, uint8_t* out) {
  fill_pause_before(tick);
  left_out_ = false;
  // The input's events are at most kMaxDelta apart, and so are these.
  const auto pause = static_cast<uint32_t>(tick - tick_);
  tick_ = tick;
  if (pause < 0x80) {
    out[0] = static_cast<uint8_t>(pause);
    return 1;
  }
  const size_t size = write_vlq(pause, out);
  return size;
}

void TrackWriter::insert(uint64_t tick, std::span<const uint8_t> events) {
  if (events.empty()) return;
  delta(tick);
  append(events.data() + 1, events.size() - 1);
  running_status_ = 0;
}

void TrackWriter::copy_other(uint64_t tick, const TimedEvent& timed) {
  const Event& event = timed.event;
  switch (class_of(event.status)) {
    case StatusClass::kRealTime:
      // Under running status its one byte was a stray data byte, not its own.
      delta(tick);
      append(&event.status, 1);
      break;
    default:
      delta(tick);
      append(&event.status, 1);
      append(timed.body(), timed.body_size());
      break;
  }
  running_status_ = 0;
}

void TrackWriter::spill(io::Spool& spool) {
  if (size_ == 0) return;
  const uint64_t at = spool.append(data_.get(), size_);
  if (!spilled_.empty() && spilled_.back().first + spilled_.back().second == at)
    spilled_.back().second += size_;
  else
    spilled_.emplace_back(at, size_);
  spilled_bytes_ += size_;
  size_ = 0;
}

void TrackWriter::copy_to(io::Spool* spool, io::ByteSink& out) const {
  for (const auto& [at, size] : spilled_) spool->copy(at, size, out);
  if (!out.write(data_.get(), size_))
    throw io::Failure(io::kExitIoError, io::kWriteErrorMessage);
}

namespace {

// Writes the file around its tracks: `track_size(t)` gives track t's length,
// `track_bytes(t)` writes its events.
template <class Size, class Bytes>
void write_around(const File& file, size_t ntracks, Size track_size, Bytes track_bytes, io::ByteSink& out) {
  auto put = [&out](const char* data, size_t size) {
    if (!out.write(reinterpret_cast<const uint8_t*>(data), size)) throw io::Failure(io::kExitIoError, io::kWriteErrorMessage);
  };
  size_t block = 0;
  auto blocks_before = [&](size_t track) {
    for (; block < file.blocks.size() && file.blocks[block].before_track == track; ++block)
      put(file.bytes.data() + file.blocks[block].begin, file.blocks[block].end - file.blocks[block].begin);
  };
  put(file.bytes.data(), kHeaderChunkSize);
  for (size_t t = 0; t < ntracks; ++t) {
    blocks_before(t);
    const uint32_t length = checked_track_length(static_cast<int>(t), track_size(t));
    const char size[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                          static_cast<char>(length >> 8), static_cast<char>(length)};
    put(kTrackChunk, 4);
    put(size, sizeof size);
    track_bytes(t);
  }
  blocks_before(ntracks);
}

}  // namespace

void write_file(const File& file, const std::vector<std::string>& tracks, io::ByteSink& out) {
  write_around(
      file, tracks.size(), [&](size_t t) { return uint64_t{tracks[t].size()}; },
      [&](size_t t) {
        if (!out.write(reinterpret_cast<const uint8_t*>(tracks[t].data()), tracks[t].size()))
          throw io::Failure(io::kExitIoError, io::kWriteErrorMessage);
      },
      out);
}

void write_file(const File& file, const std::vector<TrackWriter>& tracks, io::Spool* spool, io::ByteSink& out) {
  write_around(
      file, tracks.size(), [&](size_t t) { return tracks[t].size(); },
      [&](size_t t) { tracks[t].copy_to(spool, out); }, out);
}

std::string write_file(const File& file, const std::vector<std::string>& tracks) {
  io::MemorySink sink;
  write_file(file, tracks, sink);
  return sink.bytes();
}

}  // namespace retune::smf
