#include "linux-app/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "linux-app/dialog_units.h"
#include "linux-app/qt_text.h"
#include "operator/texts.h"

namespace quento::linux_app {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QText(op::text::kAboutCaption));
  setModal(true);
  const DialogUnits du(font());
  setFixedSize(du.X(170), du.Y(62));

  auto* icon = new QLabel(this);
  icon->setGeometry(du.Rect(14, 14, 21, 20));
  const QSize iconSize(du.X(21), du.X(21));
  icon->setPixmap(parent->windowIcon().pixmap(iconSize, devicePixelRatioF()));

  auto* name = new QLabel(QText(op::text::kAboutText), this);
  name->setTextFormat(Qt::PlainText);
  name->setGeometry(du.Rect(42, 14, 114, 8));
  name->setMinimumWidth(name->sizeHint().width());

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setGeometry(du.Rect(113, 41, 50, 14));
  ok->setDefault(true);
  ok->setFocus();
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace quento::linux_app
