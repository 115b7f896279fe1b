#include "linux-app/ip_address_edit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <algorithm>

namespace quento::linux_app {
namespace {

constexpr int kFieldDigits = 3;

}  // namespace

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
  // Drawn as one edit box, like the line edits beside it.
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(2, 0, 2, 0);
  row->setSpacing(0);
  // A blank field is acceptable too, so that Enter connects from it.
  auto* octet = new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])?")), this);
  for (std::size_t i = 0; i < m_fields.size(); ++i) {
    if (i > 0) row->addWidget(new QLabel(QStringLiteral("."), this));
    auto* field = new QLineEdit(this);
    field->setFrame(false);
    field->setAlignment(Qt::AlignCenter);
    field->setMaxLength(kFieldDigits);
    field->setValidator(octet);
    field->setAcceptDrops(false);  // a dropped file is the window's, not a field's
    field->installEventFilter(this);
    connect(field, &QLineEdit::returnPressed, this, &IpAddressEdit::ReturnPressed);
    connect(field, &QLineEdit::textEdited, this, [this, i](const QString& typed) {
      if (typed.size() == kFieldDigits && i + 1 < m_fields.size()) MoveTo(int(i) + 1)->selectAll();
    });
    row->addWidget(field, 1);
    m_fields[i] = field;
  }
  setFocusProxy(m_fields[0]);
}

QString IpAddressEdit::address() const {
  QStringList parts;
  for (const QLineEdit* field : m_fields) parts << QString::number(field->text().toInt());
  return parts.join(QLatin1Char('.'));
}

QString IpAddressEdit::text() const {
  QStringList parts;
  for (const QLineEdit* field : m_fields) {
    // As the Windows control reads it: "010" is 10.
    parts << (field->text().isEmpty() ? QString() : QString::number(field->text().toInt()));
  }
  return parts.join(QLatin1Char('.'));
}

void IpAddressEdit::SetText(const QString& text) {
  QStringList parts = text.split(QLatin1Char('.'));
  if (parts.size() != int(m_fields.size())) parts = QStringList(int(m_fields.size()), QString());
  for (std::size_t i = 0; i < m_fields.size(); ++i) {
    int unused = 0;
    QString part = parts[int(i)];
    const bool valid = m_fields[i]->validator()->validate(part, unused) == QValidator::Acceptable;
    m_fields[i]->setText(valid ? part : QString());
  }
}

QLineEdit* IpAddressEdit::MoveTo(int index) {
  QLineEdit* field = m_fields[std::size_t(index)];
  field->setFocus(Qt::OtherFocusReason);
  return field;
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  const auto it = std::find(m_fields.begin(), m_fields.end(), watched);
  if (it == m_fields.end()) return false;
  const int index = int(it - m_fields.begin());
  QLineEdit* field = *it;
  const bool first = index == 0;
  const bool last = index + 1 == int(m_fields.size());
  // '.' ends a field, but not an empty one: after a full field moved on by itself, the '.'
  // the operator types next belongs to the field just left.
  if (key->text() == QLatin1String(".")) {
    if (!field->text().isEmpty() && !last) MoveTo(index + 1)->selectAll();
    return true;
  }
  const bool atStart = field->cursorPosition() == 0 && !field->hasSelectedText();
  const bool atEnd = field->cursorPosition() == field->text().size() && !field->hasSelectedText();
  if (!first && atStart && key->key() == Qt::Key_Backspace) {
    MoveTo(index - 1)->end(false);
    m_fields[std::size_t(index) - 1]->backspace();
    return true;
  }
  if (!first && atStart && key->key() == Qt::Key_Left) {
    MoveTo(index - 1)->end(false);
    return true;
  }
  if (!last && atEnd && key->key() == Qt::Key_Right) {
    MoveTo(index + 1)->home(false);
    return true;
  }
  return false;
}

}  // namespace quento::linux_app
