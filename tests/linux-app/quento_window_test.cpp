// The Linux window worked through its own controls, as an operator would, against the simulator
// in this process on a free loopback port.
#include "linux-app/quento_window.h"

#include <QtTest>
#include <QtWidgets>
#include <memory>

#include "device/simulator.h"
#include "linux-app/ip_address_edit.h"
#include "linux-app/qt_text.h"
#include "operator/texts.h"
#include "support/temp_dir.h"

namespace quento::linux_app {
namespace {

using namespace op::text;

class PaintCounter : public QObject {
 public:
  int count = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    count += event->type() == QEvent::Paint;
    return false;
  }
};

template <typename Widget = QPushButton>
Widget* Find(QWidget& window, const char* name) {
  return window.findChild<Widget*>(QLatin1String(name));
}

// Each key goes where the focus is, so the fields' own moves from one to the next count.
void Type(QWidget& window, const QString& keys) {
  for (const QChar key : keys) QTest::keyClick(window.focusWidget(), key.toLatin1());
}

std::unique_ptr<QuentoWindow> Open(std::uint16_t port, protocol::DownloadOptions download = {}) {
  auto window = std::make_unique<QuentoWindow>(connection::ConnectionOptions{.port = port},
                                               std::move(download));
  window->show();
  window->activateWindow();
  return QTest::qWaitForWindowActive(window.get()) ? std::move(window) : nullptr;
}

}  // namespace

class QuentoWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    // The operator's own remembered address and file are neither read nor changed.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path().c_str());
    for (int i = 0; i < 2 * 1024 + 100; ++i) m_bytes.push_back(std::uint8_t(i * 7 + i / 256));
    m_image = QString::fromStdString(
        m_dir.Write("image.bin", {m_bytes.begin(), m_bytes.end()}));  // three blocks
    m_dir.Write("empty.bin", "");
  }
  void init() { QSettings(QStringLiteral("Quento"), QStringLiteral("quento")).clear(); }
  void scenario_data();
  void scenario();
  void screenshot();

 private:
  testing::TempDir m_dir;
  std::vector<std::uint8_t> m_bytes;
  QString m_image;
};

void QuentoWindowTest::scenario_data() {
  for (const char* name : {"actions", "fault", "status", "buttons", "file"}) {
    QTest::addColumn<QString>(name);
  }
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<int>("progressRange");
  QTest::addColumn<bool>("standardPace");  // else fast pacing
  // buttons: Connect, Download, Browse, each its initial when enabled, else '-'.
  // fault "stopped": nothing listens on the port.
  const auto row = [](const char* name, QString actions, QString fault, QStringList messages,
                      std::string_view status, QString buttons, QString file = {}, int range = 100,
                      bool standardPace = false) {
    QTest::newRow(name) << actions << fault << QText(status) << buttons << file << messages << range
                        << standardPace;
  };
  const QString connected = QText(kConnected);
  const QString download = "127.0.0.1 connect browse download";
  row("start-up", "", "", {}, kChooseFile, "C-B");
  row("connect refused", "127.0.0.1 connect", "stopped", {QText(kConnectFailed)}, kChooseFile,
      "C-B");
  row("connect without an address", "connect", "", {QText(kConnectFailed)}, kChooseFile, "C-B");
  row("connect, disconnect", "127.0.0.1 connect connect", "", {connected, QText(kDisconnected)},
      kChooseFile, "C-B");
  row("Escape stays, Enter connects, never disconnects", "127.0.0.1 escape enter enter", "",
      {connected}, kChooseFile, "CDB");
  // As the Windows control reads it: a blank field is 0.
  row("partly blank address, Enter in a blank field", "127 right right 1 left left enter", "",
      {connected}, kChooseFile, "CDB");
  row("cancelled Browse, missing file", "127.0.0.1 connect browse cancel download", "",
      {connected, QText(kFileMissing)}, kChooseFile, "CDB");
  row("download", download, "", {connected, QText(kSuccess)}, kReconnect, "C-B", "image.bin", 18);
  row("download at standard pace", download, "", {connected, QText(kSuccess)}, kReconnect, "C-B",
      "image.bin", 18, true);
  row("silent device", download, "silent", {connected, QText(kNoResponse)}, kReconnect, "C-B",
      "image.bin", 18);
  row("F1: About", "f1", "", {QText(kAboutCaption) + ":" + QText(kAboutText)}, kChooseFile, "C-B");
  row("empty image", download, "", {connected, QText(kSuccess)}, kReconnect, "C-B", "empty.bin", 0);
  row("dropped file, remembered", "127.0.0.1 drop reopen", "", {}, kChooseFile, "C-B", "image.bin");
}

