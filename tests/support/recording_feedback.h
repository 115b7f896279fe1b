// An operator screen that records what the core did to it, as lines like "pos 6".
#pragma once

#include <string>
#include <vector>

#include "operator/operator_feedback.h"

namespace quento::testing {

class RecordingFeedback : public op::OperatorFeedback {
 public:
  std::string address = "127.0.0.1";
  std::vector<std::string> events;
  int position = 0;
  int step = 0;

  std::string ReadAddressText() override { return address; }
  void SetStatus(std::string_view text) override { Record("status", text); }
  void SetConnectCaption(std::string_view text) override { Record("caption", text); }
  void EnableButton(op::Button button, bool on) override {
    Record("enable", std::to_string(static_cast<int>(button)) + (on ? " on" : " off"));
  }
  void SetProgressRange(std::uint16_t upper) override { Record("range", std::to_string(upper)); }
  void SetProgressStep(int value) override {
    step = value;
    Record("step", std::to_string(value));
  }
  void SetProgressPos(int value) override {
    position = value;
    Record("pos", std::to_string(value));
  }
  void StepProgress() override { position += step; }
  void ShowMessage(std::string_view text) override { Record("message", text); }
  void PushMembersToControls() override { events.push_back("push"); }

 private:
  void Record(std::string_view what, std::string_view value) {
    events.push_back(std::string(what) + " " + std::string(value));
  }
};

}  // namespace quento::testing
