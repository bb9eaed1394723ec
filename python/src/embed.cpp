// libkorvex_python.so: Python for programs that have none (the command line running a .py
// strategy). It starts an interpreter, puts the built `korvex` package on its path and imports
// it, which installs the host's Python strategy loader; then it lets the GIL go, so that the
// loop takes it only while it calls the strategy.
#include <dlfcn.h>
#include <pybind11/embed.h>

#include <fmt/format.h>

#include <filesystem>

#include "korvex/errors.hpp"

namespace py = pybind11;

namespace {

// The package is built beside the libraries: <build>/lib/libkorvex_python.so, <build>/python.
std::string package_dir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&package_dir), &info) && info.dli_fname)
        return (std::filesystem::path(info.dli_fname).parent_path().parent_path() / "python")
            .string();
    return KORVEX_PYTHON_DIR;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void korvex_python_start() {
    if (Py_IsInitialized()) {  // a Python program: it has imported korvex already, or does now
        py::gil_scoped_acquire gil;
        py::module_::import("korvex");
        return;
    }
    py::initialize_interpreter(false);
    try {
        py::module_::import("sys").attr("path").attr("insert")(0, package_dir());
        py::module_::import("korvex");
    } catch (py::error_already_set& e) {
        const std::string why = e.what();
        PyEval_SaveThread();
        throw korvex::ImportError(fmt::format("cannot start Python for the strategy: {}", why));
    }
    // The interpreter stays for the process's lifetime; its lock is taken per call from now on.
    PyEval_SaveThread();
}
