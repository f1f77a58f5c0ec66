#include "platform/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace sonicsend::platform {
namespace {

termios savedTerminal{};

void restoreEchoAndDie(int signal) {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Turns the terminal's echo off for its lifetime.
class EchoOff {
 public:
  EchoOff() {
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    std::signal(SIGINT, restoreEchoAndDie);
    std::signal(SIGTERM, restoreEchoAndDie);
    active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  bool active_ = false;
};

StdinLine readLine(std::size_t maxBytes) {
  StdinLine line;
  int c = 0;
  while ((c = std::getchar()) != EOF && c != '\n') {
    // One byte more than the limit is kept: it may be the CR of a CR LF line ending.
    if (line.text.size() > maxBytes) return {StdinLine::Status::tooLong, {}};
    line.text.push_back(static_cast<char>(c));
  }
  if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
  if (line.text.size() > maxBytes) return {StdinLine::Status::tooLong, {}};
  const bool empty = c == EOF && line.text.empty();
  line.status = empty ? StdinLine::Status::empty : StdinLine::Status::read;
  return line;
}

}  // namespace

bool stdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

StdinLine readStdinLine(std::size_t maxBytes, bool hidden, const char* prompt) {
  if (!hidden) return readLine(maxBytes);
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  const EchoOff echoOff;
  return readLine(maxBytes);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

StderrSilenced::StderrSilenced() {
  if (kSanitized) return;
  std::fflush(stderr);
  const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (nowhere < 0) return;
  saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_ >= 0) dup2(nowhere, STDERR_FILENO);
  close(nowhere);
}

StderrSilenced::~StderrSilenced() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
}

}  // namespace sonicsend::platform
