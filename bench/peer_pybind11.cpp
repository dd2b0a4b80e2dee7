// The C++ developer's usual choice, measured beside the plugin: pybind11's
// embedding API doing the work of the call and callback pairs.
//
// Built as a module against the Python headers of the library the bench runs
// (Debian's 3.11) and linked with no libpython: the bench loads it after the
// plugin has opened that library with RTLD_GLOBAL, so its Python symbols
// resolve to the one interpreter both share. It runs in that interpreter,
// which the plugin started; pybind11 only needs the GIL, which the bench's
// thread holds.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

py::object* gAdd;
py::object* gF;

}  // namespace

extern "C" __attribute__((visibility("default"))) int peer_setup(const char* module,
                                                                  const char* function) {
  try {
    gAdd = new py::object(py::module_::import(module).attr(function));
    // f(i) answers i + 1, as the host function and the raw twin do.
    gF = new py::object(py::cpp_function([](int i) { return i + 1; }));
    return 1;
  } catch (const std::exception&) {
    PyErr_Clear();
    return 0;
  }
}

// add(a, b) called with two ints, the result read as int.
extern "C" __attribute__((visibility("default"))) long peer_call(long a, long b) {
  return (*gAdd)(a, b).cast<long>();
}

// The same call as a C++ program that calls Python from more than one thread
// writes it: inside gil_scoped_acquire, here from a thread that already holds
// the lock (as the plugin's host thread does), so only the check is paid.
extern "C" __attribute__((visibility("default"))) long peer_call_acquire(long a, long b) {
  py::gil_scoped_acquire acquire;
  return (*gAdd)(a, b).cast<long>();
}

// The pybind11 function f, for Python's loop to call (a new reference).
extern "C" __attribute__((visibility("default"))) void* peer_callback_function() {
  return gF->inc_ref().ptr();
}
