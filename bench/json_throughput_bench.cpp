// Times reading a journal text into typed records and writing it back, and
// the same through generic values. Prints "<operation> <bytes> <best seconds>"
// per line for json_throughput.py, which adds Python's json for comparison.
//
//   json_throughput_bench JOURNAL_FILE [REPEATS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "contracts/journal.h"
#include "foundation/boundary.h"
#include "foundation/json_reader.h"
#include "foundation/json_writer.h"

namespace {

using tallowmere::Journal;
using Clock = std::chrono::steady_clock;

bool read_journal(tallowmere::json::Reader& r, Journal& out) { return read(r, out); }

bool read_any(tallowmere::json::Reader& r, tallowmere::json::Value& out) {
  return r.read_value(out);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The fastest of `repeats` runs; each run times itself, so that freeing what
// it built is left out, as in the Python measurement.
template <class Once>
double best_of(int repeats, Once once) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) best = std::min(best, once());
  return best;
}

void report(const char* operation, size_t bytes, double seconds) {
  std::printf("%s %zu %.9f\n", operation, bytes, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s JOURNAL_FILE [REPEATS]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;

  // Decoding must succeed, and the written text must read back as the same journal.
  Journal journal;
  std::string error;
  if (!tallowmere::read_document(text, journal, read_journal, error)) {
    std::fprintf(stderr, "journal does not read: %s\n", error.c_str());
    return 1;
  }
  tallowmere::json::Writer check_writer;
  write(check_writer, journal);
  const std::string written = check_writer.take();
  Journal again;
  if (!tallowmere::read_document(written, again, read_journal, error) || !(again == journal)) {
    std::fprintf(stderr, "written journal does not read back equal: %s\n", error.c_str());
    return 1;
  }
  tallowmere::json::Value value;
  if (!tallowmere::read_document(text, value, read_any, error)) {
    std::fprintf(stderr, "text does not read as a value: %s\n", error.c_str());
    return 1;
  }

  const double read_seconds = best_of(repeats, [&] {
    Journal decoded;
    const auto start = Clock::now();
    const bool ok = tallowmere::read_document(text, decoded, read_journal, error);
    const double seconds = seconds_since(start);
    if (!ok) std::exit(1);
    return seconds;
  });
  const double write_seconds = best_of(repeats, [&] {
    const auto start = Clock::now();
    tallowmere::json::Writer writer;
    write(writer, journal);
    const std::string out = writer.take();
    return seconds_since(start);
  });
  const double read_value_seconds = best_of(repeats, [&] {
    tallowmere::json::Value decoded;
    const auto start = Clock::now();
    const bool ok = tallowmere::read_document(text, decoded, read_any, error);
    const double seconds = seconds_since(start);
    if (!ok) std::exit(1);
    return seconds;
  });
  const std::string value_text = tallowmere::json::to_text(value);
  const double write_value_seconds = best_of(repeats, [&] {
    const auto start = Clock::now();
    const std::string out = tallowmere::json::to_text(value);
    return seconds_since(start);
  });
  report("read_journal", text.size(), read_seconds);
  report("write_journal", written.size(), write_seconds);
  report("read_value", text.size(), read_value_seconds);
  report("write_value", value_text.size(), write_value_seconds);
  return 0;
}
