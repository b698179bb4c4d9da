// The request entry of the plug-in: decodes an Execute request, reads its
// keys in a fixed order, tests slot numbers and routes the device work.
#pragma once

#include <cstdint>

#include "qrvaccess/qrv_access.h"

namespace qrv::plugin {

// Runs one request inside the fault barrier: a processor fault during the
// operation gives -1, with the outputs and slot changes made so far kept.
// Results: 0 done, 10 slot number out of range, 14 no free slot, -1 unknown
// code, refused request, invalid number or fault; login, voice talk and PTZ
// pass the library's result through.
// Threads: any host thread; holds no lock across the operation (the table
// lock is taken only inside single steps) and never while calling out.
int32_t Execute(ParameterMap& input, ParameterMap& output);

}  // namespace qrv::plugin
