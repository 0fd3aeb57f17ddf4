#include "driver/retune_file.h"

#include <optional>

#include "driver/files.h"

namespace retune::driver {

namespace {

// Keeps a copy of what is read through it.
class CopyingSource final : public io::ByteSource {
 public:
  explicit CopyingSource(io::ByteSource& source) : source_(source) {}
  size_t read(uint8_t* buffer, size_t capacity) override {
    const size_t n = source_.read(buffer, capacity);
    copy_.append(reinterpret_cast<const char*>(buffer), n);
    return n;
  }
  std::string& copy() { return copy_; }

 private:
  io::ByteSource& source_;
  std::string copy_;
};

// The scratch file, made when first needed: by the plain method's first
// pass where the output is not a new file, by --poly's spool once a track's
// output grows large (most never do).
class OnDemandScratch final : public Scratch, public io::Spool {
 public:
  // Makes the file now, so that a run that needs it fails before any work.
  void make() {
    if (file_) return;
    file_.emplace();
    sink_.emplace(file_->fd());
    source_.emplace(file_->fd());
    spool_.emplace(file_->fd());
  }

  io::ByteSink& sink() override {
    make();
    return *sink_;
  }
  io::ByteSource& reread() override {
    make();
    file_->rewind();
    return *source_;
  }
  uint64_t append(const uint8_t* data, size_t size) override {
    make();
    return spool_->append(data, size);
  }
  void copy(uint64_t offset, uint64_t size, io::ByteSink& out) override {
    make();
    spool_->copy(offset, size, out);
  }

 private:
  std::optional<ScratchFile> file_;
  std::optional<io::FdSink> sink_;
  std::optional<io::FdSource> source_;
  std::optional<io::FdSpool> spool_;
};

}  // namespace

KeyTable playable_tuning(const TuningChoice& choice, const Method& method) {
  const ResolvedTuning tuning = resolve_tuning(choice, max_offset(method));
  if (method.mts) {
    if (!tuning.table.pitch_classes()) {
      std::string source = tuning.source;
      if (!tuning.shape.empty()) source += " (" + tuning.shape + ")";
      if (!choice.kbm_path.empty()) source += " with keyboard mapping " + choice.kbm_path;
      io::fail(io::kExitBadArguments,
               "%s tunes keys one by one, not by pitch class: --mts cannot send it; use --mts=keys\n",
               source.c_str());
    }
    check_range(tuning, max_offset(method));
  }
  return tuning.table;
}

FileReport retune_file(const char* infile, const char* outfile, const Method& method,
                       const std::function<KeyTable()>& tuning, bool analyze, bool verbose) {
  FileReport report;
  InputFile input(infile);
  OutputFile output(outfile);
  io::FdSink out_sink(output.fd(), output.fresh());
  // --poly and --adaptive read the whole input, and their large tracks wait
  // in the scratch file. The plain method writes a new file directly;
  // anything else goes through the scratch file, made before any work.
  const bool whole = method.poly || method.adaptive;
  OnDemandScratch scratch;
  if (!whole && !out_sink.can_patch()) scratch.make();
  const KeyTable table = tuning();
  report.reach = out_of_reach(table, method);

  io::FdSource file_source(input.fd());
  CopyingSource copying(file_source);
  io::ByteSource& in_source = analyze ? static_cast<io::ByteSource&>(copying) : file_source;
  if (whole) {
    std::optional<AdaptivePlanner> planner;
    if (method.adaptive) planner.emplace(method);
    if (method.poly)
      report.poly = retune_poly(io::read_all(in_source), table, method, &scratch, out_sink, planner ? &*planner : nullptr,
                                verbose);
    else
      report.note_tunings = retune_note_tunings(io::read_all(in_source), table, method, &scratch, out_sink, *planner);
    if (planner) report.plan = planner->figures(), report.intonation = planner->intonation();
  } else {
    report.counts = run_passes(in_source, scratch, out_sink, table, method);
  }
  output.commit();
  if (analyze) report.analysis = retune::analyze(std::move(copying.copy()), table, method);
  return report;
}

}  // namespace retune::driver
