#pragma once

#include <QObject>
#include <QString>

class QDialog;
class QSocketNotifier;

namespace pelorus::campaign {

// The operator at one window of the fault campaign. It closes every result banner the moment
// it shows, printing "BANNER <text>", and every message box, printing
// "MESSAGE <text> | <informative text>" (one line each, flushed), and obeys commands read
// line by line on standard input: "start" picks the port list entry it was given and presses
// START (nothing while START is off: a run is on), "reset" presses RESET, "end" presses END.
// The end of standard input is END too. It knows the window by its object names only.
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

  QString entry_;
  QSocketNotifier* commands_;
  QByteArray pending_;
};

}  // namespace pelorus::campaign
