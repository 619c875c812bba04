#include "gil.hpp"

#include "pyref.hpp"

namespace quarnel::python {

bool handles_signals() {
  // Signal handlers run on the main thread of the main interpreter only.
  static const unsigned long main_thread = [] {
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    PyErr_Clear();  // without the answer, no thread polls
    return value;
  }();
  return main_thread != 0 && PyThread_get_thread_ident() == main_thread &&
         PyInterpreterState_Get() == PyInterpreterState_Main();
}

bool signal_handler_raised(void* thread_state) {
  PyEval_RestoreThread(static_cast<PyThreadState*>(thread_state));
  const bool raised = PyErr_CheckSignals() != 0;
  (void)PyEval_SaveThread();
  return raised;
}

}  // namespace quarnel::python
