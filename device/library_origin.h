// Whether the device library the plug-in is bound to is ours.
//
// Ours exports extension functions (devicelib/tmcc_extensions.h) beside the
// required ones; a library without any of them is taken as a closed one whose
// answers to calls the original contract never read say nothing we know (a
// non-zero answer need not be a failure). Operations whose results the
// contract fixes then give those results whatever such a library answers.
//
// Any thread; no lock after the first call, which looks the exports up once.
#pragma once

namespace qrv::device {

bool DeviceLibraryIsOurs();

}  // namespace qrv::device
