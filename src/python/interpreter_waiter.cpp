#include "python/interpreter_waiter.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace ontarix::py {
namespace {

// Threads between their look at g_exiting and holding the lock.
std::atomic<long> g_entering{0};
std::atomic<bool> g_exiting{false};
// The thread that ran the exit callback: the one finalizing, which may still take the lock.
std::atomic<unsigned long> g_finalizing_thread{0};

PyObject* before_exit(PyObject*, PyObject*) noexcept {
    g_finalizing_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    g_exiting.store(true, std::memory_order_seq_cst);
    while (g_entering.load(std::memory_order_seq_cst) != 0) {
        // A thread that saw the flag clear is waiting for the lock (or about to): let it have it.
        // It lets go again at its next handover, where it sees the flag.
        PyThreadState* self = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(self);
    }
    Py_RETURN_NONE;
}

PyMethodDef g_before_exit = {
    "_ontarix_before_exit", before_exit, METH_NOARGS,
    "Keeps threads in ontarix calls from taking the interpreter lock once it exits."};

}  // namespace

void InterpreterWaiter::release() noexcept { saved_ = PyEval_SaveThread(); }

bool InterpreterWaiter::reacquire() noexcept {
    g_entering.fetch_add(1, std::memory_order_seq_cst);
    if (g_exiting.load(std::memory_order_seq_cst) &&
        g_finalizing_thread.load(std::memory_order_relaxed) != PyThread_get_thread_ident()) {
        g_entering.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    PyEval_RestoreThread(saved_);
    g_entering.fetch_sub(1, std::memory_order_seq_cst);
    saved_ = nullptr;
    return true;
}

void InterpreterWaiter::before_call() {
    // A handler's exception is handled like any other raised by Python code during a call.
    if (PyErr_CheckSignals() < 0) throw_pending();
}

bool install_exit_guard() noexcept {
    const PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    const PyRef callback = PyRef::steal(PyCFunction_New(&g_before_exit, nullptr));
    if (!callback) return false;
    const PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
    return static_cast<bool>(done);
}

}  // namespace ontarix::py
