#include <gtest/gtest.h>
#include "report/output_report.h"
TEST(Placeholder, Builds) { OutputReport r; r.SetGear('3', 0); EXPECT_EQ(r.bytes[2], 0x33); }
