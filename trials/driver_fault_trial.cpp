// Trial of driver failures inside an exchange, on the link worker with its
// real thread and page: every kind of call the worker makes during one
// console request (status reads, set and clear feature, reads, writes) is
// failed at every position it takes in that exchange, one run per position.
// A failure while the request is received fails the exchange: its lines
// are logged and the link is reset. A failure while the reply is sent
// leaves the request served (it was received and answered, whether or not
// the answer arrived), so the link is not reset: a failed status read or
// feature request logs nothing, a failed write logs "Error sending packet
// header." or "... body.". Either way the console of that exchange goes, and
// the next console on the same cable must be served. Prints one line per run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "link/cable_protocol.h"
#include "session/device_record.h"
#include "session/link_worker.h"
#include "sim/console_emulator.h"
#include "sim/sim_driver.h"
#include "tests/support/console_link.h"
#include "tests/support/test_page.h"
#include "tests/support/worker_fixture.h"
#include "trials/trial_support.h"
#include "ui/device_list.h"

using sim::Call;
using sim::SimDriver;

namespace {

std::unique_ptr<sim::ConsoleEmulator> Console(int cable) {
  return std::make_unique<sim::ConsoleEmulator>([cable] { return SimDriver::AttachConsole(cable); });
}

// The calls of each kind in one clean exchange; status reads counted from
// the exchange's first read on (before it, the worker polls all the time).
// The request is in once transfer complete is cleared: the status reads
// before that clear feature belong to receiving it. The reply is out at the
// first status read that finds transfer complete clear after the host raised
// it; the reads after that are the worker's next polls, not the exchange's
// (counted, a failure there would land on a poll and close the page).
struct Positions {
  int counts[static_cast<int>(Call::kCount)] = {};
  int receivingStatusReads = 0;
};

Positions CountCalls() {
  Positions p;
  bool started = false, completeRaised = false;
  for (const auto& e : SimDriver::Events()) {
    started |= e.call == Call::Read;
    if (!started) continue;
    if (e.call == Call::GetStatus && p.counts[static_cast<int>(Call::ClearFeature)] == 0)
      p.receivingStatusReads++;
    p.counts[static_cast<int>(e.call)]++;
    completeRaised |= e.call == Call::SetFeature && e.value == tavrin::kFeatureTransferComplete;
    if (completeRaised && e.call == Call::GetStatus && !(e.value & tavrin::kStatusTransferComplete)) break;
  }
  return p;
}

// What a failure of `kind` at `position` must leave: the lines logged, and
// whether the exchange failed (and so the link is reset).
struct Outcome {
  const char* lines;
  bool reset;
};

Outcome Expected(Call kind, int position, const Positions& clean) {
  switch (kind) {
    case Call::Read:
      return {position == 1 ? "Error getting packet header. / Error recieving packet."
                            : "Error recieving packet body. / Error recieving packet.",
              true};
    case Call::GetStatus:
      if (position <= clean.receivingStatusReads) return {"Error recieving packet.", true};
      return {"", false};
    case Call::Write:
      return {position == 1 ? "Error sending packet header." : "Error sending packet body.", false};
    default:  // set or clear feature: the result is not looked at
      return {"", false};
  }
}

// The lines before the ones the console's going leaves ("Peer lost." on).
std::string ExchangeLines(const std::string& lines) {
  const size_t lost = lines.find("Peer lost.");
  std::string out = lost == std::string::npos ? lines : lines.substr(0, lost);
  while (!out.empty() && (out.back() == ' ' || out.back() == '/')) out.pop_back();
  return out;
}

// The page's text after `from` characters, one line per "\r\n", joined by " / ".
std::string NewLines(HWND page, size_t from) {
  std::string text = ViewText(page), out;
  text = from <= text.size() ? text.substr(from) : text;
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    out += (out.empty() ? "" : " / ") + text.substr(at, end - at);
  return out;
}

const char* Name(Call call) {
  switch (call) {
    case Call::GetStatus: return "status read";
    case Call::SetFeature: return "set feature";
    case Call::ClearFeature: return "clear feature";
    case Call::Read: return "read";
    case Call::Write: return "write";
    default: return "?";
  }
}

class DriverFaultTrial : public WorkerTest {};

TEST_F(DriverFaultTrial, EveryCallFailedAtEveryPositionOfAnExchange) {
  TempFolder folder;
  SetSharedFolder(folder.Path().c_str());
  const int cable = SimDriver::Plug("trial cable");
  ASSERT_TRUE(ScanForCables());
  HWND page = DeviceList->page;
  auto console = Console(cable);
  // Polls wait for the status to change instead of spinning, so that an
  // exchange takes a handful of status reads, one per handshake step.
  SimDriver::SetStatusWaits(true);
  auto tty = [&](sim::ConsoleEmulator& c) { return c.Open(0x02, "/dev/tty").get().result; };
  ASSERT_EQ(1, tty(*console));
  SimDriver::ClearEvents();
  ASSERT_EQ(1, tty(*console));
  const Positions clean = CountCalls();

  int runs = 0, passed = 0;
  for (Call kind : {Call::GetStatus, Call::SetFeature, Call::ClearFeature, Call::Read, Call::Write}) {
    const int n = clean.counts[static_cast<int>(kind)];
    for (int position = 1; position <= n; ++position) {
      SCOPED_TRACE(std::string(Name(kind)) + " " + std::to_string(position));
      PumpUntil([] { return true; });
      const size_t before = ViewText(page).size();
      const uint64_t resets = SimDriver::Count(Call::ResetLink);
      auto fail = [kind] { SimDriver::FailNext(kind, 1, ERROR_GEN_FAILURE); };
      if (kind == Call::GetStatus)
        SimDriver::At(Call::Read, 1, [=] { SimDriver::At(Call::GetStatus, position, fail); });
      else
        SimDriver::At(kind, position, fail);
      auto request = console->Open(0x02, "/dev/tty");
      auto resetDone = [&] { return SimDriver::Count(Call::ResetLink) > resets; };
      PumpUntil([&] {
        return resetDone() || ViewText(page).size() > before ||
               request.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
      }, 10000);
      const bool reset = PumpUntil(resetDone, 3000);
      // The console of the failed exchange goes; a new one attaches.
      console->Detach();
      const bool ended = request.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      console.reset();
      console = Console(cable);
      const int next = ended ? tty(*console) : -1;
      PumpUntil([] { return true; });
      const std::string lines = NewLines(page, before);
      const Outcome expected = Expected(kind, position, clean);
      const bool described = reset == expected.reset && ExchangeLines(lines) == expected.lines;
      const bool ok = described && ended && next == 1;
      EXPECT_TRUE(ok) << lines;
      ++runs;
      passed += ok;
      std::printf("R6 %-13s %d of %d: %-8s link reset %-3s next exchange %-6s log: %s\n",
                  Name(kind), position, n,
                  kind == Call::SetFeature || kind == Call::ClearFeature ? "ignored"
                  : expected.reset                                        ? "receive"
                                                                          : "reply",
                  reset ? "yes" : "no",
                  next == 1 ? "served" : "FAILED", lines.c_str());
    }
  }
  std::printf("R6 %d of %d runs as described: no crash, the lines logged, the link reset when the "
              "request failed (not when its reply did), the next exchange served\n",
              passed, runs);
}

}  // namespace
