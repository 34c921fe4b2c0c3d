// The link between a request's context id and its filter context.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "isapi_host.h"

namespace {

namespace table = tokengate::isapi::context_table;

TEST(ContextTable, AnIdResolvesOnlyToItsOwnLiveContext) {
  std::vector<HTTP_FILTER_CONTEXT> contexts(64);
  std::set<std::uint32_t> ids;
  for (auto& pfc : contexts) {
    const std::uint32_t id = table::Enter(&pfc);
    ASSERT_NE(id, 0u);
    ids.insert(id);
    EXPECT_EQ(table::Find(id), &pfc);
    // The same slot with other random bits, and no id at all, name nothing.
    EXPECT_EQ(table::Find(id ^ 0x80000000u), nullptr);
  }
  EXPECT_EQ(ids.size(), contexts.size());
  EXPECT_EQ(table::Find(0), nullptr);

  const std::uint32_t first = *ids.begin();
  HTTP_FILTER_CONTEXT* owner = table::Find(first);
  table::Leave(owner);
  EXPECT_EQ(table::Find(first), nullptr);  // the request has ended
  const std::uint32_t again = table::Enter(owner);
  EXPECT_NE(again, first);
  EXPECT_EQ(table::Find(again), owner);
  for (auto& pfc : contexts)
    table::Leave(&pfc);
  EXPECT_EQ(table::Find(again), nullptr);
}

}  // namespace
