// Win32 backend: the critical section is the system's own CRITICAL_SECTION,
// which is reentrant for its owner like the Linux recursive mutex.
#include "platform/critical_section.h"

#include <windows.h>

#include <new>

namespace qrv::platform {
namespace {
CRITICAL_SECTION* Native(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

static_assert(sizeof(CRITICAL_SECTION) == CriticalSection::kStorageBytes);
static_assert(alignof(CRITICAL_SECTION) <= alignof(void*));

CriticalSection::CriticalSection() {
  InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}
CriticalSection::~CriticalSection() {
  DeleteCriticalSection(Native(storage_));
}
void CriticalSection::Enter() {
  EnterCriticalSection(Native(storage_));
}
bool CriticalSection::TryEnter() {
  return TryEnterCriticalSection(Native(storage_)) != 0;
}
void CriticalSection::Leave() {
  LeaveCriticalSection(Native(storage_));
}

}  // namespace qrv::platform
