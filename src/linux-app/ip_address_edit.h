// The device address as four fields of 0-255 in one framed box, typed the way operators know
// from the Windows address control: a full field or '.' moves on to the next field.
#pragma once

#include <QFrame>
#include <QString>
#include <array>

class QLineEdit;

namespace quento::linux_app {

class IpAddressEdit : public QFrame {
  Q_OBJECT

 public:
  explicit IpAddressEdit(QWidget* parent = nullptr);

  // Dotted decimal as the Windows control reads it: a blank field is 0, so "192..1.20" is
  // 192.0.1.20 and a blank address 0.0.0.0, which is no device's.
  QString address() const;
  // The fields as shown, a blank one empty ("192..1.20"): what SetText takes back.
  QString text() const;
  // Fills the fields from dotted decimal; anything that is not four fields leaves them blank.
  void SetText(const QString& text);

 signals:
  void ReturnPressed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Puts the focus into field `index` and returns it.
  QLineEdit* MoveTo(int index);

  std::array<QLineEdit*, 4> m_fields{};
};

}  // namespace quento::linux_app
