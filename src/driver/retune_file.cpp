#include "driver/retune_file.h"

#include <optional>

#include "driver/files.h"

namespace retune::driver {

namespace {

// The scratch file as pass 1 writes it and pass 2 reads it back.
class FileScratch final : public Scratch {
 public:
  io::ByteSink& sink() override { return sink_; }
  io::ByteSource& reread() override {
    file_.rewind();
    return source_;
  }

 private:
  ScratchFile file_;
  io::FdSink sink_{file_.fd()};
  io::FdSource source_{file_.fd()};
};

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
                       const std::function<KeyTable()>& tuning, bool analyze) {
  FileReport report;
  // --poly and --adaptive read the whole input; their tracks wait in the scratch file.
  const bool whole = method.poly || method.adaptive;
  std::optional<FileScratch> scratch;
  std::optional<ScratchFile> spool_file;
  if (whole)
    spool_file.emplace();
  else
    scratch.emplace();
  InputFile input(infile);
  OutputFile output(outfile);
  const KeyTable table = tuning();
  report.reach = out_of_reach(table, method);

  io::FdSource file_source(input.fd());
  CopyingSource copying(file_source);
  io::ByteSource& in_source = analyze ? static_cast<io::ByteSource&>(copying) : file_source;
  io::FdSink out_sink(output.fd(), output.fresh());
  if (whole) {
    io::FdSpool spool(spool_file->fd());
    std::optional<AdaptivePlanner> planner;
    if (method.adaptive) planner.emplace(method);
    if (method.poly)
      report.poly = retune_poly(io::read_all(in_source), table, method, &spool, out_sink, planner ? &*planner : nullptr);
    else
      report.note_tunings = retune_note_tunings(io::read_all(in_source), table, method, &spool, out_sink, *planner);
    if (planner) report.plan = planner->figures(), report.intonation = planner->intonation();
  } else {
    report.counts = run_passes(in_source, *scratch, out_sink, table, method);
  }
  output.commit();
  if (analyze) report.analysis = retune::analyze(std::move(copying.copy()), table, method);
  return report;
}

}  // namespace retune::driver
