// korvex._korvex: the engine for Python. The package `korvex` (korvex/__init__.py) builds on it.
#include "py_common.hpp"
#include "py_strategy.hpp"

PYBIND11_MODULE(_korvex, m) {
    m.doc() = "The korvex backtesting engine: bonds and repos of the Chinese markets.";
    korvex_python::bind_errors(m);
    korvex_python::bind_model(m);
    korvex_python::bind_portfolio(m);
    korvex_python::bind_context(m);
    korvex_python::bind_run(m);
    korvex_python::bind_data(m);
    korvex_python::install_python_loader();
}
