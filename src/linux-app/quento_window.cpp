#include "linux-app/quento_window.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <algorithm>

#include "linux-app/about_dialog.h"
#include "linux-app/dialog_units.h"
#include "linux-app/ip_address_edit.h"
#include "linux-app/qt_text.h"
#include "operator/texts.h"
#include "window/busy_scope.h"
#include "window/window_loop.h"

namespace quento::linux_app {
namespace {

// Where the last address and file are kept between runs (~/.config/Quento/quento.conf).
QSettings Settings() { return QSettings(QStringLiteral("Quento"), QStringLiteral("quento")); }

// What the operator does to the window with mouse, keyboard, an input method, pen, touch or a
// drag. The input method's queries are answered: they read the window and change nothing.
bool IsInput(QEvent::Type type) {
  switch (type) {
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
      return true;
    default:
      return false;
  }
}

// Qt animates a bar whose range is empty, as after an empty image; the Windows bar stays empty.
class ProgressBar final : public QProgressBar {
 public:
  using QProgressBar::QProgressBar;

 protected:
  void paintEvent(QPaintEvent*) override {
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    if (option.minimum == option.maximum) {
      option.maximum = option.minimum + 1;
      option.progress = option.minimum;
    }
    QStylePainter(this).drawControl(QStyle::CE_ProgressBar, option);
  }
};

// Assistive technology sees the window as the dialog it is on Windows, not as a plain widget.
QAccessibleInterface* AccessibleWindow(const QString&, QObject* object) {
  auto* window = qobject_cast<QuentoWindow*>(object);
  return window != nullptr ? new QAccessibleWidget(window, QAccessible::Dialog) : nullptr;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/icons/quento-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

// One local .bin file, or nothing.
QString DroppedFirmware(const QMimeData* mime) {
  const QList<QUrl> urls = mime->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
  const QString path = urls.front().toLocalFile();
  return path.endsWith(QStringLiteral(".bin"), Qt::CaseInsensitive) ? path : QString();
}

}  // namespace

QuentoWindow::QuentoWindow(connection::ConnectionOptions connection,
                           protocol::DownloadOptions download)
    : m_manager(*this, m_connected, connection), m_downloadOptions(std::move(download)) {
  [[maybe_unused]] static const bool accessible =
      (QAccessible::installFactory(AccessibleWindow), true);
  setWindowTitle(QText(op::text::kAppName));
  setWindowIcon(AppIcon());
  setAcceptDrops(true);
  const DialogUnits du(font());
  setFixedSize(du.X(304), du.Y(163));
  CreateControls();
  ConnectCommands();
  RestoreSettings();
  m_address->setFocus();
  qApp->installEventFilter(this);
}

void QuentoWindow::CreateControls() {
  const DialogUnits du(font());
  const auto label = [&](std::string_view text, QRect where, const char* name) {
    auto* control = new QLabel(QText(text), this);
    control->setGeometry(where);
    control->setObjectName(QLatin1String(name));
    return control;
  };
  const auto button = [&](std::string_view caption, QRect where, const char* name) {
    auto* control = new QPushButton(QText(caption), this);
    control->setGeometry(where);
    control->setObjectName(QLatin1String(name));
    return control;
  };
  // Created in the Windows template's order, which is also the tab order.
  m_address = new IpAddressEdit(this);
  m_address->setObjectName(QStringLiteral("address"));
  m_address->setGeometry(du.Rect(31, 47, 100, 15));
  m_connect = button(op::text::kConnectCaption, du.Rect(29, 71, 50, 14), "connect");
  m_path = new QLineEdit(this);
  m_path->setObjectName(QStringLiteral("path"));
  m_path->setGeometry(du.Rect(152, 47, 126, 15));
  // The download takes the file Browse chose, never typed text: the edit only shows it.
  m_path->setReadOnly(true);
  m_download = button(op::text::kDownloadCaption, du.Rect(227, 72, 50, 14), "download");
  m_browse = button(op::text::kBrowseCaption, du.Rect(152, 72, 50, 14), "browse");
  label(op::text::kAddressLabel, du.Rect(34, 27, 32, 13), "addressLabel");
  m_status = label(op::text::kChooseFile, du.Rect(29, 98, 125, 10), "status");
  label(op::text::kFileLabel, du.Rect(151, 25, 106, 13), "fileLabel");
  m_progress = new ProgressBar(this);
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setGeometry(du.Rect(22, 119, 271, 18));
  m_progress->setTextVisible(false);
  m_progress->setValue(0);
  m_download->setEnabled(false);
}

void QuentoWindow::ConnectCommands() {
  connect(m_connect, &QPushButton::clicked, this, &QuentoWindow::OnConnectClicked);
  connect(m_address, &IpAddressEdit::ReturnPressed, this, &QuentoWindow::OnAddressEntered);
  connect(m_browse, &QPushButton::clicked, this, &QuentoWindow::OnBrowseClicked);
  connect(m_download, &QPushButton::clicked, this, &QuentoWindow::OnDownloadClicked);
  auto* about = new QAction(QText(op::text::kAboutMenu), this);
  about->setShortcut(QKeySequence::HelpContents);
  connect(about, &QAction::triggered, this, &QuentoWindow::ShowAbout);
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

void QuentoWindow::RestoreSettings() {
  const QSettings settings = Settings();
  m_address->SetText(settings.value(QStringLiteral("address")).toString());
  m_filePath = settings.value(QStringLiteral("file")).toString();
  PushMembersToControls();
}

QuentoWindow::~QuentoWindow() { qApp->removeEventFilter(this); }

void QuentoWindow::OnConnectClicked() {
  if (m_busy > 0) return;
  RunBusy(m_manager.OnConnectClicked());
}

void QuentoWindow::OnAddressEntered() {
  if (!m_manager.connected()) OnConnectClicked();
}

void QuentoWindow::OnBrowseClicked() {
  if (m_busy > 0) return;
  window::BusyScope busy(m_busy);
  const QString folder = m_filePath.isEmpty() ? QString() : QFileInfo(m_filePath).absolutePath();
  // A cancelled dialog empties the choice, as it always has on Windows.
  // Qt simplifies each filter's white space, U+3000 included.
  const QString filters = QText(op::text::kSourceFilesFilter) + QStringLiteral(";;") +
                          QText(op::text::kHeadFilesFilter) + QStringLiteral(";;") +
                          QText(op::text::kAllFilesFilter);
  m_filePath = QFileDialog::getOpenFileName(this, QString(), folder, filters);
  PushMembersToControls();
}

void QuentoWindow::OnDownloadClicked() {
  if (m_busy > 0 || !m_manager.connected()) return;
  RunBusy(
      m_manager.OnDownloadClicked(QFile::encodeName(m_filePath).toStdString(), m_downloadOptions));
}

void QuentoWindow::ShowAbout() {
  if (m_busy > 0) return;
  AboutDialog about(this);
  about.exec();
}

void QuentoWindow::RunBusy(asio::awaitable<void> task) {
  window::BusyScope busy(m_busy);
  // The manager's work throws nothing into Qt's event loop: see StopAtTheEdge.
  window::RunBesideWindow(m_io, std::move(task), [] { QCoreApplication::processEvents(); });
}

bool QuentoWindow::Owns(QObject* object) const {
  // Actions and shortcuts are not widgets: they belong to the widget they hang on.
  while (object != nullptr && !object->isWidgetType()) object = object->parent();
  if (object == nullptr) return false;
  auto* widget = static_cast<QWidget*>(object);
  // Message boxes are windows of their own and stay usable.
  return widget == this || isAncestorOf(widget);
}

bool QuentoWindow::eventFilter(QObject* watched, QEvent* event) {
  // Thrown away, not deferred: a click made during the work must not act after it.
  return m_busy > 0 && IsInput(event->type()) && Owns(watched);
}

void QuentoWindow::closeEvent(QCloseEvent* event) {
  // The work under way runs on this window's objects.
  if (m_busy > 0) {
    event->ignore();
    return;
  }
  QSettings settings = Settings();
  settings.setValue(QStringLiteral("address"), m_address->text());
  settings.setValue(QStringLiteral("file"), m_filePath);
  event->accept();
}

void QuentoWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!DroppedFirmware(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void QuentoWindow::dropEvent(QDropEvent* event) {
  const QString path = DroppedFirmware(event->mimeData());
  if (path.isEmpty()) return;
  m_filePath = path;
  PushMembersToControls();
  event->acceptProposedAction();
}

std::string QuentoWindow::ReadAddressText() { return m_address->address().toStdString(); }

void QuentoWindow::SetStatus(std::string_view text) { m_status->setText(QText(text)); }

void QuentoWindow::SetConnectCaption(std::string_view text) { m_connect->setText(QText(text)); }

void QuentoWindow::EnableButton(op::Button button, bool enabled) {
  switch (button) {
    case op::Button::kConnectDisconnect:
      m_connect->setEnabled(enabled);
      break;
    case op::Button::kDownload:
      m_download->setEnabled(enabled);
      break;
    case op::Button::kBrowse:
      m_browse->setEnabled(enabled);
      break;
  }
}

void QuentoWindow::SetProgressRange(std::uint16_t upper) { m_progress->setRange(0, upper); }

void QuentoWindow::SetProgressStep(int step) { m_progressStep = step; }

void QuentoWindow::SetProgressPos(int position) {
  // The bar ignores a value outside its range; the Windows bar takes the nearest end.
  m_progress->setValue(std::clamp(position, m_progress->minimum(), m_progress->maximum()));
}

void QuentoWindow::StepProgress() {
  // Past the end the Windows bar starts over from the beginning; so does this one. A bar that
  // Qt has reset (value below the range) counts as empty.
  const int low = m_progress->minimum(), high = m_progress->maximum();
  int next = std::max(m_progress->value(), low) + m_progressStep;
  if (next > high) next = high > low ? low + (next - low) % (high - low) : low;
  m_progress->setValue(next);
}

void QuentoWindow::ShowMessage(std::string_view text) {
  QMessageBox box(QMessageBox::Warning, QText(op::text::kAppName), QText(text), QMessageBox::Ok,
                  this);
  box.exec();
}

void QuentoWindow::PushMembersToControls() { m_path->setText(m_filePath); }

}  // namespace quento::linux_app
