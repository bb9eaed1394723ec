// Bars as NumPy structured arrays over the engine's own records: no copy, read-only.
#pragma once

#include <pybind11/numpy.h>

#include "korvex/bars.hpp"
#include "korvex/tick.hpp"

namespace korvex_python {

pybind11::array bars_to_numpy(const korvex::Bars& bars);

// A quote snapshot handed to handle_tick, copied so that it outlives the call and the run.
struct Tick {
    std::string order_book_id;
    korvex::TickRecord record;
};

}  // namespace korvex_python
