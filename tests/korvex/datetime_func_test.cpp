#include <gtest/gtest.h>

#include "korvex/datetime_func.hpp"
#include "korvex/errors.hpp"

using namespace korvex;

TEST(DatetimeFunc, ConvertsDatesAndDateTimesToTheirIntegerForms) {
    EXPECT_EQ(convert_date_to_date_int(make_date(2020, 1, 3)), 20200103);
    EXPECT_EQ(convert_date_to_date_int(make_datetime(2020, 1, 3, 23, 59, 59)), 20200103);
    EXPECT_EQ(convert_date_to_int(make_datetime(2020, 1, 3, 15, 0, 0)), 20200103150000);
    EXPECT_EQ(convert_date_to_int(make_datetime(2999, 12, 31, 9, 5, 7)), 29991231090507);
    EXPECT_EQ(convert_date_to_int(make_date(2005, 1, 4)), 20050104000000);
}

TEST(DatetimeFunc, IntegerFormsRoundTrip) {
    DateTime dt = make_datetime(2023, 12, 29, 13, 1, 0);
    EXPECT_EQ(datetime_from_int(convert_date_to_int(dt)), dt);
    EXPECT_EQ(date_from_int(20240229), make_date(2024, 2, 29));
}

TEST(DatetimeFunc, RejectsMalformedDatesNamingThem) {
    EXPECT_THROW(date_from_int(20230229), ValueError);
    EXPECT_THROW(make_date(2023, 13, 1), ValueError);
    try {
        parse_date("2020-1-3");
        FAIL();
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "invalid date '2020-1-3' (expected YYYY-MM-DD or YYYYMMDD)");
    }
    EXPECT_EQ(parse_date("20200103"), make_date(2020, 1, 3));
    EXPECT_EQ(parse_datetime("2020-01-03 15:00:00"), make_datetime(2020, 1, 3, 15));
    EXPECT_EQ(format_datetime(make_datetime(2020, 1, 3, 9, 30)), "2020-01-03 09:30:00");
}
