#pragma once

namespace app {

// States the bound of every property-list file a start of Calvaro reads
// (foundation::setStoredFileBound): before anything reads one.
void stateStoredFileBounds();

}  // namespace app
