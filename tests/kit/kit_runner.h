/*
 * The Windows test kit's runner (kit_runner.cpp) and what it keeps of the
 * machine's state (kit_state.cpp).
 */
#ifndef KIT_RUNNER_H
#define KIT_RUNNER_H

#include <windows.h>

#include <string>

#include "agent_harness.h"

// Appends to state the registry key path of rootName ("HKCU" or "HKLM") in
// view (0, KEY_WOW64_32KEY or KEY_WOW64_64KEY), with everything under it,
// or the fact that it does not exist; false when it could not all be read.
bool SaveKey(const char *rootName, REGSAM view, const std::string &path, std::string &state);
// Puts every saved key back as it was; false when something could not be.
bool RestoreKeys(const std::string &state);

// True once the run has been interrupted (kit_runner.cpp): what it started
// has been ended, and it must put the machine back and stop.
bool Interrupted();

#endif
