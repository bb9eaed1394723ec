// Cash-flow schedules: building, ordering, caching and the day lookup.
#include "korvex_mod_bond/position/cash_flow.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>

#include "bond_env.hpp"
#include "korvex/errors.hpp"
#include "tavlen/bond.hpp"

using namespace bond_test;
using korvex_mod_bond::CashFlowRecord;
using korvex_mod_bond::CashFlowSchedules;
using korvex_mod_bond::DaySchedule;
using korvex_mod_bond::ImpliedCashFlowRecord;

namespace {

struct CashFlowFixture : ::testing::Test {
    std::shared_ptr<tavlen::MemoryBackend> client = std::make_shared<tavlen::MemoryBackend>();
    CashFlowSchedules schedules;
    void SetUp() override { tavlen::set_backend(client); }
    void TearDown() override { tavlen::set_backend(nullptr); }
};

const Date D1 = make_date(2020, 6, 15), D2 = make_date(2021, 6, 15), D3 = make_date(2022, 6, 15);

}  // namespace

TEST(CashFlowLayout, DescribesTheRecordsByteForByte) {
    using korvex_mod_bond::CASH_FLOW_DTYPES;
    using korvex_mod_bond::IMPLIED_CASH_FLOW_DTYPES;
    EXPECT_EQ(CASH_FLOW_DTYPES.to_string(),
              "[('payment_date', '<i4'), ('cash_flow', '<f8'), ('cum_principal_payment', '<f8')]");
    EXPECT_EQ(CASH_FLOW_DTYPES.itemsize(), sizeof(CashFlowRecord));
    EXPECT_EQ(CASH_FLOW_DTYPES.at("cum_principal_payment").offset,
              offsetof(CashFlowRecord, cum_principal_payment));
    EXPECT_EQ(IMPLIED_CASH_FLOW_DTYPES.names(),
              (std::vector<std::string>{"date", "cash_flow", "cum_principal_payment",
                                        "payment_receivable"}));
    EXPECT_EQ(IMPLIED_CASH_FLOW_DTYPES.itemsize(), sizeof(ImpliedCashFlowRecord));
    EXPECT_EQ(IMPLIED_CASH_FLOW_DTYPES.at("payment_receivable").offset,
              offsetof(ImpliedCashFlowRecord, payment_receivable));
}

TEST_F(CashFlowFixture, NoDataIsNoSchedule) {
    client->set_realized_cash_flow("B.IB", realized_table("B.IB", {}));
    client->set_implied_cash_flow("B.IB", implied_table("B.IB", {}));
    EXPECT_EQ(schedules._all_real_cash_flow("A.IB"), nullptr);
    EXPECT_EQ(schedules._all_implied_cash_flow("A.IB"), nullptr);
    EXPECT_EQ(schedules._all_real_cash_flow("B.IB"), nullptr);
    EXPECT_EQ(schedules._all_implied_cash_flow("B.IB"), nullptr);
}

TEST_F(CashFlowFixture, AsksTheClientOnceAndSharesTheArray) {
    client->set_implied_cash_flow("A.IB", implied_table("A.IB", {{D1, 3.5, 0, 1.0}}));
    auto first = schedules._all_implied_cash_flow("A.IB");
    auto second = schedules._all_implied_cash_flow("A.IB");
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(client->calls(),
              std::vector<std::string>{"get_implied_cash_flow(\"A.IB\", 20050102, 29991231)"});
    // Absent data is remembered too.
    schedules._all_real_cash_flow("Z.IB");
    schedules._all_real_cash_flow("Z.IB");
    EXPECT_EQ(client->count("realized_cash_flow"), 1u);
}

TEST_F(CashFlowFixture, SumsPrincipalInDateOrderWhateverTheDeliveryOrder) {
    const std::vector<CashFlowRow> in_order{{D1, 13.5, 10}, {D2, 23.5, 20}, {D3, 73.5, 70}};
    const std::vector<CashFlowRow> reversed{in_order.rbegin(), in_order.rend()};
    client->set_realized_cash_flow("F.IB", realized_table("F.IB", in_order));
    client->set_realized_cash_flow("R.IB", realized_table("R.IB", reversed));
    client->set_implied_cash_flow("F.IB", implied_table("F.IB", in_order));
    client->set_implied_cash_flow("R.IB", implied_table("R.IB", reversed));
    for (const std::string id : {"F.IB", "R.IB"}) {
        const auto& real = *schedules._all_real_cash_flow(id);
        ASSERT_EQ(real.size(), 3u) << id;
        const std::vector<std::tuple<std::int32_t, double, double>> expected{
            {20200615, 13.5, 10}, {20210615, 23.5, 30}, {20220615, 73.5, 100}};
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(std::make_tuple(real[i].payment_date, real[i].cash_flow,
                                      real[i].cum_principal_payment),
                      expected[i])
                << id << " row " << i;
        const auto& implied = *schedules._all_implied_cash_flow(id);
        ASSERT_EQ(implied.size(), 3u) << id;
        EXPECT_EQ(implied[0].date, 20200615);
        EXPECT_EQ(implied[0].cum_principal_payment, 10.0) << id;
        EXPECT_EQ(implied[2].cum_principal_payment, 100.0) << id;
    }
}

