// Bond positions: the host's position bookkeeping plus what a bond has and a stock has not:
// coupons and principal booked as a receivable in the morning and paid at settlement, de-listing
// when the principal is repaid, and quantities pledged to repo financings until their due date.
// Two variants answer where the day's cash flows come from; create() picks one.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
    // The host's figures plus what became receivable today: a payment that moves the price
    // ex-coupon and into the receivable is not a loss.
    double position_pnl() const override {
        return korvex::Position::position_pnl() + _booked_today;
    }
    double trading_pnl() const override { return korvex::Position::trading_pnl() + _booked_today; }
    double pledged_quantity() const;
    // The host's closable quantity net of pledges; negative when pledges exceed it.
    double closable() const override;
    // What a new financing may pledge on `day`: the closable quantity plus the pledges of the
    // financings falling due that day, whose bonds the maturing repo frees for a roll (they stay
    // unsellable until its settlement).
    double pledgeable(korvex::Date day) const;

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
    // The payment day for which what becomes receivable on `date_` is owed.
    virtual korvex::Date _payment_day_of(korvex::Date date_) = 0;
    // Principal repaid per unit by the end of the day, from the variant's schedule.
    virtual double _cum_principal_through(korvex::Date date_) = 0;
    // The face value per unit still outstanding after the day's payments: what a unit can back
    // in a repo. The issue price for a bond that repays nothing before maturity.
    double remaining_principal(korvex::Date day);
    // What the holding of record is owed for one payment day: coupon and principal as they
    // became receivable; `unsplit` is an amount restored from a state that did not split it,
    // split as the day's payment is.
    struct Owed {
        double coupon = 0, principal = 0, unsplit = 0;
        double total() const { return coupon + principal + unsplit; }
    };
    // By payment day: sorted by day, and a vector, so that once it has held a coupon no day
    // allocates.
    using Entitlements = std::vector<std::pair<korvex::Date, Owed>>;
    const std::map<korvex::Date, double>& due_settlement_dict() const {
        return _due_settlement_dict;
    }

