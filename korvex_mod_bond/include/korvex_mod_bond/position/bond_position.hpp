// Bond positions: the host's position bookkeeping plus what a bond has and a stock has not:
// coupons and principal booked as a receivable in the morning and paid at settlement, de-listing
// when the principal is repaid, and quantities pledged to repo financings until their due date.
// Two variants answer where the day's cash flows come from; create() picks one.
#pragma once

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "korvex/portfolio/position.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/position/cash_flow.hpp"

namespace korvex_mod_bond {

class BondPosition : public korvex::Position {
public:
    static constexpr std::array<korvex::INSTRUMENT_TYPE, 1> instrument_types{
        korvex::INSTRUMENT_TYPE::BOND};

    // The realized-cash-flow variant for exchange bonds, and for every bond when
    // mod.bond.valuation_source is "exchange"; the implied variant otherwise. The variants read
    // their schedules through `schedules`, which the run's positions share.
    static std::unique_ptr<BondPosition> create(const std::string& order_book_id,
                                                korvex::POSITION_DIRECTION direction,
                                                double init_quantity,
                                                std::shared_ptr<CashFlowSchedules> schedules);

    // The host's state plus "payment_receivable" and "pledges" (due date -> quantity). A state
    // without them restores a zero receivable and no pledges.
    korvex::State get_state() const override;
    void set_state(const korvex::State& state) override;

    // 持仓总权益: the host's equity plus what is receivable and not yet paid.
    double equity() const override;
    double pledged_quantity() const;
    // The host's closable quantity net of pledges; negative when pledges exceed it.
    double closable() const override;

    // A financing RepoTrade pledges its quantity until its due date; anything else is a bond
    // trade booked by the host.
    double apply_trade(const korvex::Trade& trade) override;
    // before_trading and settlement are the variants' overrides, which run before_trading_of
    // and settlement_of below.

    // Kept while anything is receivable or pledged, even at quantity 0.
    bool is_empty() const override;

    // Per unit: what becomes receivable on the day, and (payment, de-listed) paid at settlement.
    virtual double _get_cash_flow_receivable(korvex::Date date_) = 0;
    virtual std::pair<double, bool> _get_cash_flow(korvex::Date date_) = 0;

    const BondInstrument& instrument() const { return *_instrument; }
    double payment_receivable() const { return _payment_receivable; }
    // Principal repaid per unit on the day (0 on a day without a payment).
    virtual double _principal_of_day(korvex::Date date_) = 0;
    const std::map<korvex::Date, double>& due_settlement_dict() const {
        return _due_settlement_dict;
    }

protected:
    BondPosition(const std::string& order_book_id, korvex::POSITION_DIRECTION direction,
                 double init_quantity, std::shared_ptr<CashFlowSchedules> schedules);

    // The daily steps, written once for both variants. `Variant` is the calling final class, so
    // the cash-flow lookups of the daily loop are direct calls the compiler can inline.
    template <class Variant>
    double before_trading_of(Variant& self, korvex::Date trading_date) {
        const double delta_cash = korvex::Position::before_trading(trading_date);
        // Receivable on the morning's holding, before the day's trades.
        _payment_receivable += self.Variant::_get_cash_flow_receivable(trading_date) * quantity();
        return delta_cash;
    }
    template <class Variant>
    double settlement_of(Variant& self, korvex::Date trading_date) {
        korvex::Position::settlement(trading_date);
        double delta_cash = 0;
        // Paid on the closing holding, which includes the day's trades.
        auto [payment, de_listed] = self.Variant::_get_cash_flow(trading_date);
        if (payment != 0) {
            _schedules->income.principal +=
                self.Variant::_principal_of_day(trading_date) * quantity();
            // A price from an earlier bar still holds what is paid today; the dirty price falls
            // by the payment, so mark it down until the bond trades again.
            if (last_price_date() < trading_date) {
                _last_price = std::max(0.0, _last_price - payment);
                _last_price_date = trading_date;
            }
            payment *= quantity();
            _schedules->income.cash_flow += payment;
            delta_cash += pay(payment);
        }
        if (de_listed) de_list();
        if (!_due_settlement_dict.empty()) release_pledges(trading_date);
        return delta_cash;
    }

