#include "driver/run.h"

#include <unistd.h>

#include <cstdio>

#include "driver/batch.h"
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

}  // namespace

std::string verbose_report(const Counts& counts, const Method& method) {
  std::string text = std::to_string(counts.bends) + " pitch-bend events inserted";
  if (method.mts) text += ", " + std::to_string(counts.tuning_messages) + " tuning messages";
  return text + "\n";
}

Counts retune_file(const char* infile, const char* outfile, const Method& method,
                   const std::function<Tuning()>& tuning) {
  ScratchFile scratch;
  InputFile input(infile);
  OutputFile output(outfile);
  const Tuning cent = tuning();

  TrackLengths track_bytes{};
  io::FdSource in_source(input.fd());
  io::ByteReader fpi(in_source);
  io::FdSink scratch_sink(scratch.fd());
  io::ByteWriter fptmp(scratch_sink);
  const Counts counts = pass1(fpi, fptmp, track_bytes, cent, method);
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
  return counts;
}

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
        if (options.batch()) return run_batch(options);
        {
          const Counts counts = retune_file(options.infile, options.outfile, options.method, [&] {
            return resolve_tuning(options.tuning, max_offset(options.method));
          });
          if (options.verbose) write_all(STDERR_FILENO, "retune: " + verbose_report(counts, options.method));
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
