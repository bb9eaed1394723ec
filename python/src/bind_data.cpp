// A bundle outside a run, for research (korvex.data): the bond mod's own stores and the client
// read the bundle's database exactly as a run's data source does, each call on the bundle's own
// client backend so that a run in progress keeps its own.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <fmt/format.h>
#include <filesystem>
#include <thread>

#include "korvex/data/base_data_source.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/day_bar_store.hpp"
#include "korvex_mod_bond/data/instrument_store.hpp"
#include "korvex_mod_bond/data/inter_bank_calendar_store.hpp"
#include "korvex_mod_bond/data/repo_day_bar_store.hpp"
#include "py_bars.hpp"
#include "py_common.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace korvex_python {

namespace {

namespace fs = std::filesystem;
using namespace korvex_mod_bond;

py::array_t<std::int64_t> date_ints(const std::vector<korvex::Date>& days) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(days.size()));
    auto v = out.mutable_unchecked<1>();
    for (std::size_t i = 0; i < days.size(); ++i)
        v(static_cast<py::ssize_t>(i)) = korvex::convert_date_to_date_int(days[i]);
    return out;
}

py::array_t<double> doubles(const std::vector<double>& values) {
    return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

// Reading the whole bundle inside a strategy's call would hand it days after the run's time.
void outside_a_run() {
    if (live_run().hook_thread.load() == std::this_thread::get_id())
        throw korvex::RuntimeError(
            "korvex.data reads the whole bundle, later days included, and cannot be used inside "
            "a strategy's calls: read the run's data through the context (context.day_bars, "
            "context.bond_analytics), which stop at the run's time");
}

// Each call on the bundle's own client, from outside a run's hooks.
class Reading {
public:
    explicit Reading(std::shared_ptr<tavlen::Backend> backend)
        : scope_(checked(std::move(backend))) {}

private:
    static std::shared_ptr<tavlen::Backend> checked(std::shared_ptr<tavlen::Backend> backend) {
        outside_a_run();
        return backend;
    }
    tavlen::ScopedBackend scope_;
};

class BundleReader {
public:
    BundleReader(const std::string& bundle, const std::string& database)
        : bundle_(bundle), backend_(std::make_shared<tavlen::SqliteBackend>(database)) {
        outside_a_run();
    }

    py::list instruments(const std::string& type) {
        Reading reading(backend_);
        py::list out;
        auto add = [&](const korvex::AbstractInstrumentStore& store) {
            for (const auto& ins : store.get_instruments(std::nullopt)) {
                py::dict row = to_py(ins->record());
                row["type"] = type;
                out.append(row);
            }
        };
        if (type == "bond")
            add(BondInstrumentStore());
        else if (type == "repo")
            add(RepoInstrumentStore());
        else
            throw korvex::ValueError(fmt::format("type '{}': expected 'bond' or 'repo'", type));
        return out;
    }

    py::array day_bars(const std::string& id, const std::string& source) {
        Reading reading(backend_);
        return bars_to_numpy(bond_store(source).get_bars(id));
    }

    py::array repo_bars(const std::string& id) {
        Reading reading(backend_);
        return bars_to_numpy(repo_store_.get_bars(id));
    }

    // None, or (level name, dates YYYYMMDD, {column: values}).
    py::object table(const std::string& kind, const std::string& id, const std::string& start,
                     const std::string& end, const std::string& source,
                     const std::string& valuation_type) {
        Reading reading(backend_);
        namespace b = tavlen::bond;
        tavlen::TablePtr t;
        if (kind == "valuation")
            t = b::get_valuation(id, {start, end, source, valuation_type});
        else if (kind == "price")
            t = b::get_price(id, {start, end, source, true});
        else if (kind == "repo_quotation")
            t = b::currency_market_quotation(id, {start, end});
        else if (kind == "realized_cash_flow")
            t = b::realized_cash_flow(id);
        else if (kind == "implied_cash_flow")
            t = b::get_implied_cash_flow(id, std::stoi(start), std::stoi(end));
        else
            throw korvex::ValueError(fmt::format("unknown table '{}'", kind));
        if (!t) return py::none();
        py::dict columns;
        for (const auto& name : t->column_names())
            columns[py::str(name)] = doubles(t->column(name));
        return py::make_tuple(t->index_names()[1], date_ints(t->dates()), columns);
    }

    std::vector<std::string> curves() {
        Reading reading(backend_);
        return tavlen::bond::get_yield_curve_list();
    }

    // None, or (dates YYYYMMDD, tenors, yields).
    py::object curve(const std::string& name, const std::string& start, const std::string& end) {
        Reading reading(backend_);
        const auto points = tavlen::bond::get_yield_curve(name, {start, end});
        if (!points) return py::none();
        return py::make_tuple(date_ints(points->dates), doubles(points->tenors),
                              doubles(points->yields));
    }

    py::array_t<std::int64_t> trading_dates(const std::string& market) {
        outside_a_run();
        if (market == "exchange")
            return date_ints(korvex::read_trading_dates_file(bundle_ / "trading_dates.txt"));
        if (market != "inter_bank")
            throw korvex::ValueError(
                fmt::format("market '{}': expected 'exchange' or 'inter_bank'", market));
        Reading reading(backend_);
        std::vector<korvex::Date> days;
        for (const korvex::DateTime& dt : InterBankCalendarStore().get_trading_calendar())
            days.push_back(korvex::to_date(dt));
        return date_ints(days);
    }

private:
    // The store a run with this valuation_source reads bonds from.
    BondDayBarStore& bond_store(const std::string& source) {
        if (source == "chinabond") return chinabond_;
        if (source == "exchange") return exchange_;
        if (source == "auto") return auto_;
        throw korvex::ValueError(
            fmt::format("source '{}': expected 'chinabond', 'exchange' or 'auto' (as "
                        "mod.bond.valuation_source)",
                        source));
    }

    fs::path bundle_;
    std::shared_ptr<tavlen::SqliteBackend> backend_;
    ChinabondBondDayBarStore chinabond_;
    ExchangeBondDayBarStore exchange_;
    AutoBondDayBarStore auto_;
    RepoDayBarStore repo_store_;
};

}  // namespace

void bind_data(py::module_& m) {
    py::class_<BundleReader>(m, "_BundleReader",
                             "A bundle read as a run reads it; korvex.data.Bundle builds on it.")
        .def(py::init<const std::string&, const std::string&>(), py::arg("bundle"),
             py::arg("database"))
        .def("instruments", &BundleReader::instruments, py::arg("type"),
             "the records of the run's instruments of this type ('bond' or 'repo')")
        .def("day_bars", &BundleReader::day_bars, py::arg("order_book_id"), py::arg("source"),
             "a bond's day bars under a valuation source, as a run's bars")
        .def("repo_bars", &BundleReader::repo_bars, py::arg("order_book_id"),
             "a repo's day bars, as a run's bars")
        .def("table", &BundleReader::table, py::arg("kind"), py::arg("order_book_id"),
             py::arg("start_date"), py::arg("end_date"), py::arg("source"),
             py::arg("valuation_type"),
             "None or (date level, dates YYYYMMDD, {column: values}) of a client table")
        .def("curves", &BundleReader::curves, "the names of the bundle's yield curves")
        .def("curve", &BundleReader::curve, py::arg("name"), py::arg("start_date"),
             py::arg("end_date"), "None or (dates YYYYMMDD, tenors in years, yields in percent)")
        .def("trading_dates", &BundleReader::trading_dates, py::arg("market"),
             "the market's trading days as YYYYMMDD ('exchange' or 'inter_bank')");
}

}  // namespace korvex_python
