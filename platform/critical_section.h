// A reentrant lock with the semantics of a Windows critical section: the
// owning thread may enter it again, and must leave it as often as it entered.
//
// Any thread may call Enter/Leave. The lock never calls out.
#pragma once

#include <cstddef>
#if !defined(_WIN32)
#include <mutex>
#endif

namespace qrv::platform {

#if defined(_WIN32)
// A real CRITICAL_SECTION, kept as opaque storage so that no Windows header
// reaches the rest of the plug-in (win32/critical_section.cc checks the size).
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  bool TryEnter();
  void Leave();

  static constexpr size_t kStorageBytes = sizeof(void*) == 4 ? 24 : 40;

 private:
  alignas(void*) unsigned char storage_[kStorageBytes];
};
#else
class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};
#endif

// Holds a critical section for the guard's lifetime; a null section is allowed
// and means "no lock". Leaves the section also when an exception (a translated
// processor fault included) unwinds through the guard.
class ScopedLock {
 public:
  explicit ScopedLock(CriticalSection* section) : section_(section) {
    if (section_ != nullptr) section_->Enter();
  }
  ~ScopedLock() {
    if (section_ != nullptr) section_->Leave();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CriticalSection* section_;
};

}  // namespace qrv::platform
