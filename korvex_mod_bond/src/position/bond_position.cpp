#include "korvex_mod_bond/position/bond_position.hpp"

#include <fmt/format.h>

#include <cmath>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/trade.hpp"
#include "korvex_mod_bond/utils.hpp"
#include "saved_state.hpp"

namespace korvex_mod_bond {

using korvex::Date;

namespace {
constexpr const char* ENTITLEMENTS_KEY = "entitlements";
}  // namespace

std::unique_ptr<BondPosition> BondPosition::create(const std::string& order_book_id,
                                                   korvex::POSITION_DIRECTION direction,
                                                   double init_quantity,
                                                   std::shared_ptr<CashFlowSchedules> schedules) {
    korvex::Environment& env = korvex::Environment::get_instance();
    const bool realized = is_exchange_bond(order_book_id) ||
                          env.config().at("mod.bond.valuation_source").as_string() == "exchange";
    if (realized)
        return std::unique_ptr<BondPosition>(new BondPositionWithRealizedCashFlow(
            order_book_id, direction, init_quantity, std::move(schedules)));
    return std::unique_ptr<BondPosition>(new BondPositionWithImpliedCashFlow(
        order_book_id, direction, init_quantity, std::move(schedules)));
}

BondPosition::BondPosition(const std::string& order_book_id, korvex::POSITION_DIRECTION direction,
                           double init_quantity, std::shared_ptr<CashFlowSchedules> schedules)
    : korvex::Position(order_book_id, direction, init_quantity), _schedules(std::move(schedules)) {
    if (!_schedules)
        throw korvex::ValueError(
            fmt::format("bond position of {} needs the run's cash-flow schedules", order_book_id));
    korvex::InstrumentPtr ins =
        korvex::Environment::get_instance().data_proxy().instruments(order_book_id);
    _instrument = std::dynamic_pointer_cast<const BondInstrument>(ins);
    if (!_instrument)
        throw korvex::TypeError(
            fmt::format("bond position of {}: its instrument is {}, not BondInstrument",
                        order_book_id, korvex::type_name(*ins)));
}

korvex::State BondPosition::get_state() const {
    korvex::State state = korvex::Position::get_state();
    state["payment_receivable"] = _payment_receivable;
    state[PLEDGES_KEY] = pledges_to_state(_due_settlement_dict);
    korvex::State owed = korvex::State::array();
    for (const auto& [day, amount] : _entitlements) {
        korvex::State e{{"date", day == NEXT_PAYMENT ? std::string() : korvex::format_date(day)},
                        {"amount", amount.total()}};
        if (amount.unsplit == 0) e["principal"] = amount.principal;
        owed.push_back(std::move(e));
    }
    state[ENTITLEMENTS_KEY] = owed;
    return state;
}

void BondPosition::set_state(const korvex::State& state) {
    // Everything is read before anything changes, so a bad state leaves the position as it was.
    const std::string where = fmt::format("saved state of bond position {}", _order_book_id);
    double receivable = 0;
    if (auto it = state.find("payment_receivable"); it != state.end()) {
        if (!it->is_number())
            throw korvex::ValueError(
                fmt::format("{}: payment_receivable must be a number, got {}", where, it->dump()));
        receivable = it->get<double>();
    }
    std::map<Date, double> pledges;
    if (auto it = state.find(PLEDGES_KEY); it != state.end())
        pledges = pledges_from_state(*it, where);
    std::map<Date, Owed> owed;
    if (auto it = state.find(ENTITLEMENTS_KEY); it != state.end()) {
        if (!it->is_array())
            throw korvex::ValueError(
                fmt::format("{}: {} must be a list, got {}", where, ENTITLEMENTS_KEY, it->dump()));
        for (const auto& e : *it) {
            const auto* date = e.is_object() && e.contains("date") ? &e["date"] : nullptr;
            if (!date || !date->is_string() || !e.contains("amount") || !e["amount"].is_number())
                throw korvex::ValueError(fmt::format(
                    "{}: an entitlement must have a date and an amount, got {}", where, e.dump()));
            const std::string text = date->get<std::string>();
            Date day = NEXT_PAYMENT;
            try {
                if (!text.empty()) day = korvex::parse_date(text);
            } catch (const korvex::ValueError& error) {
                throw korvex::ValueError(fmt::format("{}: entitlement {}", where, error.what()));
            }
            const double amount = e["amount"].get<double>();
            Owed& o = owed[day];
            // A state from before the split was saved splits as the day's payment does.
            if (auto p = e.find("principal"); p == e.end()) {
                o.unsplit += amount;
            } else if (!p->is_number()) {
                throw korvex::ValueError(fmt::format(
                    "{}: an entitlement's principal must be a number, got {}", where, e.dump()));
            } else {
                o.principal += p->get<double>();
                o.coupon += amount - p->get<double>();
            }
        }
    } else if (receivable != 0) {
        // A state from before entitlements were saved: what it had receivable is paid with
        // the next payment.
        owed[NEXT_PAYMENT].unsplit = receivable;
    }
    korvex::Position::set_state(state);
    _payment_receivable = receivable;
    _due_settlement_dict = std::move(pledges);
    _entitlements.assign(owed.begin(), owed.end());
}

double BondPosition::equity() const {
    return korvex::Position::equity() + _payment_receivable;
}

double BondPosition::pledged_quantity() const {
    double total = 0;
    for (const auto& [date, quantity] : _due_settlement_dict) total += quantity;
    return total;
}

double BondPosition::closable() const {
    return korvex::Position::closable() - pledged_quantity();
}

double BondPosition::pledgeable(Date day) const {
    double maturing = 0;
    const auto end = _due_settlement_dict.upper_bound(day);
    for (auto it = _due_settlement_dict.begin(); it != end; ++it) maturing += it->second;
    return closable() + maturing;
}

double BondPosition::apply_trade(const korvex::Trade& trade) {
    if (trade.side() != korvex::SIDE::FINANCING) return korvex::Position::apply_trade(trade);
    const auto* repo = dynamic_cast<const RepoTrade*>(&trade);
    if (!repo)
        throw korvex::TypeError(
            fmt::format("financing trade requires type of RepoTrade, current type: {}",
                        korvex::type_name(trade)));
    const Date due = repo->due_settlement_date();
    const double pledged = repo->pledged_quantity();
    _due_settlement_dict[due] += pledged;
    return 0.0;
}

void BondPosition::book_receivable(Date trading_date, double receivable, double principal) {
    // A price from before today still holds what has now become receivable.
    if (last_price_date() < trading_date) {
        _last_price = std::max(0.0, _last_price - receivable);
        _last_price_date = trading_date;
    }
    const double units = quantity() * _direction_factor;
    if (units == 0) return;
    const Date due = _payment_day_of(trading_date);
    auto it = std::lower_bound(_entitlements.begin(), _entitlements.end(), due,
                               [](const auto& e, Date d) { return e.first < d; });
    if (it == _entitlements.end() || it->first != due) it = _entitlements.insert(it, {due, Owed{}});
    it->second.principal += principal * units;
    it->second.coupon += (receivable - principal) * units;
    _payment_receivable += receivable * units;
    _booked_today += receivable * units;
}

double BondPosition::pay_entitlements(Date trading_date, bool payment_day, double principal_share) {
    Owed owed;
    // An entitlement of unknown day (first in order) waits for a payment day.
    auto first = _entitlements.begin();
    if (first != _entitlements.end() && first->first == NEXT_PAYMENT && !payment_day) ++first;
    auto last = first;
    for (; last != _entitlements.end() && last->first <= trading_date; ++last) {
        owed.coupon += last->second.coupon;
        owed.principal += last->second.principal;
        owed.unsplit += last->second.unsplit;
    }
    if (first == last) return 0.0;
    _entitlements.erase(first, last);
    // What stays receivable is what is owed for later days: summed afresh, so nothing of
    // what was paid is left behind as rounding.
    _payment_receivable = 0;
    for (const auto& [day, amount] : _entitlements) _payment_receivable += amount.total();
    const double principal = owed.principal + owed.unsplit * principal_share;
    const double coupon = owed.coupon + owed.unsplit * (1 - principal_share);
    double delta_cash = 0;
    delta_cash += note_cash(korvex::CASH_CAUSE::COUPON, coupon);
    delta_cash += note_cash(korvex::CASH_CAUSE::PRINCIPAL, principal);
    return delta_cash;
}

void BondPosition::de_list() {
    _today_quantity = 0;
    _old_quantity = 0;
    // Nothing is carried into tomorrow's profit either.
    _day_start_quantity = 0;
}

void BondPosition::release_pledges(Date trading_date) {
    _due_settlement_dict.erase(_due_settlement_dict.begin(),
                               _due_settlement_dict.upper_bound(trading_date));
}

bool BondPosition::is_empty() const {
    return quantity() == 0 && _payment_receivable == 0 && _entitlements.empty() &&
           _due_settlement_dict.empty();
}

const std::vector<Date>* BondPosition::run_days() const {
    return _env && _env->data_source() ? &_env->data_proxy().trading_calendar() : nullptr;
}

bool BondPosition::principal_repaid(double cum_principal_payment) const {
    const std::optional<double> issue_price = _instrument->issue_price();
    if (!issue_price)
        throw korvex::ValueError(fmt::format(
            "bond {} has an empty issue_price: cannot tell whether its principal is repaid",
            _order_book_id));
    return cum_principal_payment >= *issue_price;
}

double BondPosition::remaining_principal(Date day) {
    const double face = _instrument->issue_price().value_or(0.0);
    return std::max(0.0, face - _cum_principal_through(day));
}

double pledge_face(korvex::Position* position, const BondInstrument& bond, Date day) {
    if (auto* held = dynamic_cast<BondPosition*>(position)) return held->remaining_principal(day);
    return bond.issue_price().value_or(0.0);
}

double pledgeable_quantity(const korvex::Position* position, Date day) {
    if (const auto* bond = dynamic_cast<const BondPosition*>(position))
        return bond->pledgeable(day);
    return position ? position->closable() : 0.0;
}

}  // namespace korvex_mod_bond
