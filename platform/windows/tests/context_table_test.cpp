// The link between a request's context id and its filter context.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "isapi_host.h"

namespace {

namespace table = tokengate::isapi::context_table;
using tokengate::isapi::RequestDigest;

constexpr std::uint64_t kRequest = 0x1234'5678'9abc'def0ull;
constexpr std::uint64_t kOtherRequest = 0x0fed'cba9'8765'4321ull;

TEST(ContextTable, AnIdResolvesOnlyToItsOwnLiveContext) {
  std::vector<HTTP_FILTER_CONTEXT> contexts(64);
  std::set<std::uint32_t> ids;
  for (auto& pfc : contexts) {
    const std::uint32_t id = table::Enter(&pfc, kRequest);
    ASSERT_NE(id, 0u);
    ids.insert(id);
    EXPECT_EQ(table::Find(id, kRequest), &pfc);
    // The same slot with other random bits, and no id at all, name nothing.
    EXPECT_EQ(table::Find(id ^ 0x80000000u, kRequest), nullptr);
  }
  EXPECT_EQ(ids.size(), contexts.size());
  EXPECT_EQ(table::Find(0, kRequest), nullptr);

  const std::uint32_t first = *ids.begin();
  HTTP_FILTER_CONTEXT* owner = table::Find(first, kRequest);
  table::Leave(owner);
  EXPECT_EQ(table::Find(first, kRequest), nullptr);  // the request has ended
  const std::uint32_t again = table::Enter(owner, kRequest);
  EXPECT_NE(again, first);
  EXPECT_EQ(table::Find(again, kRequest), owner);
  for (auto& pfc : contexts)
    table::Leave(&pfc);
  EXPECT_EQ(table::Find(again, kRequest), nullptr);
}

TEST(ContextTable, AnIdResolvesOnlyForTheRequestItWasMadeFor) {
  HTTP_FILTER_CONTEXT pfc{};
  const std::uint32_t id = table::Enter(&pfc, kRequest);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(table::Find(id, kOtherRequest), nullptr);  // another connection presents the id
  EXPECT_EQ(table::Find(id, 0), nullptr);              // an extension that could not say
  EXPECT_EQ(table::Find(id, kRequest), &pfc);
  table::Leave(&pfc);
  EXPECT_EQ(table::Enter(&pfc, 0), 0u);  // a request without its digest gets no id
}

TEST(ContextTable, AContextNotifiedAgainKeepsOneSlot) {
  // Far more rounds than there are slots: a leak would run the table dry.
  std::vector<HTTP_FILTER_CONTEXT> contexts(8);
  for (int round = 0; round < 3 * 4096; ++round) {
    HTTP_FILTER_CONTEXT& pfc = contexts[static_cast<std::size_t>(round) % contexts.size()];
    const std::uint32_t first = table::Enter(&pfc, kRequest);
    const std::uint32_t second = table::Enter(&pfc, kOtherRequest);
    ASSERT_NE(first, 0u) << "round " << round;
    ASSERT_NE(second, 0u) << "round " << round;
    EXPECT_EQ(first & 0xFFFu, second & 0xFFFu);        // the same slot
    EXPECT_EQ(table::Find(first, kRequest), nullptr);  // only the latest id names it
    ASSERT_EQ(table::Find(second, kOtherRequest), &pfc);
    table::Leave(&pfc);
    ASSERT_EQ(table::Find(second, kOtherRequest), nullptr);
  }
}

TEST(ContextTable, AFullTableRefusesAndRecovers) {
  std::vector<HTTP_FILTER_CONTEXT> contexts(4096 + 1);
  std::vector<std::pair<HTTP_FILTER_CONTEXT*, std::uint32_t>> entered;
  bool refused = false;
  for (auto& pfc : contexts) {
    const std::uint32_t id = table::Enter(&pfc, kRequest);
    if (id == 0) {
      refused = true;
      break;
    }
    entered.emplace_back(&pfc, id);
  }
  EXPECT_TRUE(refused);
  for (const auto& [pfc, id] : entered)
    ASSERT_EQ(table::Find(id, kRequest), pfc);  // a refusal harms no entered context
  for (const auto& [pfc, id] : entered)
    table::Leave(pfc);
  HTTP_FILTER_CONTEXT late{};
  const std::uint32_t id = table::Enter(&late, kRequest);
  EXPECT_NE(id, 0u);
  table::Leave(&late);
}

// ---- the request digest ---------------------------------------------------------------------
using Connection = std::map<std::string, std::string>;

bool Read(void* source, const char* name, char* area, DWORD* size) {
  const auto& c = *static_cast<const Connection*>(source);
  const auto it = c.find(name);
  if (it == c.end() || *size < it->second.size() + 1)
    return false;
  std::memcpy(area, it->second.c_str(), it->second.size() + 1);
  *size = static_cast<DWORD>(it->second.size() + 1);
  return true;
}

TEST(RequestDigest, NamesTheConnectionBothRolesSee) {
  Connection client{{"REMOTE_ADDR", "192.0.2.7"},
                    {"REMOTE_PORT", "50123"},
                    {"LOCAL_ADDR", "192.0.2.1"},
                    {"SERVER_PORT", "443"}};
  const std::uint64_t digest = RequestDigest(&Read, &client);
  EXPECT_NE(digest, 0u);
  Connection same = client;
  EXPECT_EQ(RequestDigest(&Read, &same), digest);

  const std::pair<const char*, const char*> others[] = {
      {"REMOTE_ADDR", "192.0.2.8"}, {"REMOTE_PORT", "50124"},      {"LOCAL_ADDR", "192.0.2.2"},
      {"SERVER_PORT", "80"},        {"REMOTE_ADDR", "192.0.2.75"},
  };
  for (const auto& [name, value] : others) {
    Connection other = client;
    other[name] = value;
    EXPECT_NE(RequestDigest(&Read, &other), digest) << name << "=" << value;
  }
  // Values that only run together differently do not collide.
  Connection shifted = client;
  shifted["REMOTE_ADDR"] = "192.0.2.75";
  shifted["REMOTE_PORT"] = "0123";
  EXPECT_NE(RequestDigest(&Read, &shifted), digest);

  Connection missing = client;
  missing.erase("REMOTE_PORT");
  EXPECT_EQ(RequestDigest(&Read, &missing), 0u);
}

}  // namespace
