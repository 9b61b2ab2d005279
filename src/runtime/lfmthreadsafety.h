#pragma once
// Lock contracts the compiler checks: a clang build with -Wthread-safety
// rejects a read of an LFM_GUARDED_BY field without its mutex, a call of an
// LFM_REQUIRES function without the mutex held, and a mutex left held or
// released twice. On other compilers the annotations expand to nothing.

#if defined(__clang__)
#define LFM_TSA(x) __attribute__((x))
#else
#define LFM_TSA(x)
#endif

// A type whose objects are locks (lfmMutex).
#define LFM_CAPABILITY(name) LFM_TSA(capability(name))
// An RAII type that holds a lock for its lifetime (lfmScopedGuard).
#define LFM_SCOPED_CAPABILITY LFM_TSA(scoped_lockable)

// Data that may be read or written only with the mutex held.
#define LFM_GUARDED_BY(m) LFM_TSA(guarded_by(m))
// A pointer whose target may be used only with the mutex held.
#define LFM_PT_GUARDED_BY(m) LFM_TSA(pt_guarded_by(m))
// Lock order: this mutex is taken after (before) the ones named.
#define LFM_ACQUIRED_AFTER(...) LFM_TSA(acquired_after(__VA_ARGS__))
#define LFM_ACQUIRED_BEFORE(...) LFM_TSA(acquired_before(__VA_ARGS__))

// The caller must hold (must not hold) the mutex.
#define LFM_REQUIRES(...) LFM_TSA(requires_capability(__VA_ARGS__))
#define LFM_EXCLUDES(...) LFM_TSA(locks_excluded(__VA_ARGS__))

// The function takes (releases) the mutex and returns with it held (free).
#define LFM_ACQUIRE(...) LFM_TSA(acquire_capability(__VA_ARGS__))
#define LFM_RELEASE(...) LFM_TSA(release_capability(__VA_ARGS__))
// The function takes the mutex when it returns `result`.
#define LFM_TRY_ACQUIRE(...) LFM_TSA(try_acquire_capability(__VA_ARGS__))

// The function returns a reference to the mutex named.
#define LFM_RETURN_CAPABILITY(m) LFM_TSA(lock_returned(m))
// Tells the analysis that the mutex is held here (checked at run time by the
// caller, not by the compiler).
#define LFM_ASSERT_CAPABILITY(m) LFM_TSA(assert_capability(m))

// Switches the analysis off for one function; every use says why.
#define LFM_NO_THREAD_SAFETY_ANALYSIS LFM_TSA(no_thread_safety_analysis)
