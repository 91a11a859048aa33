#pragma once

// Clang's thread-safety attributes, checked by -Wthread-safety in clang
// builds; other compilers see nothing. Use them with kestrano::Mutex
// (platform/mutex.h): libstdc++'s std::mutex carries no annotations.
#if defined(__clang__)
#define KESTRANO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KESTRANO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KESTRANO_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KESTRANO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KESTRANO_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KESTRANO_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KESTRANO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KESTRANO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KESTRANO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KESTRANO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KESTRANO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KESTRANO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KESTRANO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KESTRANO_THREAD_ANNOTATION(no_thread_safety_analysis)
