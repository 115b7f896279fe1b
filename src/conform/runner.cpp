#include "conform/runner.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <map>

#include "conform/judge.h"
#include "protocol/download.h"
#include "protocol/frames.h"

namespace quento::conform {
namespace {

using Ids = std::vector<std::string_view>;

// A full download's exchanges: every block written, then every block read back.
struct Transfer {
  std::vector<Reply> writes;
  std::vector<Reply> reads;
};

// Fails on the first reply with a problem; passes when there is none and all `expected` were
// made. Otherwise `last`, the session's last exchange, says why the rest were not made.
template <typename Judge>
CheckResult JudgeAll(const std::vector<Reply>& replies, std::size_t expected, Judge judge,
                     std::string summary, const Reply& last) {
  CheckResult result = FirstProblem(replies, judge, std::move(summary));
  if (result.verdict == Verdict::kFail || replies.size() >= expected) return result;
  const std::string why = last.ended ? "the device closed the connection" : Lateness(last).why;
  return Fail("not reached: " + std::to_string(replies.size()) + " of " + std::to_string(expected) +
                  " frames made; at " + last.label + ", " + why,
              Evidence(last));
}

// The slowest reply and its margin, or the first that was late or missing.
CheckResult JudgeTiming(const std::vector<Reply>& replies) {
  const auto slowest = std::ranges::max_element(replies, {}, &Reply::took);
  if (slowest == replies.end()) return Fail("no reply to judge");
  return FirstProblem(replies, Lateness,
                      "slowest reply " + Ms(slowest->took()) + " (" + slowest->label +
                          "), margin " + Ms(slowest->window.count() - slowest->took()) + " of " +
                          std::to_string(slowest->window.count()) + " ms");
}

Problem WellFormedRead(const Reply& reply, int block) {
  if (Problem late = Lateness(reply)) return late;
  if (protocol::IsBlockReadReply(reply.got, static_cast<unsigned>(block))) return {};
  return {"not a block-read reply for block " + std::to_string(block)};
}

// The image with every byte inverted: other content for the same block.
image::FirmwareImage Inverted(const image::FirmwareImage& image) {
  std::vector<std::uint8_t> bytes(image.bytes().begin(), image.bytes().end());
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(~b);
  return image::FirmwareImage(std::move(bytes));
}

class Runner {
 public:
  explicit Runner(const RunOptions& options)
      : m_options(options),
        m_probe(options.device, options.connectWait, options.trace, options.cancel) {}

  asio::awaitable<void> Run() {
    co_await ConnectAndGreet();
    if (Wanted("write")) co_await WriteTwice();
    if (Wanted("read-back")) {
      co_await ReadBack("read-back.one-block", m_options.images.oneBlock, m_options.pace);
      // The largest image always goes back to back: at standard pacing it would take minutes.
      co_await ReadBack("read-back.largest", m_options.images.largest, Pace{false});
    }
    if (Wanted("timing")) {
      co_await Timing("timing.standard", Pace{true}, m_options.images.oneBlock);
      co_await Timing("timing.fast", Pace{false}, m_options.images.manyBlocks);
    }
    Framing();
    if (Wanted("sessions")) co_await AfterDrop();
    if (Wanted("info")) {
      co_await AfterCompletion();
      co_await BadChecksum();
    }
  }

  std::vector<CheckResult> Results() {
    std::vector<CheckResult> results;
    for (const Check& check : kChecks) {
      if (!Wanted(check.group)) continue;
      Set(check.id,
          Fail("not checked: " + (m_blocked.empty() ? "the run was stopped" : m_blocked)));
      results.push_back(m_results.at(check.id));
    }
    return results;
  }

 private:
  bool Wanted(std::string_view group) const {
    return std::ranges::find(m_options.groups, group) != m_options.groups.end();
  }
  bool Stopped() const { return m_probe.Stopped(); }
  void Progress(const std::string& what) const {
    if (m_options.progress) m_options.progress(what);
  }

  // The first verdict of a check counts. An informational check that could not be made says so
  // and fails nothing.
  void Set(std::string_view id, CheckResult result) {
    const Check* check = FindCheck(id);
    if (!Wanted(check->group) || m_results.contains(id)) return;
    result.check = check;
    result.ms = m_probe.Now();
    if (check->informational && result.verdict == Verdict::kFail) {
      result.verdict = Verdict::kInfo;
      result.summary = "not observed: " + result.summary;
    }
    m_results.emplace(id, std::move(result));
  }
  void SetAll(const Ids& ids, const CheckResult& result) {
    for (const std::string_view id : ids) Set(id, result);
  }

