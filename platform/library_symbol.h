// Run-time lookup of optional functions in an already loaded shared library
// (the equivalent of GetModuleHandle plus GetProcAddress).
//
// Any thread; no lock of its own. Loads nothing: a library that is not in the
// process already gives nothing.
#pragma once

namespace qrv::platform {

// The address of the exported function `name` of the loaded library that
// holds `anchor` (the address of any function known to live there), or null
// when that library does not export it.
void* FindFunctionBeside(const void* anchor, const char* name);

}  // namespace qrv::platform
