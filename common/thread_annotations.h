// Clang's thread-safety annotations: which lock guards which member, and which lock a function
// needs, takes or must not hold. Clang checks them at compile time (-Wthread-safety); other
// compilers see nothing.
//
// The standard mutexes of libstdc++ carry no annotations, so the analysis cannot follow them:
// guard annotated members with vantory::Mutex and vantory::MutexLock (common/mutex.h).
#pragma once

#if defined(__clang__)
#define VANTORY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTORY_THREAD_ANNOTATION(x)
#endif

// A type that is a lock ("mutex"), or an object that holds one for its lifetime.
#define CAPABILITY(x) VANTORY_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VANTORY_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only while the lock is held; for a pointer, the data it points to.
#define GUARDED_BY(x) VANTORY_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VANTORY_THREAD_ANNOTATION(pt_guarded_by(x))

// The order in which locks are taken.
#define ACQUIRED_BEFORE(...) VANTORY_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VANTORY_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// A function called with the lock held, or without it.
#define REQUIRES(...) VANTORY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VANTORY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// A function that takes or releases the lock, or tries to take it.
#define ACQUIRE(...) VANTORY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VANTORY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VANTORY_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VANTORY_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VANTORY_THREAD_ANNOTATION(lock_returned(x))

// A function whose locking the analysis cannot follow; say why beside each use.
#define NO_THREAD_SAFETY_ANALYSIS VANTORY_THREAD_ANNOTATION(no_thread_safety_analysis)
