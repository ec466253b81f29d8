// The C++ runtime linked into this DLL runs its one-time initialisations
// (registering the image's unwind tables at load, static locals) through
// pthread_once. The threads library's own version makes the calling thread a
// thread of that library, with a thread handle and an event that are closed
// only when the thread detaches from the image: for the thread that loads the
// DLL, which usually outlives it, every load and unload left both behind. The
// link step sends the runtime's calls here instead (--wrap=pthread_once): the
// same guarantee, made of an interlocked state word alone.
#include <windows.h>
#include <pthread.h>

extern "C" int __wrap_pthread_once(pthread_once_t* once, void (*init)(void)) {
    enum : LONG { kNotRun = PTHREAD_ONCE_INIT, kRunning = kNotRun + 1, kDone = kNotRun + 2 };
    volatile LONG* state = once;
    if (InterlockedCompareExchange(state, kRunning, kNotRun) == kNotRun) {
        init();
        InterlockedExchange(state, kDone);
        return 0;
    }
    // Whoever came second waits for the first to finish; these are short and
    // happen once per process.
    while (InterlockedCompareExchange(state, kDone, kDone) != kDone) SwitchToThread();
    return 0;
}
