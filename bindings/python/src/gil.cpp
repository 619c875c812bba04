#include "gil.hpp"

#include <atomic>

#include "pyref.hpp"

namespace quarnel::python {
namespace {

// threading.main_thread().ident, or 0 if it cannot be had.
unsigned long look_up_main_thread() {
  PyRef threading(PyImport_ImportModule("threading"));
  PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  PyErr_Clear();  // without the answer, no thread polls
  return value == static_cast<unsigned long>(-1) ? 0 : value;
}

}  // namespace

bool handles_signals() {
  // Signal handlers run on the main thread of the main interpreter only. Not a guarded static:
  // the look-up runs Python code, which may let another thread in, and that thread would then
  // wait on the guard holding the interpreter lock. Two threads looking it up at once agree.
  static std::atomic<unsigned long> main_thread{0};
  unsigned long ident = main_thread.load(std::memory_order_relaxed);
  if (ident == 0) {
    ident = look_up_main_thread();
    main_thread.store(ident, std::memory_order_relaxed);
  }
  return ident != 0 && PyThread_get_thread_ident() == ident &&
         PyInterpreterState_Get() == PyInterpreterState_Main();
}

bool signal_handler_raised(void* thread_state) {
  PyEval_RestoreThread(static_cast<PyThreadState*>(thread_state));
  const bool raised = PyErr_CheckSignals() != 0;
  (void)PyEval_SaveThread();
  return raised;
}

}  // namespace quarnel::python
