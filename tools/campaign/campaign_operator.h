#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QDialog;
class QSocketNotifier;
class QTimer;

namespace pelorus::campaign {

// The operator at one window of the fault campaign. It prints "READY" once the window shows
// (its pool, if any, is open by then). It closes every result banner the moment
// it shows, printing "BANNER <text>", and every message box, printing
// "MESSAGE <text> | <informative text>"; it prints "STATUS <text>" whenever the status line
// under the buttons changes (a port or a store waited for), and "ADDRESS 02:CA:00:00:00:05"
// whenever the six octet boxes show another address; one line each, flushed. It obeys
// commands read line by line on standard input:
//   start        picks the port list entry it was given and presses START, then prints
//                "STARTED"; while START is off (a run is on or still ending) it does so as
//                soon as START comes on
//   reset, end   press RESET, END; the end of standard input is END too
//   hold-banner  the next banner stays up (it is printed as it shows) until "close"
//   close        closes the banner kept up, or forgets the hold-banner if none came yet
// It knows the window by its object names only.
class CampaignOperator : public QObject {
 public:
  explicit CampaignOperator(QString entry);
  ~CampaignOperator() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ReadCommands();
  void Obey(const QString& command);
  void Close(QDialog* dialog);
  void PressStart();
  void WatchStatus();

  QString entry_;
  QSocketNotifier* commands_;
  QTimer* status_poll_;
  QByteArray pending_;
  QString status_;
  QString address_;
  bool ready_ = false;
  bool start_pending_ = false;
  bool hold_banner_ = false;
  QPointer<QDialog> held_banner_;
};

}  // namespace pelorus::campaign
