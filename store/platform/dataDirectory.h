// Where velarto keeps its per-user data.
#pragma once

#include <filesystem>

namespace velarto::store {

// $XDG_DATA_HOME/velarto, or ~/.local/share/velarto when that variable is unset, empty or not an
// absolute path. Empty when no home directory can be found either. Nothing is created.
std::filesystem::path userDataDirectory();

}  // namespace velarto::store
