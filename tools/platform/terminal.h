// Reading a secret from standard input: a line from a pipe or file, or typed without echo.
#pragma once

#include <cstddef>
#include <string>

namespace sonicsend::platform {

bool stdinIsTerminal();

struct StdinLine {
  enum class Status { read, empty, tooLong };
  Status status = Status::empty;
  std::string text;  // without its line ending
};

// One line of standard input: `empty` when the input ends before any character, `tooLong`
// (and nothing more read) when no line ending comes within `maxBytes`. With `hidden`, the
// terminal does not echo what is typed, and `prompt` goes to standard error first; the echo
// comes back even when a signal ends the program meanwhile.
StdinLine readStdinLine(std::size_t maxBytes, bool hidden = false, const char* prompt = "");

// Standard error goes nowhere for the object's lifetime: the decoders under libsndfile
// (libmpg123) print their own notes about a broken file, and ours say it in one line. A build
// with a sanitizer keeps standard error, where the sanitizer reports.
class StderrSilenced {
 public:
  StderrSilenced();
  ~StderrSilenced();
  StderrSilenced(const StderrSilenced&) = delete;
  StderrSilenced& operator=(const StderrSilenced&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace sonicsend::platform
