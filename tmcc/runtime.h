// The library's I/O threads: one io_context run by a small fixed pool of
// threads. Every client's work runs there, serialised per client by a strand,
// and every callback the library makes runs on one of these threads.
#pragma once

#include <asio.hpp>

namespace qrv::tmcc {

inline constexpr int kIoThreads = 2;

// The process-wide io_context, started on first use and kept for the life of
// the process (its threads end with the process).
// Threading: any thread; the first call starts the pool under a static-init lock.
asio::io_context& IoContext();

// True on the library's own I/O threads.
bool OnLibraryThread();

}  // namespace qrv::tmcc