protected:
    BondPosition(const std::string& order_book_id, korvex::POSITION_DIRECTION direction,
                 double init_quantity, std::shared_ptr<CashFlowSchedules> schedules);

    // Key of an entitlement restored from a state that did not say its day: paid with the
    // next payment.
    static constexpr korvex::Date NEXT_PAYMENT{};

    // The daily steps, written once for both variants. `Variant` is the calling final class, so
    // the cash-flow lookups of the daily loop are direct calls the compiler can inline.
    //
    // The holding of record is the one held when an amount becomes receivable, in the morning
    // before the day's trades. It is owed that amount on the payment day, whatever it holds
    // then: units bought later are owed nothing, units sold in between are still paid. A short
    // holding owes what it would be owed long.
    template <class Variant>
    double before_trading_of(Variant& self, korvex::Date trading_date) {
        const double delta_cash = korvex::Position::before_trading(trading_date);
        _booked_today = 0;
        const double receivable = self.Variant::_get_cash_flow_receivable(trading_date);
        if (receivable != 0) {
            // Principal becomes receivable on its payment day; the rest is coupon.
            const double principal =
                self.Variant::_get_cash_flow(trading_date).first != 0
                    ? std::min(receivable, self.Variant::_principal_of_day(trading_date))
                    : 0.0;
            book_receivable(trading_date, receivable, principal);
        }
        return delta_cash;
    }
    template <class Variant>
    double settlement_of(Variant& self, korvex::Date trading_date) {
        korvex::Position::settlement(trading_date);
        double delta_cash = 0;
        auto [payment, de_listed] = self.Variant::_get_cash_flow(trading_date);
        if (!_entitlements.empty()) {
            // What is paid today repays principal in the share the day's payment does.
            const double principal_share =
                payment != 0 ? self.Variant::_principal_of_day(trading_date) / payment : 0.0;
            delta_cash += pay_entitlements(trading_date, payment != 0, principal_share);
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
    double _booked_today = 0;  // what became receivable this morning, for the day's profit
    std::map<korvex::Date, double> _due_settlement_dict;
    Entitlements _entitlements;                     // by payment day
    std::shared_ptr<CashFlowSchedules> _schedules;  // the run's schedule caches

private:
    // Books what becomes receivable today (per unit, `principal` of it principal) as owed to
    // the holding of record.
    [[gnu::noinline]] void book_receivable(korvex::Date trading_date, double receivable,
                                           double principal);
    // Pays the entitlements due by `trading_date` (those of NEXT_PAYMENT too on a payment
    // day), coupon and principal as separate parts, each as it was owed; returns the cash.
    double pay_entitlements(korvex::Date trading_date, bool payment_day, double principal_share);
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
    // A payment becomes receivable on its own day.
    korvex::Date _payment_day_of(korvex::Date date_) override { return date_; }
    double _cum_principal_through(korvex::Date date_) override {
        return cum_principal_through(_schedules->_all_real_cash_flow(_order_book_id),
                                     &CashFlowRecord::payment_date, date_);
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
        const ImpliedCashFlowRecord* row = implied_row(date_);
        if (!row) return {};
        return {row->cash_flow, row->payment_receivable,
                principal_repaid(row->cum_principal_payment)};
    }
    // The day's receivable, and on a payment day also whatever of the payment the rows since
    // the previous payment did not make receivable (all of it when they made nothing
    // receivable): a payment is owed in full, to the holdings of record, never twice.
    double _get_cash_flow_receivable(korvex::Date date_) override {
        const ImpliedCashFlowRecord* row = implied_row(date_);
        if (!row) return 0.0;
        if (row->cash_flow == 0) return row->payment_receivable;
        return payment_day_receivable(*row);
    }
    // The first payment on or after the day; a receivable that no payment follows stays
    // receivable.
    korvex::Date _payment_day_of(korvex::Date date_) override {
        const ImpliedCashFlowRecord* row = implied_row(date_);
        return _schedule
            .next_due_day(row, [](const ImpliedCashFlowRecord& r) { return r.cash_flow != 0; })
            .value_or(korvex::Date::max());
    }
    std::pair<double, bool> _get_cash_flow(korvex::Date date_) override {
        const DayCashFlow day = _get_day_cash_flow(date_);
        return {day.payment, day.de_listed};
    }
    double _cum_principal_through(korvex::Date date_) override {
        return cum_principal_through(_schedules->_all_implied_cash_flow(_order_book_id),
                                     &ImpliedCashFlowRecord::date, date_);
    }
    double _principal_of_day(korvex::Date date_) override {
        const ImpliedCashFlowRecord* row = implied_row(date_);
        if (!row) return 0.0;
        const ImpliedCashFlowRecord* before = _schedule.previous(row);
        return row->cum_principal_payment - (before ? before->cum_principal_payment : 0.0);
    }

private:
    friend class BondPosition;
    using BondPosition::BondPosition;

    [[gnu::noinline]] double payment_day_receivable(const ImpliedCashFlowRecord& row) const {
        double accrued = row.payment_receivable;
        for (const ImpliedCashFlowRecord* r = _schedule.previous(&row); r && r->cash_flow == 0;
             r = _schedule.previous(r))
            accrued += r->payment_receivable;
        double rest = row.cash_flow - accrued;
        // What was booked as several rows and is paid as one may differ in the last bits.
        if (std::abs(rest) <= 1e-9 * std::abs(row.cash_flow)) rest = 0;
        return row.payment_receivable + rest;
    }
    [[gnu::always_inline]] const ImpliedCashFlowRecord* implied_row(korvex::Date date_) {
        return _schedule.row(
            date_, &ImpliedCashFlowRecord::date,
            [this] { return _schedules->_all_implied_cash_flow(_order_book_id); },
            [this] { return run_days(); });
    }

    DaySchedule<ImpliedCashFlowRecord> _schedule;
};

// What a new financing may pledge of a holding on `day`: BondPosition::pledgeable, the closable
// quantity of another model, 0 without a holding.
double pledgeable_quantity(const korvex::Position* position, korvex::Date day);
// The face value one unit of the bond backs in a repo on `day`: the holding's remaining
// principal, or the issue price without a holding (0 without one).
double pledge_face(korvex::Position* position, const BondInstrument& bond, korvex::Date day);

}  // namespace korvex_mod_bond
