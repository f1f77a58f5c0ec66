// Reading a secret from standard input: a line from a pipe or file, or typed without echo.
#pragma once

#include <optional>
#include <string>

namespace sonicsend::platform {

bool stdinIsTerminal();

// One line of standard input without its line ending; none when the input ends before any
// character. With `hidden`, the terminal does not echo what is typed, and `prompt` goes to
// standard error first; the echo comes back even when a signal ends the program meanwhile.
std::optional<std::string> readStdinLine(bool hidden = false, const char* prompt = "");

}  // namespace sonicsend::platform
