// The table of virtual functions that type_info objects of the host's Visual
// Studio runtime carry: a type descriptor the host's dynamic_cast or typeid
// may hand back to it as a type_info must begin with it.
//
// Any thread; the first call must not overlap another (the factory makes it).
#pragma once

namespace qrv::platform {

// Windows: read from a type_info object of the Visual Studio C runtime that
// every process holding the plug-in has loaded (msvcrt.dll, which the
// plug-in imports itself). Null where no such runtime is loaded.
const void* HostTypeInfoTable();

}  // namespace qrv::platform
