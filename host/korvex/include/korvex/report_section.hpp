// What a mod adds to the report, said in terms of its own results: its daily columns drawn over
// time, summed by month as stacked bars and by year as a table, and its summary figures as bars.
// The host draws them; it needs to know nothing of what the figures mean.
#pragma once

#include <string>
#include <vector>

namespace korvex {

struct ReportSeries {
    std::string label;
    // A daily column: one of the mods' metrics, or the day's "cash", "market_value" or "equity".
    std::string column;
    std::string color;  // CSS colour
};

struct ReportPanel {
    std::string title;
    bool percent = false;    // values are fractions, drawn as percentages
    bool from_zero = false;  // keep zero on the value axis
    std::vector<ReportSeries> series;
};

struct ReportBar {
    std::string label;
    std::string summary_key;
    bool cost = false;  // drawn below zero whatever the sign it is stored with
};

struct ReportSection {
    std::string title;
    std::string note;                         // a sentence under the title; may be empty
    std::vector<ReportPanel> panels;          // over time, on one date axis
    std::vector<ReportSeries> monthly_stack;  // summed by month: positive up, negative down
    std::vector<ReportSeries> yearly_table;   // summed by year, with the run's total
    std::vector<ReportBar> bars;              // summary figures
};

}  // namespace korvex
