// A whole Standard MIDI File in memory, for the modes that must see every
// track at once: its header fields, its tracks as sequences of events with
// absolute ticks, and the chunks it carries that are no tracks. Tracks are
// written back through TrackWriter and write_file(), which sets every track's
// length and keeps the other chunks and whatever follows the last track as
// they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "smf/smf_walk.h"

namespace retune::smf {

inline constexpr size_t kHeaderChunkSize = 14;  // type, length, format, tracks, division

// One track's events as the reader walks them: from the first event up to the
// end of the one that reaches the declared length (it may run past it).
struct Track {
  size_t begin = 0;  // offset of the first event in File::bytes
  size_t end = 0;    // offset just past the last event
  EventReader reader;  // as it stands at the first event: running status carries over from the track before
};

// Bytes that are no track and stay as they are: a chunk of another type, or
// whatever follows the last track.
struct Block {
  size_t begin = 0;
  size_t end = 0;
  size_t before_track = 0;  // the number of tracks that precede it
};

struct File {
  io::Bytes bytes;  // the whole file
  uint16_t format = 0;
  uint16_t division = 0;
  std::vector<Track> tracks;
  std::vector<Block> blocks;
};

// Reads and checks a whole file, walking every event; a file the streaming
// passes would refuse is refused here with the same message and status.
File read_file(io::Bytes bytes);

// An event with its absolute time, and where its bytes lie.
struct TimedEvent {
  uint64_t tick = 0;
  Event event;
  const uint8_t* at = nullptr;  // its first byte (the delta time)

  // Meta events and system-exclusive messages: the payload after the length.
  const uint8_t* payload() const { return at + event.head_size; }
  // The bytes after the status byte (or where it would be under running
  // status) to the end of the event.
  const uint8_t* body() const { return at + event.delta_size + (event.running ? 0 : 1); }
  size_t body_size() const { return static_cast<size_t>(event.size()) - (body() - at); }
};

// Walks one track's events in order.
class TrackEvents {
 public:
  TrackEvents(const File& file, const Track& track);
  // The next event; false after the last. Defined below, where its callers
  // can inline it.
  bool next(TimedEvent& event);

 private:
  // Reads an event that is no channel message, or one near the file's end.
  void read_other(Event& event);

  const uint8_t* p_;
  const uint8_t* end_;
  const uint8_t* bytes_end_;  // the end of the whole file
  EventReader reader_;
  uint64_t tick_ = 0;
};

inline bool TrackEvents::next(TimedEvent& event) {
  if (p_ >= end_) return false;
  // read_file() walked these bytes already: the event is whole, and a channel
  // message may be read without bounds wherever a whole head fits in the file.
  if (bytes_end_ - p_ < static_cast<ptrdiff_t>(kLongestHead) || !reader_.read_channel(p_, event.event))
    read_other(event.event);
  tick_ += event.event.delta;
  event.tick = tick_;
  event.at = p_;
  p_ += event.event.size();
  return true;
}

// The tracks that play together, each list in track order: all of them, or in
// a format 2 file each on its own.
std::vector<std::vector<size_t>> timelines(const File& file);

// The events of some tracks merged in time: the earliest tick first, and at
// one tick the earlier track's first.
class MergedEvents {
 public:
  MergedEvents(const File& file, const std::vector<size_t>& tracks);
  // The next event, or null after the last; it stays valid until the next
  // call. Defined below, where its callers can inline it.
  const TimedEvent* next();
  // The track of the event next() gave last.
  size_t track() const { return cursors_[current_].track; }

 private:
  struct Cursor {
    TrackEvents events;
    TimedEvent next;
    size_t track;
  };
  // A cursor with events left, keyed by its next event: the tick, then the
  // track. Kept apart from the cursors, so that ordering them reads little.
  struct Waiting {
    uint64_t tick;
    size_t track;
    size_t cursor;
    bool before(const Waiting& other) const {
      return tick != other.tick ? tick < other.tick : track < other.track;
    }
  };
  // Puts `waiting` where the heap's top was, the top leaving.
  void replace_top(const Waiting& waiting);
  // The current cursor waits again, its next event being later than the
  // top's: the top's event comes next.
  const TimedEvent* hand_over();
  // The current cursor has no events left (or there is none yet): the top's
  // event comes next, if any.
  const TimedEvent* take_top();

  std::vector<Cursor> cursors_;
  std::vector<Waiting> waiting_;  // a heap with the earliest on top: the cursors with events left, but the current one
  size_t current_ = SIZE_MAX;     // the cursor of the event given last
};

inline const TimedEvent* MergedEvents::next() {
  if (current_ == SIZE_MAX) return take_top();
  Cursor& cursor = cursors_[current_];
  if (!cursor.events.next(cursor.next)) return take_top();
  // A track goes on for as long as its events come before every other's.
  if (waiting_.empty() || Waiting{cursor.next.tick, cursor.track, current_}.before(waiting_.front()))
    return &cursor.next;
  return hand_over();
}

// Builds a track's event bytes from events with absolute ticks, given in time
// order. A channel message leaves out its status byte when the one before it
// in the track had the same (and its first data byte cannot be taken for a
// status); any other event states its status.
class TrackWriter {
 public:
  // Bytes held before a spill() pays: enough that spilling costs few system
  // calls, little enough that sixteen tracks' worth is small beside a file.
  static constexpr size_t kSpillAt = size_t{1} << 17;

