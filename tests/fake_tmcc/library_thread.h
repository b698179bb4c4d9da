// The double's own library thread: one worker that runs posted work in order,
// as the real library runs its callbacks on threads of its own.
#pragma once

#include <functional>

namespace fake_tmcc::internal {

// Runs work on the library thread and waits until it has returned; an
// exception leaving work is rethrown to the caller. Called on the library
// thread itself, work runs at once.
void RunOnLibraryThreadAndWait(const std::function<void()>& work);

// True on the library thread.
bool OnLibraryThread();

}  // namespace fake_tmcc::internal
