// What the tools make of a reply, in words, and the evidence a failed check shows.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "conform/checks.h"
#include "conform/session.h"
#include "image/firmware_image.h"

namespace quento::conform {

// Why the tools would not take a reply as the answer it stands for; empty `why`: they would.
struct Problem {
  std::string why;
  std::size_t at = 0;  // the reply offset it concerns
  explicit operator bool() const { return !why.empty(); }
};

// Only whether it came, complete and in time.
Problem Lateness(const Reply& reply);
Problem EchoProblem(const Reply& reply);
Problem AckProblem(const Reply& reply);
// A block-read reply: well-formed for `block`, and its data the masked bytes written.
Problem ReadProblem(const Reply& reply, const image::FirmwareImage& image, int block);

// The frame sent and the bytes received, in hex with offsets and times, around reply offset
// `at`.
std::vector<std::string> Evidence(const Reply& reply, std::size_t at = 0);

std::string Hex(std::span<const std::uint8_t> bytes);
std::string Ms(double ms);  // "12.3 ms"

CheckResult Pass(std::string summary);
CheckResult Info(std::string summary, std::vector<std::string> evidence = {});
CheckResult Fail(std::string summary, std::vector<std::string> evidence = {});
// Fails on the first reply with a problem, else passes with `summary`.
template <typename Judge>
CheckResult FirstProblem(const std::vector<Reply>& replies, Judge judge, std::string summary) {
  for (const Reply& reply : replies) {
    if (const Problem problem = judge(reply)) {
      return Fail(reply.label + ": " + problem.why, Evidence(reply, problem.at));
    }
  }
  return Pass(std::move(summary));
}

}  // namespace quento::conform
