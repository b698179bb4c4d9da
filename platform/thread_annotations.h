// Lock annotations that clang's -Wthread-safety checks; on other compilers
// they expand to nothing.
#pragma once

#if defined(__clang__)
#define QRV_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QRV_THREAD_ATTRIBUTE(x)
#endif

#define QRV_CAPABILITY(name) QRV_THREAD_ATTRIBUTE(capability(name))
#define QRV_SCOPED_CAPABILITY QRV_THREAD_ATTRIBUTE(scoped_lockable)
#define QRV_GUARDED_BY(lock) QRV_THREAD_ATTRIBUTE(guarded_by(lock))
#define QRV_REQUIRES(...) QRV_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define QRV_ACQUIRE(...) QRV_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define QRV_TRY_ACQUIRE(...) QRV_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define QRV_RELEASE(...) QRV_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define QRV_EXCLUDES(...) QRV_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define QRV_RETURN_CAPABILITY(x) QRV_THREAD_ATTRIBUTE(lock_returned(x))
#define QRV_NO_THREAD_SAFETY_ANALYSIS QRV_THREAD_ATTRIBUTE(no_thread_safety_analysis)
