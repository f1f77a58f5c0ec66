// The configuration screen: the current network's SSID, its remembered key (shown or
// hidden) and a button that starts or stops sending them by sound.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QVariantMap>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "localSave.h"
#include "platform/CaptiveNetwork.h"
#include "playAudio.h"

class QMessageBox;

namespace Ui {
class QUAVRV4;
}

// What the screen asks of the machine. The application always uses the defaults; tests put
// their own network, store file or audio output in place.
struct ScreenServices {
  std::function<std::optional<QStringList>()> supportedInterfaces = &CNCopySupportedInterfaces;
  std::function<std::optional<QVariantMap>(const QString&)> currentNetworkInfo =
      &CNCopyCurrentNetworkInfo;
  std::function<std::unique_ptr<localSave>()> makeStore = [] {
    return std::make_unique<localSave>();
  };
  std::function<std::unique_ptr<playAudio>()> makeSender = [] {
    return std::make_unique<playAudio>();
  };
};

class QUAVRV4 : public QWidget {
  Q_OBJECT

 public:
  // Creates the sender and the store (which reads its file); the views are set up when the
  // screen is first shown.
  explicit QUAVRV4(ScreenServices services = {}, QWidget* parent = nullptr);
  ~QUAVRV4() override;

  // Fills the SSID field, and the key field from the store, or shows the alert that comes
  // back until a network is found.
  void showWifiSsid();
  // The information of the first interface that reports a network, or what the last one
  // reported; none without interfaces.
  std::optional<QVariantMap> fetchSSIDInfo();
  void alertViewDidDismissWithButtonIndex(QMessageBox* alertView, int buttonIndex);

  // Outlets.
  QPushButton* butConnect() const;
  QLineEdit* textSsid() const;
  QLineEdit* textKey() const;

  // Actions.
  void connectPressed(QAbstractButton* sender);
  void backgroundTapped();
  void ssidEditEnd(QLineEdit* sender);
  void showKeyPressed(QAbstractButton* sender);

 protected:
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void viewDidLoad();
  void connectActions();
  QMessageBox* showAlert(const QString& message);
  std::optional<QString> whyNotSendable() const;
  void enableConnect();
  void fill(QLineEdit* field, const QString& text);
  void keepWithinMessageLimit();

  int quavrState = 0;  // 0 idle, 1 sending
  std::unique_ptr<playAudio> player;
  std::unique_ptr<localSave> save;
  int showKey = 1;  // 1 the key is shown in clear, 0 hidden
  ScreenServices services_;
  std::unique_ptr<Ui::QUAVRV4> ui_;
  bool viewLoaded_ = false;
};
