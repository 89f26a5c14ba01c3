// kestrix._kestrix: the C interface as a Python extension. Every function of
// the C headers is bound under its own name by the generated table
// (generate_bindings.py); this file holds what the table cannot say by
// itself: the mutex handle and the one function whose C form has output
// pointers.
//
// The module links libkestrix.so like any robot program, so whatever stands
// in for the board below it (the simulator's preloaded fakes) meets the same
// library a C program would.
#include <pybind11/pybind11.h>

#include "kestrix/kestrix.h"

#include <stdexcept>

namespace py = pybind11;

#include "kestrix_functions.inc"

namespace {

// Python objects outlive any call, so a destroyed handle must be refused
// here: the C interface would follow the freed pointer.
mutex &live(mutex &m)
{
    if (m.ptr == nullptr)
        throw py::value_error("the mutex was destroyed");
    return m;
}

} // namespace

PYBIND11_MODULE(_kestrix, m)
{
    m.doc() = doc::module;

    py::class_<mutex>(m, "mutex", "A mutex handle from mutex_create(); see mutex_create.");
    m.def("mutex_create", &::mutex_create, doc::mutex_create);
    m.def(
        "mutex_lock",
        [](mutex &handle) {
            mutex held = live(handle);
            py::gil_scoped_release release;
            ::mutex_lock(held);
        },
        doc::mutex_lock, py::arg("m"));
    m.def(
        "mutex_trylock", [](mutex &handle) { return ::mutex_trylock(live(handle)); }, doc::mutex_trylock,
        py::arg("m"));
    m.def(
        "mutex_unlock", [](mutex &handle) { ::mutex_unlock(live(handle)); }, doc::mutex_unlock, py::arg("m"));
    m.def(
        "mutex_destroy",
        [](mutex &handle) {
            ::mutex_destroy(handle);
            handle.ptr = nullptr;
        },
        doc::mutex_destroy, py::arg("m"));

    // The C function leaves its six outputs as they were: nothing to return.
    m.def(
        "get_pid_gains",
        [](int port) {
            short p = 0, i = 0, d = 0, pd = 0, id = 0, dd = 0;
            ::get_pid_gains(port, &p, &i, &d, &pd, &id, &dd);
        },
        doc::get_pid_gains, py::arg("port"));

    defineFunctions(m);

    // For the parts written in Python (threads, port objects): the same
    // documentation as the C functions they stand for.
    py::dict docs;
    defineDocs(docs);
    m.attr("_docs") = docs;
}
