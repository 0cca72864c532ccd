// Decoding of field descriptions, self-describing values and decimal arguments.
#include <gtest/gtest.h>

#include "client/sql_client.h"

using dqp::FieldDesc;

TEST(FieldDesc, RowHeaderForm) {
    FieldDesc d;
    ASSERT_EQ(dqp::parse_field_desc("NAME:30:C:0:", false, &d), 0);
    EXPECT_EQ(d.name, "NAME");
    EXPECT_EQ(d.width, 30);
    EXPECT_EQ(d.type, 'C');
    EXPECT_EQ(d.decimals, 0);
    EXPECT_EQ(d.readonly, -1);
    ASSERT_EQ(dqp::parse_field_desc("PRICE:15:N:2:", false, &d), 0);
    EXPECT_EQ(d.decimals, 2);
}

TEST(FieldDesc, FieldListFormWithReadonlyFlag) {
    FieldDesc d;
    ASSERT_EQ(dqp::parse_field_desc("ROWID:10:N:0:1:", true, &d), 0);
    EXPECT_EQ(d.readonly, 1);
    // A header description is not a field-list one and the other way round.
    EXPECT_EQ(dqp::parse_field_desc("ROWID:10:N:0:", true, &d), -1);
    EXPECT_EQ(dqp::parse_field_desc("ROWID:10:N:0:1:", false, &d), -1);
    EXPECT_EQ(dqp::parse_field_desc("ROWID:10:N:0:2:", true, &d), -1);
}

TEST(FieldDesc, NamesWithColonsAndEmptyNames) {
    FieldDesc d;
    ASSERT_EQ(dqp::parse_field_desc("a:b:4:C:0:", false, &d), 0);
    EXPECT_EQ(d.name, "a:b");
    ASSERT_EQ(dqp::parse_field_desc(":4:C:0:", false, &d), 0);
    EXPECT_EQ(d.name, "");
}

TEST(FieldDesc, MalformedDescriptionsAreRefused) {
    FieldDesc d;
    for (const char *bad :
         {"", "NAME", "NAME:", "NAME:10:C:0", "NAME:x:C:0:", "NAME:10:c:0:", "NAME:10:CC:0:",
          "NAME:-1:C:0:", "NAME:10:C::", "NAME:10::0:", "NAME:9999999999:C:0:", "NAME:10:C:0:junk"})
        EXPECT_EQ(dqp::parse_field_desc(bad, false, &d), -1) << bad;
}

TEST(DescribedValue, ValueMayHoldColonsAndBeEmpty) {
    FieldDesc d;
    std::string v;
    ASSERT_EQ(dqp::parse_described_value("NAME:10:C:0:SMITH", &d, &v), 0);
    EXPECT_EQ(d.name, "NAME");
    EXPECT_EQ(v, "SMITH");
    ASSERT_EQ(dqp::parse_described_value("AT:8:C:0:12:30:00", &d, &v), 0);
    EXPECT_EQ(v, "12:30:00");
    ASSERT_EQ(dqp::parse_described_value("N:10:N:0:        42", &d, &v), 0);
    EXPECT_EQ(v, "        42");
    ASSERT_EQ(dqp::parse_described_value("EMPTY:5:C:0:", &d, &v), 0);
    EXPECT_EQ(v, "");
    ASSERT_EQ(dqp::parse_described_value("x:y:3:L:0:T", &d, &v), 0);
    EXPECT_EQ(d.name, "x:y");
    EXPECT_EQ(v, "T");
}

TEST(DescribedValue, MalformedValuesAreRefused) {
    FieldDesc d;
    std::string v;
    for (const char *bad : {"", "SMITH", "NAME:10:C:SMITH", "NAME:10:C", ":::::"})
        EXPECT_EQ(dqp::parse_described_value(bad, &d, &v), -1) << bad;
}

TEST(Decimal, WholeTextMustBeA32BitNumber) {
    int32_t n = 0;
    EXPECT_EQ(dqp::parse_decimal("0", &n), 0);
    EXPECT_EQ(dqp::parse_decimal("-1", &n), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(dqp::parse_decimal("2147483647", &n), 0);
    EXPECT_EQ(n, 2147483647);
    EXPECT_EQ(dqp::parse_decimal("-2147483648", &n), 0);
    EXPECT_EQ(n, INT32_MIN);
    for (const char *bad :
         {"", "-", "2147483648", "-2147483649", "12a", " 12", "+1", "99999999999"})
        EXPECT_EQ(dqp::parse_decimal(bad, &n), -1) << bad;
}
