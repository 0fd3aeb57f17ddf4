#include "retune/note_tunings.h"

#include <algorithm>
#include <array>
#include <vector>

#include "channel/channel_model.h"
#include "retune/messages.h"
#include "retune/pitch.h"
#include "smf/controllers.h"
#include "smf/smf_file.h"

namespace retune {

namespace {

using namespace smf::gm;
using Frequency = std::array<uint8_t, 3>;

constexpr Frequency kUntuned = {0x7F, 0x7F, 0x7F};  // "no change": what the key holds is not known

class NoteTuner final : public ChannelListener {
 public:
  NoteTuner(const KeyTable& keys, const Method& method, const Bytes& selection, size_t tracks,
            std::vector<NoteSpan> planned, NoteTuningReport& report)
      : keys_(keys),
        method_(method),
        selection_(selection),
        planned_(std::move(planned)),
        report_(report),
        model_(*this, tracks, true) {
    tuned_.fill(kUntuned);
  }

  void play(const smf::File& file, const std::vector<size_t>& tracks, std::vector<smf::TrackWriter>& writers,
            io::Spool* spool) {
    bool selected = false;
    smf::rewrite_timeline(file, tracks, writers, spool,
                          [&](const smf::TimedEvent& event, size_t track, smf::TrackWriter& out) {
                            out_ = &out;
                            tick_ = event.tick;
                            if (!selected) out.insert(tick_, selection_), selected = true;
                            model_.take(event, track);
                            out.copy(tick_, event);
                            if (reset_) out.insert(tick_, selection_), reset_ = false;
                          });
  }

  // A note ending at this tick is over, though its note-off may come later in the merge.
  void note_started(uint8_t channel, Note& note) override {
    if (!method_.moves_notes_of(channel)) return;
    ++report_.notes;
    if (next_ >= planned_.size()) return;
    const NoteSpan& plan = planned_[next_++];
    uint64_t& sounds_until = sounds_until_[note.key];
    const bool key_sounding = sounds_until > tick_;
    sounds_until = std::max(sounds_until, plan.end);
    if (key_sounding) {
      ++report_.key_sounding;
      return;
    }
    const double pitch = plan.pitch + key_offset(keys_, note.key);
    const Frequency frequency = note_frequency(pitch);
    if (frequency == tuned_[note.key]) return;
    tuned_[note.key] = frequency;
    out_->insert(tick_, single_note_change(note.key, pitch));
    ++report_.changes;
  }
  // A reset may take the synthesizer back to equal temperament and tuning program 0 off the channels.
  void reset(const char*) override {
    reset_ = true;
    tuned_.fill(kUntuned);
  }

 private:

  const KeyTable& keys_;
  const Method& method_;
  const Bytes& selection_;
  const std::vector<NoteSpan> planned_;
  NoteTuningReport& report_;
  ChannelModel model_;
  size_t next_ = 0;
  std::array<uint64_t, kKeys> sounds_until_{};  // when the notes of the retuned channels on each key end
  std::array<Frequency, kKeys> tuned_;
  smf::TrackWriter* out_ = nullptr;
  uint64_t tick_ = 0;
  bool reset_ = false;
};

}  // namespace

NoteTuningReport retune_note_tunings(io::Bytes input, const KeyTable& keys, const Method& method, io::Spool* spool,
                                     io::ByteSink& out, PitchPlanner& planner) {
  const smf::File file = smf::read_file(std::move(input));
  std::vector<smf::TrackWriter> writers = smf::track_writers(file, spool != nullptr);
  Method selected = method;  // the drums keep their own tuning
  selected.skipped_channels |= static_cast<uint16_t>(1u << kDrumChannel);
  const Bytes selection = tuning_program_selection(selected);
  NoteTuningReport report;
  for (const std::vector<size_t>& tracks : smf::timelines(file))
    NoteTuner(keys, method, selection, file.tracks.size(), planner.plan(file, tracks), report)
        .play(file, tracks, writers, spool);
  smf::write_file(file, writers, spool, out);
  return report;
}

}  // namespace retune
