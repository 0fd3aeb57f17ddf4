#include "driver/run.h"

#include <unistd.h>

#include <cstdio>

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

// The run proper: scratch file, input, output, tuning, then the two passes.
void retune_stream(const Options& options) {
  ScratchFile scratch;
  InputFile input(options.infile);
  OutputFile output(options.outfile);
  const Tuning cent = resolve_tuning(options.tuning, max_offset(options.method));

  TrackLengths track_bytes{};
  io::FdSource in_source(input.fd());
  io::ByteReader fpi(in_source);
  io::FdSink scratch_sink(scratch.fd());
  io::ByteWriter fptmp(scratch_sink);
  const Counts counts = pass1(fpi, fptmp, track_bytes, cent, options.method);
  fptmp.flush();

  scratch.rewind();
  io::FdSource scratch_source(scratch.fd());
  io::ByteReader scratch_reader(scratch_source);
  io::FdSink out_sink(output.fd());
  io::ByteWriter fpo(out_sink);
  try {
    pass2(scratch_reader, fpo, track_bytes);
  } catch (const io::Failure&) {
    // What was written reaches a destination that is written directly.
    try {
      fpo.flush();
    } catch (const io::Failure&) {
    }
    throw;
  }
  fpo.flush();
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
        print(format_offsets(resolve_tuning(options.tuning, max_offset(options.method))) + "\n");
        break;
      default:
        retune_stream(options);
        break;
    }
    return io::kExitSuccess;
  } catch (const io::Failure& failure) {
    write_all(STDERR_FILENO, failure.message());
    return failure.status();
  }
}

}  // namespace retune::driver
