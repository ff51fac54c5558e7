// The owning handle types: each handle is freed exactly once, by its last owner; "none"
// is never freed; release hands a handle over without freeing it.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/windows_handles.h"

namespace qc::tests {
namespace {

using platform::UniqueHandle;
using platform::UniqueResource;

// Records every free, so that a double or a missing free shows.
std::vector<int> freed;

struct CountingTraits {
  using Handle = int;
  static Handle Invalid() noexcept { return -1; }
  static bool IsValid(Handle h) noexcept { return h >= 0; }
  static void Free(Handle h) noexcept { freed.push_back(h); }
};
using Counted = UniqueResource<CountingTraits>;

TEST(UniqueResource, FreesEachHandleOnceByItsLastOwner) {
  struct Case {
    const char* name;
    void (*run)();
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"scope end", [] { Counted a(3); }, {3}},
      {"none is never freed",
       [] {
         Counted a;
         Counted b(-1);
       },
       {}},
      {"released is not freed",
       [] {
         Counted a(4);
         EXPECT_EQ(a.release(), 4);
         EXPECT_FALSE(a);
       },
       {}},
      {"reset frees the old one, then the new one at scope end",
       [] {
         Counted a(5);
         a.reset(6);
         EXPECT_EQ(a.get(), 6);
       },
       {5, 6}},
      {"move construction leaves the source empty",
       [] {
         Counted a(7);
         Counted b(std::move(a));
         EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
         EXPECT_EQ(b.get(), 7);
       },
       {7}},
      {"move assignment frees the target's own first",
       [] {
         Counted a(8);
         Counted b(9);
         b = std::move(a);
         EXPECT_EQ(freed, std::vector<int>{9});
       },
       {9, 8}},
      {"self move assignment keeps the handle",
       [] {
         Counted a(10);
         Counted& same = a;
         a = std::move(same);
         EXPECT_EQ(a.get(), 10);
       },
       {10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freed.clear();
    c.run();
    EXPECT_EQ(freed, c.expected);
  }
}

bool IsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

TEST(UniqueHandle, BothNoneValuesAreEmptyAndAKernelHandleIsClosed) {
  EXPECT_FALSE(UniqueHandle());
  EXPECT_FALSE(UniqueHandle(nullptr));
  EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));

  HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    const UniqueHandle owner(raw);
    EXPECT_TRUE(owner);
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));

  UniqueHandle kept(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(kept);
  HANDLE handedOver = kept.release();
  EXPECT_TRUE(IsOpen(handedOver));
  EXPECT_NE(CloseHandle(handedOver), FALSE);
}

}  // namespace
}  // namespace qc::tests
