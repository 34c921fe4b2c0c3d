#include "tokengate/gate/gate_event_log.h"

#include <gtest/gtest.h>

namespace tokengate::gate {
namespace {

TEST(GateEventLog, EveryEventHasCategory1000AndId1001AndIsCutAt255) {
  auto sink = std::make_shared<CapturingEventSink>();
  GateEventLog log(sink);
  const std::u16string longText(300, u'x');
  log.Report(EventType::Warning, longText);
  log.Report(EventType::Information, u"Tessera cookie not found");
  log.Report(EventType::Error, std::u16string(255, u'y'));

  const auto events = sink->Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0],
            (CapturingEventSink::Event{EventType::Warning, 1000, 1001, std::u16string(255, u'x')}));
  EXPECT_EQ(events[1].type, EventType::Information);
  EXPECT_EQ(events[1].text, u"Tessera cookie not found");
  EXPECT_EQ(events[2].text.size(), 255u);
}

TEST(GateEventLog, WithoutSinkEventsAreDropped) {
  GateEventLog log;
  EXPECT_FALSE(log.HasSink());
  log.Report(EventType::Error, u"Unable to load configuration");  // must simply return
}

}  // namespace
}  // namespace tokengate::gate
