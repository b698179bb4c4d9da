// Data handed out from this thread's receive buffer and still in use after
// the frame handler returned.
//
// A handler that keeps pointers into the buffer past its return (so that
// several frames can be written out together) registers one end function for
// the current batch. The connection that read the bytes calls
// EndReceiveBatch() on the same thread after the frames of each read have
// been handled, and before it returns for any reason: the buffer is not
// written again before the end function has run.
//
// Threads: thread-local state only; no lock, no allocation.
#pragma once

namespace qrv::tmcc::connection {

using ReceiveBatchEnd = void (*)();

// Sets the function that ends this thread's current batch (replacing one set
// earlier in the same batch).
void SetReceiveBatchEnd(ReceiveBatchEnd end);

// Runs and clears the function set for this thread's batch, if any.
void EndReceiveBatch();

}  // namespace qrv::tmcc::connection