TEST_F(CashFlowFixture, ImpliedColumnsLandInTheirFields) {
    client->set_implied_cash_flow(
        "A.IB", implied_table("A.IB", {{D2, 103.5, 100, 0.5}, {D1, 0.0, 0, 3.5}}));
    const auto& s = *schedules._all_implied_cash_flow("A.IB");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].date, 20200615);
    EXPECT_EQ(s[0].cash_flow, 0.0);
    EXPECT_EQ(s[0].payment_receivable, 3.5);
    EXPECT_EQ(s[1].cash_flow, 103.5);
    EXPECT_EQ(s[1].cum_principal_payment, 100.0);
    EXPECT_EQ(s[1].payment_receivable, 0.5);
}

// A coupon row and a principal row of one day (as a user's import gives them) are one payment.
TEST_F(CashFlowFixture, RowsOfOneDayArePaidTogether) {
    client->set_realized_cash_flow("A.IB", realized_table("A.IB", {{D1, 5.0, 0}, {D1, 2.0, 0}}));
    const auto& s = *schedules._all_real_cash_flow("A.IB");
    EXPECT_EQ(s[0].cash_flow, 2.0);
    EXPECT_EQ(s[1].cash_flow, 5.0);
    DaySchedule<CashFlowRecord> day;
    const CashFlowRecord* hit = day.row(D1, &CashFlowRecord::payment_date,
                                        [&] { return schedules._all_real_cash_flow("A.IB"); });
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->cash_flow, 7.0);
}

TEST(CashFlowLookup, FindsOnlyTheExactDay) {
    auto s = std::make_shared<const std::vector<CashFlowRecord>>(
        std::vector<CashFlowRecord>{{20200615, 1, 0}, {20210615, 2, 0}, {20220615, 3, 100}});
    int loads = 0;
    DaySchedule<CashFlowRecord> schedule;
    auto row = [&](Date d) {
        return schedule.row(d, &CashFlowRecord::payment_date, [&] {
            ++loads;
            return s;
        });
    };
    const std::vector<std::pair<Date, double>> cases{
        {make_date(2020, 1, 1), NAN},
        {D1, 1},
        {make_date(2020, 6, 16), NAN},
        {D2, 2},
        {D3, 3},
        {make_date(2022, 6, 16), NAN},
        {D1, 1},
        // Jumps both ways from wherever the previous lookup stopped.
        {make_date(2021, 1, 1), NAN},
        {D3, 3},
        {D2, 2},
        {make_date(2019, 1, 1), NAN},
        {D2, 2},
        {make_date(2030, 1, 1), NAN},
        {D3, 3}};
    for (auto [day, cash_flow] : cases) {
        const CashFlowRecord* hit = row(day);
        if (std::isnan(cash_flow)) {
            EXPECT_EQ(hit, nullptr) << korvex::format_date(day);
        } else {
            ASSERT_NE(hit, nullptr) << korvex::format_date(day);
            EXPECT_EQ(hit->cash_flow, cash_flow) << korvex::format_date(day);
        }
    }
    EXPECT_EQ(loads, 1);
}

