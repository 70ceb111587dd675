// Which COM apartment the calling thread is in, and a way to run shell work in a
// single-threaded one. ShellExecute(Ex) may load shell extensions that need a single-threaded
// apartment, and a window needs a thread that pumps its messages; the module's objects are
// registered for both apartment kinds, so a caller may be on a multithreaded one.
#pragma once

#include <windows.h>

#include <boost/function.hpp>

namespace util {

// True on a thread of a single-threaded apartment (the main one included), and on a thread of
// such an apartment that has entered the neutral one. False in the multithreaded apartment
// (implicitly joined ones too) and on a thread that has not initialised COM.
bool in_single_threaded_apartment();

// Runs `work` in a single-threaded apartment: at once on the calling thread when it is in one;
// otherwise on a new thread that joins one, runs it and ends. The caller does not wait for that
// thread: the work may show a window that waits for the user, and the caller may hold locks or
// never pump messages. False when the thread could not be started; `work` did not run then.
// Exceptions of `work` on the new thread are dropped.
bool run_in_single_threaded_apartment(const boost::function<void()>& work);

}  // namespace util
