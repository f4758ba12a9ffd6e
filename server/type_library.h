// Registering the program's type library, and where Wine's marshaler looks for it.
#pragma once

#include "server/com_support.h"

// Loads the library from the program's file (or the .tlb beside it) and registers it.
HRESULT registerTypeLibrary();
// Unregisters it when it can be loaded; reports nothing.
void unregisterTypeLibrary();
