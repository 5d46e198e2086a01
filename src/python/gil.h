// Running native work without the interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace pellumo::python {

// Releases the interpreter lock for its lifetime, so that other Python
// threads run while this one decodes and writes. Nothing in that time may
// touch a Python object; what must (a signal check, a warning, a call into
// a Python writer) runs through held(), which takes the lock back for the
// call. Made and destroyed on the thread that holds the lock, inside the
// entry point's guard, so that an exception unwinding through it leaves the
// lock held.
class GilReleased {
 public:
  GilReleased() : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  template <class Body>
  decltype(auto) held(Body&& body) {
    PyEval_RestoreThread(saved_);
    Release again{saved_};
    return std::forward<Body>(body)();
  }

 private:
  struct Release {
    PyThreadState*& saved;
    ~Release() { saved = PyEval_SaveThread(); }
  };

  PyThreadState* saved_;
};

}  // namespace pellumo::python
