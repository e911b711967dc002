#pragma once

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <QString>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "programming/field_binding.h"
#include "programming/mac_address_fields.h"
#include "run/run.h"
#include "run/run_observer.h"
#include "run/run_station.h"
#include "ui/log_binding.h"
#include "ui/msg.h"

class QLineEdit;

namespace Ui {
class CPELORUSDlg;
}

namespace pelorus {

// The program's only window (IDD_MAIN): the operator enters the first address, picks the
// port, starts and stops a run, steps the address by hand and watches the device's console
// in the log. The window is a view of one Run, which owns the port, the programming dialogue
// and, during a run, the address: the window starts and stops it, passes on the operator's
// commands, and shows what it reports (the console, the address, the result banner, messages,
// the status lines). Nothing here waits for the run: every dialog is modal to the window
// without a loop of its own (open()), and its closing is news for the run.
//
// Keys: only the six octet boxes take the focus by Tab; the buttons never hold it, so a stray
// Enter or Space cannot press them. Enter presses START when START is enabled and the focus
// is in an octet box or on START; Escape ends the window, after asking while a run is on.
//
// With an address pool (a RunStation), the pool owns the address: the boxes show the
// station's address and cannot be edited, "<" and ">" stay disabled, and the run leases,
// marks and records each board's attempt. A status line shows the pool.
class CPELORUSDlg : public QDialog, public FieldBinding, private RunObserver {
  Q_OBJECT

 public:
  using WaitFunction = Run::WaitFunction;

  // What the message boxes carry as their caption: the program's name.
  static const QString kCaption;

  // Without a station the window keeps its addresses in memory, typed and stepped.
  explicit CPELORUSDlg(std::unique_ptr<RunStation> station = nullptr, QWidget* parent = nullptr);
  ~CPELORUSDlg() override;

  // Replaces how the run passes the time of the dialogue's waits (Run::SetWaitFunction); it is
  // called on the run's thread.
  void SetWaitFunction(WaitFunction wait);
  // How many lines of the console the log keeps (LogBinding::Scrollback; the bytes kept stay
  // as they are).
  void SetScrollback(std::size_t lines);
  // The log text: the addresses START logged, every byte the devices sent, in arrival order,
  // the run's notes, and what the operator typed into the log box (taken in at the next load);
  // once it holds more than the scroll-back, only its most recent part, after a note on what
  // was dropped.
  const std::string& LogText() const { return log_text_; }
  // How many bytes the devices have sent in all, those dropped from the log included.
  std::uint64_t ConsoleBytes() const { return console_bytes_; }
  bool IsPortOpen() const { return run_->IsPortOpen(); }

  // The data exchange: octet boxes, port list and log box against their strings.
  void LoadFields() override;
  void StoreFields() override;
  void ScrollLogToEnd() override;

 public slots:
  // Ends the window in every way it can end (END, Escape): the run is stopped first, and
  // nothing more goes to the device.
  void done(int result) override;

 signals:
  // The log took in console bytes (ConsoleBytes grew).
  void ConsoleLogged();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // The run's news, each queued onto the window's thread and shown there.
  void RunStarted(std::uint64_t run, const std::string& address_line) override;
  void RunFailed(std::uint64_t run, const std::string& text, const std::string& detail) override;
  void RunEnded(std::uint64_t run) override;
  void Log(const std::string& bytes) override;
  void LogNote(const std::string& note) override;
  void Address(std::uint64_t run, const std::array<std::string, 6>& octets) override;
  void Banner(std::uint64_t run, const std::string& text) override;
  void Message(std::uint64_t run, MessageKind kind, const std::string& text,
               const std::string& detail) override;
  void Status(StatusKind kind, const std::string& text) override;
  void StationAddress(std::optional<Mac48> address) override;
  void PoolLine(const std::string& line) override;
  // Runs show on the window's thread, after everything queued before it.
  void Queue(std::function<void()> show);
  Q_INVOKABLE void ShowQueued();

  void WireMessages();
  bool OnInitDialog();

  void OnStart();
  void OnReset();
  void OnEnd();
  void OnPrevAddress();
  void OnNextAddress();
  void OnEscape();
  void StepByHand(int direction);
  void OnOctetChange(int k);

  QLineEdit* OctetBox(int k) const;
  bool OnThisRun(std::uint64_t run) const { return running_ && run == run_number_; }
  void ShowStatusLine();
  // The pool's part: the station follows the port list, and the boxes show its address.
  std::string StationDevice() const;
  void ShowStationAddress();
  void SetOctets(Mac48 address);
  bool StartsOnEnter() const;
  void ShowRunState(bool running);
  void ShowStopped();
  // A message box modal to the window; answered (if given) receives the button pressed.
  void MessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon,
                  const QString& detail = {},
                  QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                  std::function<void(int)> answered = {});

  std::unique_ptr<Ui::CPELORUSDlg> ui_;
  // Serial settings, as indices into the PortSettings tables (parity as the code itself).
  int stop_bits_index_ = 0;
  int flow_index_ = 0;
  int parity_ = 0;
  int data_bits_index_ = 0;
  int baud_index_ = 0;
  int port_number_ = 0;
  CMSG banner_;
  QIcon icon_;
  MacAddressFields fields_;
  std::array<QLineEdit*, 6> octet_boxes_{};
  std::string port_text_;
  std::string log_text_;
  std::uint64_t console_bytes_ = 0;
  LogBinding::Scrollback scrollback_;
  LogBinding log_;
  bool pool_ = false;
  std::string pool_name_;
  QString port_status_;   // the port lost and waited for
  QString store_status_;  // the store waited for
  QString pool_note_;     // the pool's last word to the operator
  // Console bytes the run has handed over that the window has not yet taken into its log: the
  // run waits while they exceed kLogBehind, so that a device that floods the console is slowed
  // down at its port, as a terminal does, instead of piling up in the window's queue.
  static constexpr std::size_t kLogBehind = 1 << 20;
  // News from the run waits here for the window's thread. The queue is ours, under a lock of
  // our own, so that the hand-over between the two threads is plain to see (and to check);
  // one posted call takes all that has come since the last.
  std::mutex news_mutex_;
  std::deque<std::function<void()>> news_;
  bool news_posted_ = false;
  std::mutex log_mutex_;
  std::condition_variable log_taken_;
  std::size_t log_behind_ = 0;
  bool closing_ = false;  // the window is going: the run no longer waits for it
  bool running_ = false;  // the Running state: from START until the run ends or is reset
  // What "<", ">" and RESET showed before START: a run that cannot start leaves them so.
  std::array<bool, 3> before_start_{};
  std::uint64_t run_number_ = 0;  // the run this window started last
  std::unique_ptr<Run> run_;      // last: its news may come as soon as it exists
};

}  // namespace pelorus
