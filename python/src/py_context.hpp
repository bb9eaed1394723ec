// The context object of a Python strategy, and the user log's warnings it reports refusals by.
#pragma once

#include <cstdint>
#include <string>

#include "py_common.hpp"

namespace korvex_python {

struct ContextView {
    RunRef run;
    pybind11::dict settings;                           // the [strategy] table
    pybind11::object last_refusal = pybind11::none();  // the last refused order's warning
};

// The user log's warnings while a Python strategy runs: how many, and the latest one's text.
struct UserWarnings {
    std::uint64_t count = 0;
    std::string last;
};
const UserWarnings& user_warnings();

}  // namespace korvex_python