  // A connection whose greeting was echoed, or none, and then each of `ids` has failed with the
  // reason. The greeting's replies go to `greeting` when asked for.
  asio::awaitable<std::unique_ptr<Session>> OpenGreeted(Pace pace, const Ids& ids,
                                                        std::vector<Reply>* greeting = nullptr) {
    if (!m_blocked.empty() || Stopped()) co_return nullptr;
    Progress(std::string(ids.front()) + ": connecting");
    std::string detail;
    std::unique_ptr<Session> session = co_await Session::Open(m_probe, pace, detail);
    if (!session) {
      SetAll(ids, Fail("no connection: " + detail));
      co_return nullptr;
    }
    std::vector<Reply> replies = co_await session->Greet();
    if (Stopped()) co_return nullptr;  // what is left says the run was stopped
    if (const Problem problem = EchoProblem(replies.back())) {
      SetAll(ids, Fail("no greeting echo: " + replies.back().label + ": " + problem.why,
                       Evidence(replies.back(), problem.at)));
      co_return nullptr;
    }
    if (greeting != nullptr) *greeting = std::move(replies);
    co_return session;
  }

  // Every block written, then every block read back, then the completion frame; as far as the
  // connection lasts.
  asio::awaitable<Transfer> Download(Session& session, const image::FirmwareImage& image,
                                     std::string_view id) {
    Transfer transfer;
    const int blocks = image.blockCount();
    const std::string of = " of " + std::to_string(blocks);
    for (int block = 0; block < blocks && !session.broken() && !Stopped(); ++block) {
      Progress(std::string(id) + ": block-write " + std::to_string(block + 1) + of);
      transfer.writes.push_back(co_await session.Write(image, block));
    }
    for (int block = 0; block < blocks && !session.broken() && !Stopped(); ++block) {
      Progress(std::string(id) + ": block-read " + std::to_string(block + 1) + of);
      transfer.reads.push_back(co_await session.Read(image, block));
    }
    if (!session.broken()) co_await session.Complete();
    co_return transfer;
  }

  asio::awaitable<void> ConnectAndGreet();
  asio::awaitable<void> WriteAndReadMany(Session& session);
  asio::awaitable<void> WriteTwice();
  asio::awaitable<void> ReadBack(std::string_view id, const image::FirmwareImage& image, Pace pace);
  asio::awaitable<void> Timing(std::string_view id, Pace pace, const image::FirmwareImage& image);
  void Framing();
  asio::awaitable<void> AfterDrop();
  asio::awaitable<void> AfterCompletion();
  asio::awaitable<void> BadChecksum();

