// Sharing the interpreter lock in long loops written in C++.  Python's own
// evaluation loop lets a waiting thread in every switch interval
// (sys.getswitchinterval(), 5 ms unless changed); a C++ loop that holds the
// lock for seconds must do the same itself, or every other thread of the
// process (a transport's receive thread, say) stands still meanwhile.
//
// Usage, once per iteration:
//     if (sharing.due()) { <make the state other threads may look at consistent>; glue::let_other_threads_run(); }
// due() looks at the clock only every `kIterationsPerLook` calls and is true
// about every one and a half switch intervals of wall time.  Needs the GIL;
// runs no Python code.
//
// Why longer than the switch interval, not shorter: a thread waiting for the
// lock asks the holder to hand it over only after a whole switch interval
// without being woken, and every release wakes it and starts that interval
// anew.  Released more often than that, the waiter is woken but almost never
// wins the lock back from this thread, and never asks for it.  Released less
// often, the waiter has asked by then, and the release hands the lock over
// for certain (the interpreter's forced switching).
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

namespace glue {

// Releases the interpreter lock and takes it back.  A thread that has been
// waiting for a switch interval gets it in between; otherwise this costs a
// mutex round trip.
inline void let_other_threads_run() {
  Py_BEGIN_ALLOW_THREADS
  Py_END_ALLOW_THREADS
}

class LockSharing {
 public:
  static constexpr uint32_t kIterationsPerLook = 64;

  bool due() {
    if (++calls_ < kIterationsPerLook) return false;
    calls_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (!started_) {
      started_ = true;
      period_ = sharing_period();
      next_ = now + period_;
      return false;
    }
    if (now < next_) return false;
    next_ = now + period_;
    return true;
  }

 private:
  // 1.5 x sys.getswitchinterval(), read without running Python code (a
  // replaced getswitchinterval that is not the builtin is not called).
  static std::chrono::steady_clock::duration sharing_period() {
    double seconds = 0.005;
    PyObject* getter = PySys_GetObject("getswitchinterval");  // borrowed
    if (getter != nullptr && PyCFunction_Check(getter)) {
      if (PyObject* value = PyObject_CallNoArgs(getter)) {
        const double d = PyFloat_AsDouble(value);
        if (d > 0.0 && d < 1.0) seconds = d;
        Py_DECREF(value);
      }
      PyErr_Clear();
    }
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds * 1.5));
  }

  uint32_t calls_ = 0;
  bool started_ = false;
  std::chrono::steady_clock::duration period_{};
  std::chrono::steady_clock::time_point next_{};
};

}  // namespace glue
