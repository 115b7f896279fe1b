// What the download and the connection manager may change on the operator's screen. The window,
// the command line and the tests each implement it; the core never knows which.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quento::op {

// How far a download has come, for front ends that show more than the progress bar.
enum class Phase { kGreeting, kWriting, kVerifying, kCompleting };

// The window's three buttons; their values are the Windows dialog's control ids.
enum class Button { kConnectDisconnect = 1002, kDownload = 1004, kBrowse = 1005 };

class OperatorFeedback {
 public:
  virtual ~OperatorFeedback() = default;

  // The address as the operator typed it (dotted decimal).
  virtual std::string ReadAddressText() = 0;
  virtual void SetStatus(std::string_view text) = 0;
  virtual void SetConnectCaption(std::string_view text) = 0;
  virtual void EnableButton(Button button, bool enabled) = 0;
  // The range is always 0..upper; the control takes the upper bound as 16 bits.
  virtual void SetProgressRange(std::uint16_t upper) = 0;
  virtual void SetProgressStep(int step) = 0;
  virtual void SetProgressPos(int position) = 0;
  virtual void StepProgress() = 0;
  // Returns only once the operator has seen (dismissed) the message.
  virtual void ShowMessage(std::string_view text) = 0;
  // Shows the chosen firmware path again in its edit box, replacing anything typed there.
  virtual void PushMembersToControls() = 0;

  // Optional, for a view beyond the bar: the download has entered `phase` of an image of
  // `blocks` blocks, and has finished `block` in it. The bar's own steps come through the
  // operations above.
  virtual void EnterPhase(Phase /*phase*/, int /*blocks*/) {}
  virtual void FinishBlock(Phase /*phase*/, int /*block*/) {}
};

// Shows nothing: a base for front ends without a window, which override what they use.
class SilentFeedback : public OperatorFeedback {
 public:
  std::string ReadAddressText() override { return {}; }
  void SetStatus(std::string_view) override {}
  void SetConnectCaption(std::string_view) override {}
  void EnableButton(Button, bool) override {}
  void SetProgressRange(std::uint16_t) override {}
  void SetProgressStep(int) override {}
  void SetProgressPos(int) override {}
  void StepProgress() override {}
  void ShowMessage(std::string_view) override {}
  void PushMembersToControls() override {}
};

}  // namespace quento::op
