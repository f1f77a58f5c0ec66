// velarto keeps one log: Qt's. The lines of the sender library and of the store go into it under
// the categories "velarto.sender" and "velarto.store", at their own levels.
#pragma once

void routeLibraryLogsToQt();
