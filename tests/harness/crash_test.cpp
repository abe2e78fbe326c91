// Test programs that crash in the ways Wine reports differently, for the
// Wine wrapper's own test: each must fail its run whatever Wine's exit
// status says. Never run as a test of the product.
#include <gtest/gtest.h>

volatile int zero = 0;
volatile int* volatile nowhere = nullptr;

TEST(Crash, Trap) { __builtin_trap(); }
TEST(Crash, DivideByZero) { EXPECT_NE(7, 7 / zero); }
TEST(Crash, PageFault) { *nowhere = 1; }
TEST(Crash, None) { EXPECT_EQ(0, zero); }
