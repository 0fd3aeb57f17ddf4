#include "driver/run.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>

#include "driver/cli.h"
#include "driver/files.h"

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

void report(const Counts& counts, const Options& options) {
  std::string text = "retune: " + std::to_string(counts.bends) + " pitch-bend events inserted";
  if (options.method.mts) text += ", " + std::to_string(counts.tuning_messages) + " tuning messages";
  write_all(STDERR_FILENO, text + "\n");
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

// The tuning as the passes take it: twelve offsets, each within the method's
// range.
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

// What --print-offsets shows; a tuning by pitch class is checked as a run
// would check it.
std::string printed_tuning(const TuningChoice& choice, const Method& method) {
  const ResolvedTuning tuning = resolve_tuning(choice, max_offset(method));
  if (tuning.table.pitch_classes()) check_range(tuning, max_offset(method));
  return format_tuning(tuning.table);
}

// The run proper: scratch file, input, output, tuning, then the two passes.
void retune_stream(const Options& options) {
  FileScratch scratch;
  InputFile input(options.infile);
  OutputFile output(options.outfile);
  const Tuning cent = pitch_class_offsets(options.tuning, options.method);

  io::FdSource in_source(input.fd());
  io::FdSink out_sink(output.fd());
  const Counts counts = run_passes(in_source, scratch, out_sink, cent, options.method);
  output.commit();
  if (options.verbose) report(counts, options);
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
      default:
        retune_stream(options);
        break;
    }
    return io::kExitSuccess;
  } catch (const io::Failure& failure) {
    write_all(STDERR_FILENO, failure.message());
    return failure.status();
  } catch (const std::exception& error) {
    // Not a fault of the input: the system refused the program something.
    const bool memory = dynamic_cast<const std::bad_alloc*>(&error) != nullptr;
    write_all(STDERR_FILENO, std::string("retune: ") + (memory ? "out of memory" : error.what()) + "\n");
    return io::kExitIoError;
  }
}

}  // namespace retune::driver
