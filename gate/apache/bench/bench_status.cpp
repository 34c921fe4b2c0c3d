// What the status counters cost a request: the counting steps of a token request (the gate's
// events noted, one broker call counted and timed, the outcome classified and counted), alone and
// from several threads at once (the counters are shared), and what one scrape costs the handler.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "status_counters.h"

namespace {

namespace st = tokengate::apache::status;

class Counters {
 public:
  Counters() : area_(std::make_unique<std::byte[]>(sizeof(st::CounterBlock))) {
    block_ = st::CounterBlock::Create(area_.get());
    slot_ = static_cast<int>(block_->AssignSlot("/etc/tokengate/", nullptr));
    block_->AssignSlot("/etc/tokengate/admin/", nullptr);
    st::Install(block_);
  }
  int Slot() const { return slot_; }
  st::CounterBlock& Block() { return *block_; }

 private:
  std::unique_ptr<std::byte[]> area_;
  st::CounterBlock* block_ = nullptr;
  int slot_ = st::kNoSlot;
};

Counters& Shared() {
  static Counters counters;
  return counters;
}

// Everything the module adds to a token request for counting, the broker call's clock included.
void BM_CountTokenRequest(benchmark::State& state) {
  const int slot = Shared().Slot();
  for (auto _ : state) {
    st::ResetNotes();
    const auto started = std::chrono::steady_clock::now();
    const auto nanos =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now() - started)
                                       .count());
    st::NoteBrokerResult(st::BrokerResult::Ok);
    st::CountBrokerCall(slot, st::BrokerProcedure::GetHeaderString, st::BrokerResult::Ok, 0,
                        nanos + 200'000);
    st::NoteEvent(tokengate::gate::EventType::Information,
                  u"Attributes from Tessera are being added as request headers.");
    st::CountOutcome(slot, st::Classify(st::HostAnswer::HandedOnWithHeaders, 200,
                                        st::RedirectTarget::SignOn, st::Notes()));
  }
}
BENCHMARK(BM_CountTokenRequest)->Threads(1)->Threads(2)->UseRealTime();

// An unprotected request: one counter.
void BM_CountUnprotectedRequest(benchmark::State& state) {
  const int slot = Shared().Slot();
  for (auto _ : state) {
    st::ResetNotes();
    st::CountOutcome(slot, st::Classify(st::HostAnswer::HandedOnUnchanged, 200,
                                        st::RedirectTarget::SignOn, st::Notes()));
  }
}
BENCHMARK(BM_CountUnprotectedRequest)->Threads(1)->Threads(2)->UseRealTime();

// The handler: read every counter of two sites and write the exposition text.
void BM_Scrape(benchmark::State& state) {
  st::CounterBlock& block = Shared().Block();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = st::FormatExposition(block.Read());
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Scrape);

}  // namespace

BENCHMARK_MAIN();
