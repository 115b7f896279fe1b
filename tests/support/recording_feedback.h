// An operator screen that records what the core did to it.
#pragma once

#include <string>
#include <vector>

#include "protocol/operator_feedback.h"

namespace quento::testing {

class RecordingFeedback : public OperatorFeedback {
 public:
  std::string address = "127.0.0.1";
  std::vector<std::string> events;
  std::vector<std::string> messages;
  std::string status;
  std::string caption = "连接";
  int position = 0;
  int step = 0;
  int range = 0;
  int steps = 0;
  bool downloadEnabled = false;
  bool connectEnabled = true;
  bool browseEnabled = true;

  std::string ReadAddressText() override { return address; }
  void SetStatus(std::string_view text) override {
    status = text;
    events.push_back("status " + status);
  }
  void SetConnectCaption(std::string_view text) override {
    caption = text;
    events.push_back("caption " + caption);
  }
  void EnableButton(Button button, bool enabled) override {
    (button == Button::kDownload  ? downloadEnabled
     : button == Button::kConnect ? connectEnabled
                                  : browseEnabled) = enabled;
    events.push_back("enable " + std::to_string(static_cast<int>(button)) + " " +
                     (enabled ? "on" : "off"));
  }
  void SetProgressRange(std::uint16_t upper) override {
    range = upper;
    events.push_back("range " + std::to_string(upper));
  }
  void SetProgressStep(int value) override {
    step = value;
    events.push_back("step " + std::to_string(value));
  }
  void SetProgressPos(int value) override {
    position = value;
    events.push_back("pos " + std::to_string(value));
  }
  void StepProgress() override {
    position += step;
    ++steps;
  }
  void ShowMessage(std::string_view text) override {
    messages.emplace_back(text);
    events.push_back("message " + std::string(text));
  }
  void PushMembersToControls() override { events.push_back("push"); }
};

}  // namespace quento::testing