  const RunOptions& m_options;
  Probe m_probe;
  std::map<std::string_view, CheckResult> m_results;
  std::string m_blocked;  // why no check that needs the device can be made
};

// The first connection: it is accepted, its first greeting echoed, a second greeting answered
// somehow, and the many-block image goes through it.
asio::awaitable<void> Runner::ConnectAndGreet() {
  Progress("connect.accept");
  std::string detail;
  const double from = m_probe.Now();
  std::unique_ptr<Session> session = co_await Session::Open(m_probe, m_options.pace, detail);
  if (!session) {
    m_blocked = "the device accepted no connection";
    Set("connect.accept", Fail("no connection within " +
                               std::to_string(m_options.connectWait.count()) + " ms: " + detail));
    co_return;
  }
  Set("connect.accept", Pass("accepted after " + Ms(m_probe.Now() - from)));
  Progress("greeting.echo");
  const std::vector<Reply> greetings = co_await session->Greet();
  const bool echoed = !EchoProblem(greetings.back());
  if (const Problem problem = EchoProblem(greetings.front())) {
    Set("greeting.echo",
        Fail(greetings.front().label + ": " + problem.why +
                 (echoed ? "; echoed on attempt " + std::to_string(greetings.size()) : ""),
             Evidence(greetings.front(), problem.at)));
  }
  Set("greeting.echo", Pass("echoed after " + Ms(greetings.front().took())));
  const bool answered =
      std::ranges::any_of(greetings, [](const Reply& r) { return r.firstMs >= 0; });
  if (!echoed && !answered && !Stopped()) m_blocked = "the device answered none of the greetings";
  if (!echoed) {
    const Problem problem = EchoProblem(greetings.back());
    const Ids ids = {"greeting.again", "write.ack", "write.short-last", "read-back.many-blocks"};
    co_return SetAll(ids, Fail("no greeting echo: " + greetings.back().label + ": " + problem.why,
                               Evidence(greetings.back(), problem.at)));
  }
  std::array<std::uint8_t, protocol::kShortFrameSize> greeting{};
  protocol::BuildGreeting(greeting);
  const Reply again = co_await session->Exchange(greeting, protocol::kShortReplySize, "greeting");
  if (const Problem problem = EchoProblem(again)) {
    Set("greeting.again", Info("not echoed: " + problem.why, Evidence(again, problem.at)));
  }
  Set("greeting.again", Info("echoed again after " + Ms(again.took())));
  if (Wanted("write") || Wanted("read-back") || Wanted("framing")) {
    co_await WriteAndReadMany(*session);
  }
}

asio::awaitable<void> Runner::WriteAndReadMany(Session& session) {
  const image::FirmwareImage& image = m_options.images.manyBlocks;
  const Transfer transfer = co_await Download(session, image, "write.ack");
  const auto last = static_cast<std::size_t>(image.blockCount() - 1);
  const std::vector<Reply> full(transfer.writes.begin(),
                                transfer.writes.begin() + std::min(last, transfer.writes.size()));
  const Reply& end = m_probe.replies().back();
  Set("write.ack", JudgeAll(full, last, AckProblem,
                            std::to_string(last) + " blocks acknowledged, 1024 bytes each", end));
  const std::vector<Reply> lastWrite(transfer.writes.begin() + full.size(), transfer.writes.end());
  Set("write.short-last",
      JudgeAll(lastWrite, 1, AckProblem,
               "block " + std::to_string(last) + " of " + std::to_string(image.lastBlockSize()) +
                   " bytes acknowledged",
               end));
  int block = 0;
  Set("read-back.many-blocks",
      JudgeAll(
          transfer.reads, last + 1, [&](const Reply& r) { return ReadProblem(r, image, block++); },
          std::to_string(image.fileLength()) + " bytes in " + std::to_string(image.blockCount()) +
              " blocks read back as written",
          end));
}

asio::awaitable<void> Runner::WriteTwice() {
  const image::FirmwareImage& second = m_options.images.oneBlock;
  const image::FirmwareImage first = Inverted(second);
  const Ids ids = {"write.twice"};
  const std::unique_ptr<Session> session = co_await OpenGreeted(m_options.pace, ids);
  if (!session) co_return;
  Progress("write.twice");
  std::vector<Reply> writes;
  writes.push_back(co_await session->Write(first, 0));
  if (!session->broken()) writes.push_back(co_await session->Write(second, 0));
  CheckResult acks = JudgeAll(writes, 2, AckProblem, "", writes.back());
  if (acks.verdict == Verdict::kFail || session->broken()) co_return Set("write.twice", acks);
  const Reply read = co_await session->Read(second, 0);
  if (!session->broken()) co_await session->Complete();
  Problem problem = ReadProblem(read, second, 0);
  if (problem && !ReadProblem(read, first, 0)) {
    problem.why = "returns the first content written, not the second; " + problem.why;
  }
  if (problem) {
    co_return Set("write.twice", Fail(read.label + ": " + problem.why, Evidence(read, problem.at)));
  }
  Set("write.twice", Pass("both acknowledged; block 0 reads back as the second content"));
}

asio::awaitable<void> Runner::ReadBack(std::string_view id, const image::FirmwareImage& image,
                                       Pace pace) {
  const Ids ids = {id};
  const std::unique_ptr<Session> session = co_await OpenGreeted(pace, ids);
  if (!session) co_return;
  const Transfer transfer = co_await Download(*session, image, id);
  int block = 0;
  CheckResult result = JudgeAll(
      transfer.reads, static_cast<std::size_t>(image.blockCount()),
      [&](const Reply& r) { return ReadProblem(r, image, block++); },
      std::to_string(image.fileLength()) + " bytes in " + std::to_string(image.blockCount()) +
          (image.blockCount() == 1 ? " block" : " blocks") + " read back as written" +
          (pace.standard ? "" : " (fast pacing)"),
      m_probe.replies().back());
  Set(id, std::move(result));
}

asio::awaitable<void> Runner::Timing(std::string_view id, Pace pace,
                                     const image::FirmwareImage& image) {
  std::vector<Reply> replies;
  const Ids ids = {id};
  const std::unique_ptr<Session> session = co_await OpenGreeted(pace, ids, &replies);
  if (!session) co_return;
  const Transfer transfer = co_await Download(*session, image, id);
  replies.insert(replies.end(), transfer.writes.begin(), transfer.writes.end());
  replies.insert(replies.end(), transfer.reads.begin(), transfer.reads.end());
  Set(id, JudgeTiming(replies));
}

void Runner::Framing() {
  const std::vector<Reply>& replies = m_probe.replies();
  const auto complete = std::ranges::count_if(replies, &Reply::complete);
  if (complete == 0) {
    SetAll({"framing.trailing", "framing.segments"}, Fail("no reply arrived to judge"));
    return;
  }
  Set("framing.trailing",
      FirstProblem(
          replies,
          [](const Reply& r) {
            return Problem{r.extra.empty() ? ""
                                           : std::to_string(r.extra.size()) +
                                                 " bytes arrived after the reply; a tool "
                                                 "that does not discard them takes them "
                                                 "for the next answer"};
          },
          std::to_string(complete) + " replies, none with bytes beyond its size"));
  const auto split = std::ranges::count_if(replies, &Reply::split);
  Set("framing.segments",
      Info(split == 0
               ? "every reply arrived in one piece"
               : std::to_string(split) + " of " + std::to_string(complete) +
                     " replies arrived in more than one piece; the tools wait for the rest"));
}

// A client that drops in the middle of a download, then a new connection with a whole one.
asio::awaitable<void> Runner::AfterDrop() {
  const image::FirmwareImage& image = m_options.images.manyBlocks;
  const Ids ids = {"sessions.after-drop"};
  if (std::unique_ptr<Session> dropped = co_await OpenGreeted(m_options.pace, ids)) {
    co_await dropped->Write(image, 0);
  } else {
    co_return;
  }
  const std::unique_ptr<Session> session = co_await OpenGreeted(m_options.pace, ids);
  if (!session) co_return;
  const Transfer transfer = co_await Download(*session, image, ids.front());
  std::vector<Reply> replies = transfer.writes;
  replies.insert(replies.end(), transfer.reads.begin(), transfer.reads.end());
  const std::size_t blocks = static_cast<std::size_t>(image.blockCount());
  Set(ids.front(), JudgeAll(
                       replies, 2 * blocks,
                       [&](const Reply& r) {
                         const std::size_t i = static_cast<std::size_t>(&r - replies.data());
                         return i < blocks ? AckProblem(r)
                                           : WellFormedRead(r, static_cast<int>(i - blocks));
                       },
                       "a new connection wrote and read back " + std::to_string(blocks) +
                           " blocks after a client dropped mid-download",
                       m_probe.replies().back()));
}

// After a download: does the device close, and how soon does it take a new connection.
asio::awaitable<void> Runner::AfterCompletion() {
  const std::string_view id = "info.after-completion";
  const Ids ids = {id};
  const std::unique_ptr<Session> session = co_await OpenGreeted(m_options.pace, ids);
  if (!session) co_return;
  co_await Download(*session, m_options.images.oneBlock, id);
  if (session->broken()) co_return Set(id, Fail("the download did not get through"));
  const double closed = co_await session->WaitForClose(protocol::kReceiveTimeout);
  std::string what = closed >= 0
                         ? "closed the connection " + Ms(closed) + " after the completion frame"
                         : "kept the connection open for 1000 ms after the completion frame";
  const double from = m_probe.Now();
  std::string detail = "refused";
  const auto tries = m_options.connectWait / protocol::kPauseAfterSend;
  for (long long attempt = 0; attempt <= tries; ++attempt) {
    if (std::unique_ptr<Session> next = co_await Session::Open(m_probe, m_options.pace, detail)) {
      const std::vector<Reply> greeting = co_await next->Greet();
      const bool echoed = !EchoProblem(greeting.back());
      if (echoed) co_await next->Complete();
      co_return Set(id, Info(what + "; a new connection " + Ms(m_probe.Now() - from) + " later " +
                             (echoed ? "echoed its greeting" : "did not echo its greeting")));
    }
    co_await protocol::TimerPause(protocol::kPauseAfterSend);
  }
  Set(id, Info(what + "; no new connection within " + Ms(m_probe.Now() - from) + ": " + detail));
}

// The one block's frame with its checksum off by one.
asio::awaitable<void> Runner::BadChecksum() {
  const std::string_view id = "info.bad-checksum";
  const Ids ids = {id};
  const std::unique_ptr<Session> session = co_await OpenGreeted(m_options.pace, ids);
  if (!session) co_return;
  const image::FirmwareImage& image = m_options.images.oneBlock;
  std::array<std::uint8_t, protocol::kMaxFrameSize> frame{};
  const std::size_t size = protocol::BuildBlockWrite(frame, 0, image.BlockData(0));
  ++frame[size - 1];
  const Reply reply = co_await session->Exchange(std::span(frame).first(size),
                                                 protocol::kShortReplySize, "block-write 0");
  if (!session->broken()) co_await session->Complete();
  if (const Problem late = Lateness(reply)) co_return Set(id, Info(late.why, Evidence(reply)));
  const bool acked = !AckProblem(reply);
  Set(id, Info(acked ? "acknowledged it: the block checksum is not checked"
                     : "answered " + Hex(reply.got) + ": the tools count it a failed attempt"));
}

}  // namespace

std::vector<CheckResult> RunChecks(const RunOptions& options) {
  asio::io_context io(1);
  Runner runner(options);
  auto done = asio::co_spawn(io, runner.Run(), asio::use_future);
  io.run();
  done.get();
  return runner.Results();
}

}  // namespace quento::conform
