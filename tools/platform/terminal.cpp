#include "platform/terminal.h"

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

std::optional<std::string> readLine() {
  std::string line;
  int c = 0;
  while ((c = std::getchar()) != EOF && c != '\n') line.push_back(static_cast<char>(c));
  if (c == EOF && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool stdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> readStdinLine(bool hidden, const char* prompt) {
  if (!hidden) return readLine();
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  const EchoOff echoOff;
  return readLine();
}

}  // namespace sonicsend::platform
