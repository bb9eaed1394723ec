// The engine's errors as Python exceptions: korvex.Error and, under it, one class per kind that
// is also the built-in of that kind (korvex.KeyError is a KeyError), with the engine's message.
#include <fmt/format.h>

#include "korvex/errors.hpp"
#include "py_common.hpp"

namespace korvex_python {

namespace {

PyObject* error_class(py::module_& m, const char* name, PyObject* builtin, PyObject* base,
                      const char* doc) {
    py::tuple bases = builtin ? py::make_tuple(py::handle(base), py::handle(builtin))
                              : py::make_tuple(py::handle(base));
    const std::string qualified = fmt::format("korvex.{}", name);
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (!cls) throw py::error_already_set();
    m.add_object(name, py::handle(cls));
    return cls;
}

}  // namespace

void bind_errors(py::module_& m) {
    // Kept for the process's lifetime: the translator below raises them.
    static PyObject* error =
        error_class(m, "Error", nullptr, PyExc_Exception, "Every error the engine raises.");
    static PyObject* key = error_class(m, "KeyError", PyExc_KeyError, error,
                                       "An unknown instrument, account or entry.");
    static PyObject* value =
        error_class(m, "ValueError", PyExc_ValueError, error, "A value the engine refuses.");
    static PyObject* type =
        error_class(m, "TypeError", PyExc_TypeError, error, "A value of the wrong type.");
    static PyObject* attribute = error_class(m, "AttributeError", PyExc_AttributeError, error,
                                             "An attribute an object does not have.");
    static PyObject* import = error_class(m, "ImportError", PyExc_ImportError, error,
                                          "A strategy, mod or library that cannot be loaded.");
    static PyObject* not_implemented =
        error_class(m, "NotImplementedError", PyExc_NotImplementedError, error,
                    "An operation this engine does not offer.");
    static PyObject* runtime =
        error_class(m, "RuntimeError", PyExc_RuntimeError, error, "A failure while running.");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const korvex::KeyError& e) {
            PyErr_SetString(key, e.what());
        } catch (const korvex::ValueError& e) {
            PyErr_SetString(value, e.what());
        } catch (const korvex::TypeError& e) {
            PyErr_SetString(type, e.what());
        } catch (const korvex::AttributeError& e) {
            PyErr_SetString(attribute, e.what());
        } catch (const korvex::ImportError& e) {
            PyErr_SetString(import, e.what());
        } catch (const korvex::NotImplementedError& e) {
            PyErr_SetString(not_implemented, e.what());
        } catch (const korvex::RuntimeError& e) {
            PyErr_SetString(runtime, e.what());
        } catch (const korvex::Error& e) {
            PyErr_SetString(error, e.what());
        }
    });
}

}  // namespace korvex_python