TEST(CashFlowLookup, ARecordOnADayTheRunSkipsIsDueOnTheNextDayItVisits) {
    const std::vector<Date> run_days =
        korvex::testing::weekdays(make_date(2020, 6, 1), make_date(2020, 6, 30));
    // Saturday 13th joins Monday 15th's own record; Sunday 21st is alone on Monday 22nd; the
    // two records of Wednesday 24th are one; days outside the run stay.
    auto s = std::make_shared<const std::vector<ImpliedCashFlowRecord>>(
        std::vector<ImpliedCashFlowRecord>{{20200529, 9, 0, 0},
                                           {20200613, 1, 0, 0.5},
                                           {20200615, 2, 0, 0.25},
                                           {20200621, 5, 50, 0},
                                           {20200624, 3, 50, 1},
                                           {20200624, 4, 60, 2},
                                           {20210102, 6, 100, 0}});
    DaySchedule<ImpliedCashFlowRecord> schedule;
    auto row = [&](Date d) {
        return schedule.row(
            d, &ImpliedCashFlowRecord::date, [&] { return s; }, [&] { return &run_days; });
    };
    auto text = [](const ImpliedCashFlowRecord* r) {
        return r ? fmt::format("{} {} {}", r->cash_flow, r->payment_receivable,
                               r->cum_principal_payment)
                 : std::string("none");
    };
    EXPECT_EQ(text(row(make_date(2020, 5, 29))), "9 0 0");
    EXPECT_EQ(text(row(make_date(2020, 6, 13))), "none");
    EXPECT_EQ(text(row(make_date(2020, 6, 15))), "3 0.75 0");
    EXPECT_EQ(text(row(make_date(2020, 6, 21))), "none");
    const ImpliedCashFlowRecord* monday = row(make_date(2020, 6, 22));
    EXPECT_EQ(text(monday), "5 0 50");
    EXPECT_EQ(text(schedule.previous(monday)), "3 0.75 0");
    EXPECT_EQ(text(row(make_date(2020, 6, 24))), "7 3 60");
    EXPECT_EQ(text(row(make_date(2021, 1, 2))), "6 0 100");
    // The shared schedule itself is left as the client gave it.
    EXPECT_EQ((*s)[1].cash_flow, 1);
}

TEST(CashFlowLookup, NoScheduleHasNoRowAndAFailedLoadIsRetried) {
    DaySchedule<CashFlowRecord> schedule;
    int loads = 0;
    auto failing = [&]() -> korvex_mod_bond::CashFlowSchedule {
        ++loads;
        throw korvex::KeyError("column 'cash_flow' not in table");
    };
    EXPECT_THROW(schedule.row(D1, &CashFlowRecord::payment_date, failing), korvex::KeyError);
    EXPECT_THROW(schedule.row(D1, &CashFlowRecord::payment_date, failing), korvex::KeyError);
    EXPECT_EQ(loads, 2);
    auto none = [&] {
        ++loads;
        return korvex_mod_bond::CashFlowSchedule();
    };
    EXPECT_EQ(schedule.row(D1, &CashFlowRecord::payment_date, none), nullptr);
    EXPECT_EQ(schedule.row(D2, &CashFlowRecord::payment_date, none), nullptr);
    EXPECT_EQ(loads, 3);
}

TEST_F(CashFlowFixture, EvictsTheLeastRecentlyUsedIdPastTheCapacity) {
    for (int i = 0; i < 1024; ++i) schedules._all_real_cash_flow(fmt::format("{:06}.IB", i));
    schedules._all_real_cash_flow("000000.IB");  // now the most recent; 000001.IB is the oldest
    EXPECT_EQ(client->count("realized_cash_flow"), 1024u);
    schedules._all_real_cash_flow("extra.IB");
    EXPECT_EQ(schedules.real_cache().size(), 1024u);
    schedules._all_real_cash_flow("000000.IB");
    EXPECT_EQ(client->count("realized_cash_flow"), 1025u);
    schedules._all_real_cash_flow("000001.IB");
    EXPECT_EQ(client->count("realized_cash_flow"), 1026u);
}

TEST_F(CashFlowFixture, BadTablesFailNamingWhatIsMissingAndAreAskedAgain) {
    auto no_principal =
        std::make_shared<tavlen::Table>(std::vector<std::string>{"cash_flow"}, "payment_date");
    no_principal->append("A.IB", D1, {3.5});
    client->set_realized_cash_flow("A.IB", no_principal);
    EXPECT_THROW(schedules._all_real_cash_flow("A.IB"), korvex::KeyError);
    // A realized table under the implied call: its date level has the wrong name.
    client->set_implied_cash_flow("A.IB", realized_table("A.IB", {{D1, 3.5, 0}}));
    EXPECT_THROW(schedules._all_implied_cash_flow("A.IB"), korvex::KeyError);

    client->set_realized_cash_flow("N.IB", realized_table("N.IB", {{D1, 3.5, NAN}}));
    try {
        schedules._all_real_cash_flow("N.IB");
        FAIL() << "no error";
    } catch (const korvex::ValueError& e) {
        EXPECT_STREQ(e.what(), "cash-flow table of N.IB has no principal_payment on 2020-06-15");
    }
    client->set_realized_cash_flow("N.IB", realized_table("N.IB", {{D1, 3.5, 0}}));
    ASSERT_NE(schedules._all_real_cash_flow("N.IB"), nullptr);
    EXPECT_EQ(client->count("realized_cash_flow"), 3u);
}