    // True when the cumulative principal per unit reaches the issue price.
    bool principal_repaid(double cum_principal_payment) const;
    // The days the run visits (the default trading calendar), for payments dated on other days.
    const std::vector<korvex::Date>* run_days() const;

    std::shared_ptr<const BondInstrument> _instrument;
    double _payment_receivable = 0;
    std::map<korvex::Date, double> _due_settlement_dict;
    std::shared_ptr<CashFlowSchedules> _schedules;  // the run's schedule caches

private:
    double pay(double payment);
    void de_list();
    void release_pledges(korvex::Date trading_date);
};

// Answers from the realized schedule: a payment becomes receivable on the morning of its day.
class BondPositionWithRealizedCashFlow final : public BondPosition {
public:
    double before_trading(korvex::Date trading_date) override {
        return before_trading_of(*this, trading_date);
    }
    double settlement(korvex::Date trading_date) override {
        return settlement_of(*this, trading_date);
    }

    double _get_cash_flow_receivable(korvex::Date date_) override {
        return _get_cash_flow(date_).first;
    }
    std::pair<double, bool> _get_cash_flow(korvex::Date date_) override {
        const CashFlowRecord* row = _schedule.row(
            date_, &CashFlowRecord::payment_date,
            [this] { return _schedules->_all_real_cash_flow(_order_book_id); },
            [this] { return run_days(); });
        if (!row) return {0.0, false};
        return {row->cash_flow, principal_repaid(row->cum_principal_payment)};
    }
    double _principal_of_day(korvex::Date date_) override {
        const CashFlowRecord* row = _schedule.row(
            date_, &CashFlowRecord::payment_date,
            [this] { return _schedules->_all_real_cash_flow(_order_book_id); },
            [this] { return run_days(); });
        if (!row) return 0.0;
        const CashFlowRecord* before = _schedule.previous(row);
        return row->cum_principal_payment - (before ? before->cum_principal_payment : 0.0);
    }

private:
    friend class BondPosition;
    using BondPosition::BondPosition;

    DaySchedule<CashFlowRecord> _schedule;
};

// Answers from the implied schedule, which can make an amount receivable before its payment day.
class BondPositionWithImpliedCashFlow final : public BondPosition {
public:
    struct DayCashFlow {
        double payment = 0;
        double receivable = 0;
        bool de_listed = false;
    };

    double before_trading(korvex::Date trading_date) override {
        return before_trading_of(*this, trading_date);
    }
    double settlement(korvex::Date trading_date) override {
        return settlement_of(*this, trading_date);
    }

    DayCashFlow _get_day_cash_flow(korvex::Date date_) {
        const ImpliedCashFlowRecord* row = _schedule.row(
            date_, &ImpliedCashFlowRecord::date,
            [this] { return _schedules->_all_implied_cash_flow(_order_book_id); },
            [this] { return run_days(); });
        if (!row) return {};
        return {row->cash_flow, row->payment_receivable,
                principal_repaid(row->cum_principal_payment)};
    }
    double _get_cash_flow_receivable(korvex::Date date_) override {
        const DayCashFlow day = _get_day_cash_flow(date_);
        // Nothing accrued yet (the holding came after the accrual day): the whole payment
        // becomes receivable on its payment day.
        if (day.payment != 0 && _payment_receivable == 0) return day.payment;
        return day.receivable;
    }
    std::pair<double, bool> _get_cash_flow(korvex::Date date_) override {
        const DayCashFlow day = _get_day_cash_flow(date_);
        return {day.payment, day.de_listed};
    }
    double _principal_of_day(korvex::Date date_) override {
        const ImpliedCashFlowRecord* row = _schedule.row(
            date_, &ImpliedCashFlowRecord::date,
            [this] { return _schedules->_all_implied_cash_flow(_order_book_id); },
            [this] { return run_days(); });
        if (!row) return 0.0;
        const ImpliedCashFlowRecord* before = _schedule.previous(row);
        return row->cum_principal_payment - (before ? before->cum_principal_payment : 0.0);
    }

private:
    friend class BondPosition;
    using BondPosition::BondPosition;

    DaySchedule<ImpliedCashFlowRecord> _schedule;
};

}  // namespace korvex_mod_bond
