// Micro-benchmarks of the server's hot paths: cutting frames, decoding
// requests, processing them against the store, encoding replies.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "metrics/Metrics.h"
#include "net/Framing.h"
#include "protocol/Events.h"
#include "protocol/Wire.h"
#include "store/ResourceManager.h"

namespace parley {
namespace {

std::string SendFrame(int i, size_t body) {
  std::string f;
  wire::FrameBuilder(f, wire::EV_SENGMSG).String("user" + std::to_string(i % 50)).String("room").String(std::string(body, 'b')).End();
  return f;
}

struct Counter : FrameSink {
  size_t frames = 0;
  void OnFrame(const char*, size_t) override { ++frames; }
  void OnBadLength(int32_t) override {}
};

void BM_CutFrames(benchmark::State& state) {
  std::string stream;
  for (int i = 0; i < 256; ++i) stream += SendFrame(i, 64);
  Counter c;
  for (auto _ : state) benchmark::DoNotOptimize(CutFrames(stream.data(), stream.size(), c));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_CutFrames);

void BM_DecodeSend(benchmark::State& state) {
  const std::string f = SendFrame(1, static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DecodeRequest(f.data() + 4, f.size() - 4));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DecodeSend)->Arg(64)->Arg(1024);

struct Loaded {
  std::unique_ptr<ResourceManager> rm = ResourceManager::CreateStandalone();
  std::vector<MessageId> ids;
  explicit Loaded(int messages) {
    for (int i = 0; i < 50; ++i) rm->AddUser("user" + std::to_string(i));
    rm->CreateChat("user0", "room");
    for (int i = 1; i < 50; ++i) rm->JoinChat("user" + std::to_string(i), "room");
    for (int i = 0; i < messages; ++i) rm->SendTextMsg("user" + std::to_string(i % 50), "room", std::string(64, 'm'));
    ids = rm->GetChatMsgsID("room");
  }
};

// Decodes and runs the given frames round-robin against `rm`.
void ProcessLoop(benchmark::State& state, ResourceManager* rm, const std::vector<std::string>& frames) {
  std::string out;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& f = frames[i++ % frames.size()];
    auto ev = DecodeRequest(f.data() + 4, f.size() - 4);
    ev->SetOutput(&out);
    ev->Process(rm);
    out.clear();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_ProcessSend(benchmark::State& state) {
  Loaded s(0);
  ProcessLoop(state, s.rm.get(), {SendFrame(7, 64)});
}
BENCHMARK(BM_ProcessSend);

void BM_ProcessFetch(benchmark::State& state) {
  Loaded s(1000);
  std::vector<std::string> frames;
  for (size_t i = 0; i < 64; ++i) {
    std::string f;
    wire::FrameBuilder(f, wire::EV_GETMSG).String("room").Int(static_cast<uint64_t>(s.ids[i * 15])).End();
    frames.push_back(f);
  }
  ProcessLoop(state, s.rm.get(), frames);
}
BENCHMARK(BM_ProcessFetch);

void BM_ProcessList100(benchmark::State& state) {
  Loaded s(100);
  std::string f;
  wire::FrameBuilder(f, wire::EV_GETCHAT).String("room").End();
  ProcessLoop(state, s.rm.get(), {f});
}
BENCHMARK(BM_ProcessList100);

// A registration into a store that already has range(0) users: the name's
// table slot is a random place in tables that outgrow the caches (the store
// grows by the 200,000 registrations timed; range(0) is where it starts).
void BM_ProcessRegister(benchmark::State& state) {
  std::unique_ptr<ResourceManager> rm = ResourceManager::CreateStandalone();
  std::string name = "member-000000000000";
  // The next name: its 12 digits counted up in place.
  auto advance = [](char* last) {
    while (*last == '9') *last-- = '0';
    ++*last;
  };
  for (int64_t i = 0; i < state.range(0); ++i) {
    rm->AddUser(name);
    advance(&name.back());
  }
  std::string f;
  wire::FrameBuilder(f, wire::EV_REGISTER).String(name).End();  // the name ends the frame
  std::string out;
  for (auto _ : state) {
    auto ev = DecodeRequest(f.data() + 4, f.size() - 4);
    ev->SetOutput(&out);
    ev->Process(rm.get());
    out.clear();
    advance(&f.back());
  }
  if (rm->UserCount() != static_cast<size_t>(state.range(0) + state.iterations())) state.SkipWithError("a registration failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ProcessRegister)->Arg(0)->Arg(1 << 16)->Arg(1 << 18)->Arg(1 << 19)->Arg(1 << 20)->Arg(1 << 22)->Iterations(200000);

// The first write to each page of fresh anonymous memory (the kernel's fault,
// zeroing and mapping): what storing costs per 4 KiB beyond the bytes
// themselves, and what no server that stores nothing pays. Only the writes
// are timed; per_page is the time per page.
void BM_FreshPageWrite(benchmark::State& state) {
  constexpr size_t kPage = 4096, kPages = 256, kBytes = kPage * kPages;
  struct Unmap {
    void operator()(char* p) const { munmap(p, kBytes); }
  };
  for (auto _ : state) {
    void* map = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
      state.SkipWithError("mmap failed");
      break;
    }
    const std::unique_ptr<char, Unmap> mapping(static_cast<char*>(map));
    volatile char* bytes = mapping.get();
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kPages; ++i) bytes[i * kPage] = 1;
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["per_page"] = benchmark::Counter(kPages, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FreshPageWrite)->UseManualTime();

// What metrics add to a request: its count by kind and result, and its
// latency kept in a run and observed with one clock reading per run of
// `range(0)` replies (an event thread's hand-over to one connection).
void BM_MetricsPerRequest(benchmark::State& state) {
  const int64_t run = state.range(0);
  metrics::LatencyRun timing;
  int64_t stamp = metrics::NowNs(), i = 0;
  for (auto _ : state) {
    metrics::CountRequest(wire::EV_SENGMSG, metrics::Result::kOk);
    timing.Add(wire::EV_SENGMSG, stamp);
    if (++i % run == 0) {
      timing.Finish();
      ++stamp;  // the next run comes from a later pass
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_MetricsPerRequest)->Arg(1)->Arg(16);

// The clock reading itself, for scale.
void BM_ClockReading(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(metrics::NowNs());
}
BENCHMARK(BM_ClockReading);

}  // namespace
}  // namespace parley

BENCHMARK_MAIN();
