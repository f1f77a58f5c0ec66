// ALSA's library prints its own diagnostics to stderr; ours report each failure in one line.
#pragma once

namespace sonicsend::platform {

// Silences the library's diagnostics for the whole process (once).
void quietAlsaLibrary();

}  // namespace sonicsend::platform
