#include "driver/run.h"

#include <unistd.h>

#include <cstdio>

#include "driver/batch.h"
#include "driver/files.h"
#include "retune/analyze.h"
#include "retune/poly.h"

namespace retune::driver {

namespace {

void write_all(int fd, const std::string& text) {
  io::FdSink sink(fd);
  sink.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Prints to standard output; a failed write is a failure like any other.
void print(const std::string& text) {
  io::FdSink sink(STDOUT_FILENO);
  if (!sink.write(reinterpret_cast<const uint8_t*>(text.data()), text.size()))
    throw io::Failure(io::kExitIoError, io::kWriteErrorMessage);
}

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

// What --print-offsets shows; a tuning by pitch class is checked as a run
// would check it.
std::string printed_tuning(const TuningChoice& choice, const Method& method) {
  const ResolvedTuning tuning = resolve_tuning(choice, max_offset(method));
  if (tuning.table.pitch_classes()) check_range(tuning, max_offset(method));
  return format_tuning(tuning.table);
}

}  // namespace

Tuning pitch_class_offsets(const TuningChoice& choice, const Method& method) {
  const ResolvedTuning tuning = resolve_tuning(choice, max_offset(method));
  const std::optional<Tuning> cent = tuning.table.pitch_classes();
  if (!cent) {
    std::string source = tuning.source;
    if (!tuning.shape.empty()) source += " (" + tuning.shape + ")";
    if (!choice.kbm_path.empty()) source += " with keyboard mapping " + choice.kbm_path;
    io::fail(io::kExitBadArguments,
             "%s tunes keys one by one, not by pitch class: retune cannot play such a tuning yet (--print-offsets "
             "shows it)\n",
             source.c_str());
  }
  check_range(tuning, max_offset(method));
  return *cent;
}

std::string verbose_report(const Counts& counts, const Method& method) {
  std::string text = std::to_string(counts.bends) + " pitch-bend events inserted";
  if (method.mts) text += ", " + std::to_string(counts.tuning_messages) + " tuning messages";
  return text + "\n";
}

Counts retune_file(const char* infile, const char* outfile, const Method& method,
                   const std::function<Tuning()>& tuning) {
  FileScratch scratch;
  InputFile input(infile);
  OutputFile output(outfile);
  const Tuning cent = tuning();

  io::FdSource in_source(input.fd());
  io::FdSink out_sink(output.fd());
  const Counts counts = run_passes(in_source, scratch, out_sink, cent, method);
  output.commit();
  return counts;
}

namespace {

// The tuning of every key, each within the method's range.
KeyTable key_table(const TuningChoice& choice, const Method& method) {
  const ResolvedTuning tuning = resolve_tuning(choice, max_offset(method));
  check_range(tuning, max_offset(method));
  return tuning.table;
}

// The polyphonic mode reads the whole input, then writes the output: no
// scratch file.
void retune_whole_file(const Options& options) {
  InputFile input(options.infile);
  OutputFile output(options.outfile);
  const KeyTable keys = key_table(options.tuning, options.method);

  io::FdSource in_source(input.fd());
  io::FdSink out_sink(output.fd());
  const PolyReport report = retune_poly(io::read_all(in_source), keys, options.method, out_sink);
  output.commit();
  write_all(STDERR_FILENO, overflow_summary(report) + (options.verbose ? poly_details(report) : ""));
}

// Reports on every file; one that cannot be read is a failure of its own,
// named, and the others go on. Returns the status of the first failure.
int analyze_files(const Options& options) {
  const bool tuned = options.tuning.by_name() || !options.tuning.offsets.empty();
  const KeyTable keys = tuned ? key_table(options.tuning, options.method) : every_class_its_own();
  std::vector<const char*> files = options.files;
  if (files.empty()) files.push_back(nullptr);
  int status = io::kExitSuccess;
  for (const char* path : files) {
    const std::string name = path ? path : "-";
    std::string report;
    try {
      InputFile input(path);
      io::FdSource source(input.fd());
      const Analysis analysis = analyze(io::read_all(source), keys, options.method);
      report = options.json ? analysis_json(analysis, name) : analysis_text(analysis, name);
    } catch (const io::Failure& failure) {
      write_all(STDERR_FILENO, name + ": " + failure.message());
      if (options.json) report = failure_json(name, failure.message(), failure.status());
      if (status == io::kExitSuccess) status = failure.status();
    }
    print(report);
  }
  return status;
}

}  // namespace

int run(int argc, char** argv) {
  install_signal_cleanup();
  const char* program = argc > 0 ? argv[0] : "retune";
  try {
    const Options options = parse_command_line(argc, argv);
    switch (options.action) {
      case Options::Action::kHelp:
        print(help_text(program));
        break;
      case Options::Action::kVersion:
        print("retune " RETUNE_VERSION "\n");
        break;
      case Options::Action::kListTunings:
        print(list_tunings());
        break;
      case Options::Action::kPrintOffsets:
        print(printed_tuning(options.tuning, options.method));
        break;
      case Options::Action::kAnalyze:
        return analyze_files(options);
      default:
        if (options.batch()) return run_batch(options);
        if (options.method.poly) {
          retune_whole_file(options);
          break;
        }
        {
          const Counts counts = retune_file(options.infile, options.outfile, options.method,
                                            [&] { return pitch_class_offsets(options.tuning, options.method); });
          if (options.verbose) write_all(STDERR_FILENO, "retune: " + verbose_report(counts, options.method));
          if (isatty(STDERR_FILENO)) write_all(STDERR_FILENO, plain_method_hint(counts));
        }
        break;
    }
    return io::kExitSuccess;
  } catch (const io::Failure& failure) {
    write_all(STDERR_FILENO, failure.message());
    return failure.status();
  }
}

}  // namespace retune::driver
