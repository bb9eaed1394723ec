// Chart primitives of the HTML report: axis ticks, downsampling, and the two chart kinds (dated
// line panels sharing one time axis, and horizontal bars), each returned as an inline <svg>.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvex/datetime_func.hpp"
#include "report_format.hpp"

namespace korvex::report {

struct Ticks {
    std::vector<double> values;  // ascending, the first at or below lo, the last at or above hi
    double step = 0;
};
// Round-numbered ticks (1, 2 or 5 times a power of ten apart), about `target` of them.
Ticks nice_ticks(double lo, double hi, int target);

struct DateTick {
    Date date;
    std::string label;
};
// Ticks on round dates (days, Mondays, month or year starts), at most max_ticks of them.
std::vector<DateTick> date_ticks(Date first, Date last, std::size_t max_ticks);

// Indices of the finite values to draw: all of them when there are at most max_points, else the
// first, the last and each bucket's minimum and maximum, so peaks and troughs survive.
std::vector<std::size_t> downsample(const std::vector<double>& values, std::size_t max_points);

struct Series {
    Series(std::string name_, std::string color_, std::vector<double> values_ = {},
           bool fill_ = false)
        : name(std::move(name_)),
          color(std::move(color_)),
          values(std::move(values_)),
          fill(fill_) {}
    std::string name;
    std::string color;
    std::vector<double> values;  // one per date; non-finite values are left out
    bool fill = false;           // shade between the line and zero
};

struct Panel {
    Panel(std::string title_, AxisKind axis_, int height_, bool from_zero_ = false)
        : title(std::move(title_)), axis(axis_), height(height_), from_zero(from_zero_) {}
    std::string title;
    AxisKind axis = AxisKind::Money;
    int height = 220;
    bool from_zero = false;  // keep zero inside the value axis
    std::vector<Series> series;
};

// Panels stacked over one date axis; at most about max_points points per chart in total.
std::string time_chart(std::string_view label, const std::vector<Date>& dates,
                       const std::vector<Panel>& panels, std::size_t max_points = 800);

struct Bar {
    std::string label;
    double value;
};
std::string bar_chart(std::string_view label, const std::vector<Bar>& bars);

// One bar per category, each series' value stacked on it: positive values upwards from zero,
// negative ones downwards. `series[k].values[i]` is series k in category i.
std::string stacked_bar_chart(std::string_view label, const std::vector<std::string>& categories,
                              const Panel& series);

}  // namespace korvex::report
