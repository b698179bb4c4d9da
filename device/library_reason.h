// The device library's own words for why a request failed, when it offers
// them (an optional function, looked up at run time): written to the
// debugger output, where a host's verbose mode shows them, since a result
// code alone cannot say that a snapshot was no JPEG or a preset is missing.
#pragma once

#include <cstdint>
#include <string>

namespace qrv::device {

// The library's reason for the last failed request of the slot's login, with
// every byte that is not printable ASCII replaced by '?' (the text may quote
// a device); empty when the library gives none or the slot holds no login.
// Any thread; no lock. Counts itself in the slot's loginUsers, so a logout
// waits for it before it releases the client.
std::string LibraryReason(int32_t slot);

// After a failed request (what: "snapshot", "PTZ"): writes "slot N: <what>
// failed: <reason>" to the debugger output when the library gave a reason.
// Any thread; no lock.
void ReportLibraryReason(int32_t slot, const char* what);

// After a failed login or stream open, before its client is released (what:
// "login", "slot N: stream open"): writes "<what> failed (result R):
// <reason>" to the debugger output when the library gave a reason for that
// client, so a host learns the library's own result and words where the
// plug-in's result cannot carry them. Any thread, on a client no other
// thread releases; no lock.
void ReportClientReason(int32_t handle, const std::string& what, int32_t result);

}  // namespace qrv::device
