// The About box: the icon, the program's name and version, OK.
#pragma once

#include <QDialog>

namespace quento::linux_app {

class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* parent);
};

}  // namespace quento::linux_app
