// Process-lifetime instances and the one reset that tests use.
#include "osa/singleton.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string g_order;  // the order the hooks ran in

struct First {
  int value = 1;
  void ResetForTest() {
    value = 0;
    g_order += "first ";
  }
};
struct Second {
  int value = 2;
  void ResetForTest() {
    value = 0;
    g_order += "second ";
  }
};
struct NoReset {
  int value = 3;
};

TEST(Singleton, OneInstanceResetNewestFirstOnlyWhereItCanBe) {
  First& a = osa::Singleton<First>();
  EXPECT_EQ(&a, &osa::Singleton<First>());
  Second& b = osa::Singleton<Second>();
  NoReset& c = osa::Singleton<NoReset>();
  c.value = 4;
  g_order.clear();
  osa::ResetSingletonsForTest();
  EXPECT_EQ(a.value, 0);
  EXPECT_EQ(b.value, 0);
  EXPECT_EQ(c.value, 4) << "a type without a reset hook keeps its state";
  EXPECT_NE(g_order.find("second first "), std::string::npos) << g_order;
  EXPECT_EQ(&b, &osa::Singleton<Second>()) << "reset keeps the instance";
}

}  // namespace
