// ALSA's library prints its own diagnostics to standard error; ours report each failure in one
// line, through the component's log or its error value.
#pragma once

namespace sonicsend::platform {

// Silences the library's diagnostics for the whole process (once).
void quietAlsaLibrary();

}  // namespace sonicsend::platform
