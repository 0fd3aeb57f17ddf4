#include "driver/run.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <optional>

#include "driver/batch.h"
#include "driver/files.h"
#include "driver/report.h"
#include "driver/retune_file.h"

namespace retune::driver {

namespace {

void write_all(int fd, const std::string& text) {
  io::FdSink sink(fd);
  sink.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Writes to `fd`; a failed write is a failure like any other.
void write_or_fail(int fd, const std::string& text) {
  io::FdSink sink(fd);
  if (!sink.write(reinterpret_cast<const uint8_t*>(text.data()), text.size()))
    throw io::Failure(io::kExitIoError, io::kWriteErrorMessage);
}

void print(const std::string& text) { write_or_fail(STDOUT_FILENO, text); }

// Binary bytes can leave a terminal in a broken state: `what` goes there
// only when asked for by name.
void refuse_terminal(const char* outfile, const char* what) {
  if (!outfile && isatty(STDOUT_FILENO))
    io::fail(io::kExitBadArguments,
             "retune: not writing %s to a terminal; name an outfile or redirect standard output\n", what);
}

// The tuning alone, in the format asked for, put in place like any output.
void export_file(const Options& options) {
  if (is_binary(options.export_format)) refuse_terminal(options.outfile, "a MIDI tuning dump");
  // Before any method's limits: as far as MIDI's keys go.
  const ResolvedTuning tuning = resolve_tuning(options.tuning, max_offset(Method{.mts_keys = true}));
  const Exported exported = export_tuning(tuning, options.export_format);
  OutputFile output(options.outfile);
  write_or_fail(output.fd(), exported.bytes);
  output.commit();
  write_all(STDERR_FILENO, each_line("retune: ", clamped_summary(exported.clamped)));
}

// Reports on every file; one that cannot be read is a failure of its own,
// named, and the others go on. Returns the status of the first failure.
int analyze_files(const Options& options) {
  const bool tuned = options.tuning.by_name() || !options.tuning.offsets.empty();
  const KeyTable keys = tuned ? playable_tuning(options.tuning, options.method) : every_class_its_own();
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
        print(format_tuning(playable_tuning(options.tuning, options.method)));
        break;
      case Options::Action::kAnalyze:
        return analyze_files(options);
      case Options::Action::kExport:
        export_file(options);
        break;
      default:
        if (options.batch()) return run_batch(options);
        refuse_terminal(options.outfile, "a MIDI file");
        {
          // The hint is for a user at a terminal; the bends of the plain method
          // are what it is about.
          const bool hint = isatty(STDERR_FILENO) && options.method.bends() && !options.method.poly;
          const FileReport report = retune_file(options.infile, options.outfile, options.method,
                                                [&] { return playable_tuning(options.tuning, options.method); }, hint,
                                                options.verbose);
          const std::string warning = warnings(report);
          write_all(STDERR_FILENO, each_line("retune: ", warning));
          if (options.verbose) write_all(STDERR_FILENO, "retune: " + verbose_report(report, options.method));
          if (report.analysis) write_all(STDERR_FILENO, plain_method_hint(*report.analysis));
        }
        break;
    }
    return io::kExitSuccess;
  } catch (const io::Failure& failure) {
    write_all(STDERR_FILENO, failure.message());
    return failure.status();
  } catch (const std::exception& error) {
    write_all(STDERR_FILENO, "retune: " + system_failure(error));
    return io::kExitIoError;
  }
}

}  // namespace retune::driver