void QuentoWindowTest::scenario() {
  QFETCH(QString, actions);
  QFETCH(QString, fault);
  QFETCH(QString, buttons);
  QFETCH(QString, file);
  QFETCH(QStringList, messages);
  QFETCH(bool, standardPace);
  std::string error;
  device::SimulatorOptions options{.listen = {"127.0.0.1:0"}, .keepCompleted = true};
  if (!fault.isEmpty() && fault != "stopped") {
    QVERIFY(device::AddFault(fault.toStdString(), options.faults, &error));
  }
  device::Simulator simulator(options);
  QVERIFY2(simulator.Start(&error), error.c_str());
  const std::uint16_t port = simulator.endpoints()[0].port;
  if (fault == "stopped") simulator.Stop();
  auto window = Open(port, {.pause = standardPace ? protocol::TimerPause : protocol::NoPause});
  QVERIFY(window);

  // "reopen" replaces the window: its controls are looked up afresh each time.
  const auto status = [&] { return Find<QLabel>(*window, "status"); };
  const auto progress = [&] { return Find<QProgressBar>(*window, "progress"); };
  PaintCounter paints;
  progress()->installEventFilter(&paints);
  QStringList seen, filters;
  int ticks = 0;
  bool buttonEnabled = false, closed = false, fullAtSuccess = false;
  QTimer probe;
  connect(&probe, &QTimer::timeout, [&] {
    // Each modal dialog is answered as it opens. A message box is recorded as its text (when its
    // caption, icon and single button are right); the file dialog gets `file` from the run's
    // folder, or is cancelled when that is empty; any other dialog is recorded as its caption and
    // labels.
    QWidget* modal = QApplication::activeModalWidget();
    auto* dialog = qobject_cast<QDialog*>(modal);
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      const bool plain = box->windowTitle() == QText(kAppName) &&
                         box->icon() == QMessageBox::Warning && box->buttons().size() == 1;
      seen << (plain ? box->text() : "odd box: " + box->text());
      fullAtSuccess |=
          box->text() == QText(kSuccess) && progress()->value() == progress()->maximum();
    } else if (auto* files = qobject_cast<QFileDialog*>(modal)) {
      filters = files->nameFilters();
      if (file.isEmpty()) return files->reject();
      files->selectFile(QFileInfo(m_image).dir().filePath(file));
    } else if (dialog != nullptr) {
      seen << dialog->windowTitle() + ":";
      for (const QLabel* label : dialog->findChildren<QLabel*>()) seen.back() += label->text();
    }
    if (dialog != nullptr) return dialog->accept();
    // While a download runs the window keeps running timers and painting, and throws away what
    // the operator does to it.
    if (status()->text() != QText(kDownloading)) return;
    ++ticks;
    for (const char* name : {"connect", "download", "browse"}) {
      buttonEnabled |= Find(*window, name)->isEnabled();
    }
    QLineEdit* field = Find<IpAddressEdit>(*window, "address")->findChildren<QLineEdit*>().back();
    QTest::mouseDClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_5);
    QInputMethodEvent composed;
    composed.setCommitString("7");
    QApplication::sendEvent(field, &composed);
    closed |= window->close();
  });
  probe.start(5);

  const QMap<QString, Qt::Key> keys{{"enter", Qt::Key_Return},
                                    {"escape", Qt::Key_Escape},
                                    {"f1", Qt::Key_F1},
                                    {"left", Qt::Key_Left},
                                    {"right", Qt::Key_Right}};
  for (const QString& action : actions.split(' ', Qt::SkipEmptyParts)) {
    if (action[0].isDigit()) {
      Type(*window, action);
    } else if (keys.contains(action)) {
      QTest::keyClick(window->focusWidget(), keys[action]);
    } else if (action == "drop") {  // Qt delivers a drop only after an accepted drag entry
      QMimeData mime;
      mime.setUrls({QUrl::fromLocalFile(m_image)});
      QDragEnterEvent enter({4, 4}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QDropEvent drop({4, 4}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QVERIFY(QApplication::sendEvent(window.get(), &enter) &&
              QApplication::sendEvent(window.get(), &drop));
    } else if (action == "reopen") {
      window->close();
      QVERIFY(window = Open(port));
    } else {
      QTest::mouseClick(Find(*window, action == "cancel" ? "browse" : qPrintable(action)),
                        Qt::LeftButton);
    }
  }
  QCOMPARE(seen, messages);
  QVERIFY(window->isVisible());
  // Assistive technology is told what Windows tells it of the dialog.
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(window.get());
  QCOMPARE(accessible->role(), QAccessible::Dialog);
  QCOMPARE(accessible->text(QAccessible::Name), QText(kAppName));
  QCOMPARE(QString::fromStdString(window->ReadAddressText()),
           actions.startsWith("127") ? "127.0.0.1" : "0.0.0.0");
  QTEST(status()->text(), "status");
  QString enabled;
  for (const char* name : {"connect", "download", "browse"}) {
    enabled += Find(*window, name)->isEnabled() ? QChar(name[0]).toUpper() : QChar('-');
  }
  QCOMPARE(enabled, buttons);
  // Download is enabled exactly while connected.
  QCOMPARE(Find(*window, "connect")->text(),
           QText(buttons[1] == 'D' ? kDisconnectCaption : kConnectCaption));
  QCOMPARE(QFileInfo(Find<QLineEdit>(*window, "path")->text()).fileName(), file);
  // Qt simplifies the white space in a filter, U+3000 included.
  if (actions.contains("browse")) {
    QCOMPARE(filters, QStringList({QText(kSourceFilesFilter).simplified(), QText(kHeadFilesFilter),
                                   QText(kAllFilesFilter)}));
  }
  QCOMPARE(progress()->value(), 0);
  QTEST(progress()->maximum(), "progressRange");
  progress()->grab();  // a bar Qt shows as busy starts animating when painted
  QVERIFY(progress()->findChildren<QAbstractAnimation*>().isEmpty());
  QVERIFY(!buttonEnabled && !closed);
  if (standardPace) QVERIFY(ticks > 0 && paints.count > 0);
  // The bar was full and the device holds the operator's file exactly when the window said so
  // (a device keeps no image that no block was written for).
  const auto images = simulator.completed();
  const bool held =
      file == "empty.bin" ? images.empty() : images.size() == 1 && images[0].image == m_bytes;
  QCOMPARE(fullAtSuccess && held, messages.contains(QText(kSuccess)));
}

void QuentoWindowTest::screenshot() {
  auto window = Open(0);
  QVERIFY(window);
  Type(*window, "192.168.1.20");
  QCOMPARE(QString::fromStdString(window->ReadAddressText()), "192.168.1.20");
  QVERIFY(window->grab().save(QStringLiteral(QUENTO_SCREENSHOT)));
}

}  // namespace quento::linux_app

QTEST_MAIN(quento::linux_app::QuentoWindowTest)
#include "quento_window_test.moc"
