// vq::ModuleCount: the lock count behind each component library's
// DllCanUnloadNow.
#include <vector>

#include <gtest/gtest.h>

#include "platform/VQModuleCount.h"

namespace {

// Steps on a fresh count and what it reads after each.
enum class Step { AddObject, RemoveObject, Lock, Unlock };

TEST(ModuleCount, ObjectsAndServerLocksCountAndUnbalancedUnlocksStopAtZero) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    LONG lockCount;
  } const cases[] = {
      {"fresh", {}, 0},
      {"one object", {Step::AddObject}, 1},
      {"object gone", {Step::AddObject, Step::RemoveObject}, 0},
      {"one server lock", {Step::Lock}, 1},
      {"lock undone", {Step::Lock, Step::Unlock}, 0},
      {"object and lock", {Step::AddObject, Step::Lock}, 2},
      {"unlock without lock", {Step::Unlock}, 0},
      {"unlock cannot hide an object", {Step::AddObject, Step::Unlock, Step::Unlock}, 1},
      {"a later lock still counts", {Step::Unlock, Step::Lock}, 1},
  };
  for (const Case& c : cases) {
    vq::ModuleCount count;
    for (Step s : c.steps) {
      switch (s) {
        case Step::AddObject: count.AddObject(); break;
        case Step::RemoveObject: count.RemoveObject(); break;
        case Step::Lock: count.LockServer(true); break;
        case Step::Unlock: count.LockServer(false); break;
      }
    }
    EXPECT_EQ(count.LockCount(), c.lockCount) << c.name;
    EXPECT_EQ(count.CanUnloadNow(), c.lockCount == 0 ? S_OK : S_FALSE) << c.name;
  }
}

vq::ModuleCount g_First;
vq::ModuleCount g_Second;

TEST(ModuleCount, AnObjectCountsInItsOwnModuleForItsLifetimeAndCopiesCountAgain) {
  {
    vq::ModuleObject<g_First> one;
    vq::ModuleObject<g_First> copy(one);
    EXPECT_EQ(g_First.LockCount(), 2);
    EXPECT_EQ(g_Second.LockCount(), 0);
    copy = one;  // assignment leaves the count alone
    EXPECT_EQ(g_First.LockCount(), 2);
  }
  EXPECT_EQ(g_First.CanUnloadNow(), S_OK);
}

}  // namespace