  // A channel message: `status` and its one or two data bytes. The most
  // frequent write of all, defined below where its callers can inline it.
  void channel(uint64_t tick, uint8_t status, uint8_t data1, uint8_t data2 = 0);
  // Events of our own, each with its status and at delta time 0 (the first
  // one's delta is replaced by the time to `tick`).
  void insert(uint64_t tick, std::span<const uint8_t> events);
  // An event as the file has it, with its status stated where it ran on the
  // status before. Defined below, where its callers can inline it.
  void copy(uint64_t tick, const TimedEvent& event);
  // An event of the input at `tick` that is not written. Where leaving it out
  // would make the pause before the next event too long for a delta time,
  // `filler` (a channel message that changes nothing then) takes its place.
  void leave_out(uint64_t tick, const uint8_t (&filler)[3]);
  // The bytes written since the last spill().
  std::string_view held() const { return {reinterpret_cast<const char*>(data_.get()), size_}; }
  // Room for `size` bytes in all before the held bytes must move.
  void reserve(size_t size);
  // Moves the bytes held to `spool`, keeping where they went; writing goes on.
  void spill(io::Spool& spool);
  // Every byte written, spilled or held.
  uint64_t size() const { return spilled_bytes_ + size_; }
  // Writes every byte, those spilled from `spool` first.
  void copy_to(io::Spool* spool, io::ByteSink& out) const;

 private:
  // The longest channel message: a 4-byte delta time, a status, two data bytes.
  static constexpr size_t kLongestChannelMessage = 7;

  // copy() of an event that is no channel message.
  void copy_other(uint64_t tick, const TimedEvent& event);
  void fill_pause_before(uint64_t tick);
  void delta(uint64_t tick);
  // Writes the delta time to `out` (room for 4 bytes); returns its size.
  size_t delta(uint64_t tick, uint8_t* out);
  // Where the next `size` bytes go; size_ counts them once written.
  uint8_t* room(size_t size) {
    if (capacity_ - size_ < size) reserve(2 * capacity_ + size);
    return data_.get() + size_;
  }
  void append(const uint8_t* bytes, size_t size);

  std::unique_ptr<uint8_t[]> data_;  // the bytes held: plain bytes, for the hot path's stores
  size_t size_ = 0;
  size_t capacity_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> spilled_;  // offset and size in the spool, in order
  uint64_t spilled_bytes_ = 0;
  uint64_t tick_ = 0;
  uint8_t running_status_ = 0;  // 0: the next event states its status
  bool left_out_ = false;       // an event was left out since the last written
  uint64_t left_out_tick_ = 0;
  uint8_t filler_[3] = {};
};

inline void TrackWriter::channel(uint64_t tick, uint8_t status, uint8_t data1, uint8_t data2) {
  // A delta time of one or two bytes with nothing left out before is the
  // rule; any other goes first, since a filler it writes may move the bytes held.
  const uint64_t pause = tick - tick_;
  const bool short_delta = !left_out_ && pause < 0x4000;
  if (!short_delta) delta(tick);
  uint8_t* const start = room(kLongestChannelMessage);
  uint8_t* p = start;
  if (short_delta) {
    if (pause >= 0x80) *p++ = static_cast<uint8_t>(0x80 | pause >> 7);
    *p++ = static_cast<uint8_t>(pause & 0x7F);
    tick_ = tick;
  }
  // A data byte with its top bit set would be read as a status byte.
  if (status != running_status_ || (data1 & kStatusBit)) *p++ = status;
  running_status_ = status;
  p[0] = data1;
  p[1] = data2;  // counted only where the status takes it
  p += channel_data_bytes(status);
  size_ += static_cast<size_t>(p - start);
}

inline void TrackWriter::copy(uint64_t tick, const TimedEvent& timed) {
  const Event& event = timed.event;
  if (class_of(event.status) == StatusClass::kChannel) return channel(tick, event.status, event.data[0], event.data[1]);
  copy_other(tick, timed);
}

// Writes the file with each track's events replaced by `tracks[i]`: the same
// header, the same other chunks and trailing bytes, every track length exact.
// A track too long for its length field is a failure, and so is a failed write.
void write_file(const File& file, const std::vector<std::string>& tracks, io::ByteSink& out);
// The same with each track's events from its writer, whose spilled bytes
// `spool` holds.
void write_file(const File& file, const std::vector<TrackWriter>& tracks, io::Spool* spool, io::ByteSink& out);

// A writer for each track of `file`, with room for what a method adds; a
// spilling writer (with a spool) never holds much more than kSpillAt.
std::vector<TrackWriter> track_writers(const File& file, bool spilling);

// Walks the merged events of one timeline, giving `handle` each event, its
// track and that track's writer; with a spool, a writer's bytes go there
// whenever they reach TrackWriter::kSpillAt.
template <typename Handle>
void rewrite_timeline(const File& file, const std::vector<size_t>& tracks, std::vector<TrackWriter>& writers,
                      io::Spool* spool, Handle&& handle) {
  MergedEvents events(file, tracks);
  while (const TimedEvent* event = events.next()) {
    TrackWriter& out = writers[events.track()];
    handle(*event, events.track(), out);
    if (spool && out.held().size() >= TrackWriter::kSpillAt) out.spill(*spool);
  }
}
std::string write_file(const File& file, const std::vector<std::string>& tracks);

}  // namespace retune::smf
