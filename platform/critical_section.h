// A reentrant lock with the semantics of a Windows critical section: the
// owning thread may enter it again, and must leave it as often as it entered.
//
// Any thread may call Enter/Leave. The lock never calls out.
#pragma once

#include <cstddef>
#if !defined(_WIN32)
#include <mutex>
#endif

#include "platform/thread_annotations.h"

namespace qrv::platform {

#if defined(_WIN32)
// A real CRITICAL_SECTION, kept as opaque storage so that no Windows header
// reaches the rest of the plug-in (win32/critical_section.cc checks the size).
class QRV_CAPABILITY("critical section") CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() QRV_ACQUIRE();
  bool TryEnter() QRV_TRY_ACQUIRE(true);
  void Leave() QRV_RELEASE();

  static constexpr size_t kStorageBytes = sizeof(void*) == 4 ? 24 : 40;

 private:
  alignas(void*) unsigned char storage_[kStorageBytes];
};
#else
class QRV_CAPABILITY("critical section") CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() QRV_ACQUIRE() { mutex_.lock(); }
  bool TryEnter() QRV_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  void Leave() QRV_RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};
#endif

// Holds a critical section for the guard's lifetime; a null section is allowed
// and means "no lock". Leaves the section also when an exception (a translated
// processor fault included) unwinds through the guard.
class QRV_SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(CriticalSection* section) QRV_ACQUIRE(section) QRV_NO_THREAD_SAFETY_ANALYSIS
      : section_(section) {
    if (section_ != nullptr) section_->Enter();
  }
  ~ScopedLock() QRV_RELEASE() QRV_NO_THREAD_SAFETY_ANALYSIS {
    if (section_ != nullptr) section_->Leave();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CriticalSection* section_;
};

}  // namespace qrv::platform
