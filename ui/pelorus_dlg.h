#pragma once

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <QString>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "programming/dialogue_surroundings.h"
#include "programming/mac_address_fields.h"
#include "programming/programming_dialogue.h"
#include "serial/comm.h"
#include "serial/port_notify.h"
#include "ui/chunk_gate.h"
#include "ui/log_binding.h"
#include "ui/msg.h"
#include "ui/pool_station.h"
#include "ui/port_return.h"

class QEventLoop;
class QLineEdit;

namespace Ui {
class CPELORUSDlg;
}

namespace pelorus {

// The program's only window (IDD_MAIN): the operator enters the first address, picks the
// port, starts and stops a run, steps the address by hand and watches the device's console
// in the log. It owns the address (the octet strings), the programming dialogue, the port
// and the result banner for its whole life, and is the dialogue's and the port's
// surroundings. Everything but the port watcher runs on the window's thread; the watcher
// reaches the window only through the PortNotify calls, which queue.
//
// Keys: only the six octet boxes take the focus by Tab; the buttons never hold it, so a stray
// Enter or Space cannot press them. Enter presses START when START is enabled and the focus
// is in an octet box or on START; Escape ends the window, after asking while a run is on.
//
// With an address pool (a PoolStation), the pool owns the address: the boxes show the
// station's address and cannot be edited, "<" and ">" stay disabled, START leases, the
// address is on record as written before the command goes out and as verified before the
// banner, and the next lease takes the place of the step. A status line shows the pool.
class CPELORUSDlg : public QDialog, public DialogueSurroundings, public PortNotify {
  Q_OBJECT

 public:
  using WaitFunction = ChunkGate::WaitFunction;

  // What the message boxes carry as their caption: the program's name.
  static const QString kCaption;

  // Without a station the window keeps its addresses in memory, typed and stepped.
  explicit CPELORUSDlg(std::unique_ptr<PoolStation> station = nullptr, QWidget* parent = nullptr);
  ~CPELORUSDlg() override;

  // Replaces how the dialogue passes the time of a wait; by default the window runs its event
  // loop for the time given, ended precisely, while the port watcher stays held. Meanwhile the
  // window paints and the operator may end the run (RESET, END, Escape), which ends the wait
  // at once; other commands and port news wait until the chunk is done.
  void SetWaitFunction(WaitFunction wait);
  // How many lines of the console the log keeps (LogBinding::Scrollback; the bytes kept stay
  // as they are).
  void SetScrollback(std::size_t lines);
  // The log text: the addresses START logged, every byte the devices sent, in arrival order,
  // and what the operator typed into the log box (taken in at the next load); once it holds
  // more than the scroll-back, only its most recent part, after a note on what was dropped.
  const std::string& LogText() const { return log_text_; }
  // How many bytes the devices have sent in all, those dropped from the log included.
  std::uint64_t ConsoleBytes() const { return console_bytes_; }
  bool IsPortOpen() const { return comm_.IsConnected(); }

  // The data exchange: octet boxes, port list and log box against their strings.
  void LoadFields() override;
  void StoreFields() override;
  void ScrollLogToEnd() override;

  // The programming dialogue's surroundings.
  void AppendLog(const char* bytes, std::size_t count) override;
  void Write(std::size_t count, const char* bytes) override;
  void SetAlert(const std::string& text) override;
  void DoModal() override;
  void BeginWait(std::chrono::milliseconds duration) override;
  bool EndWait() override;
  void StopRun(const std::string& reason) override;
  bool AboutToWrite(const std::string& address) override;
  bool Verified(const std::string& address, const std::string& line) override;
  NextAddress TakeNextAddress() override;
  void Noted(Step step) override;

  // The port's notifications; any thread may call them, none of them waits for the window.
  void PostPortData(std::uint64_t ticket, int n) override;
  void PostPortLost(std::uint64_t ticket) override;
  void ShowMessage(const std::string& text, const std::string& caption, bool warning) override;
  bool WaitReady(int fd, short events, std::chrono::milliseconds timeout) override;

 public slots:
  // Ends the window in every way it can end (END, Escape): the port is closed first. During a
  // chunk, nothing more goes to the device, and the window ends once the chunk is done.
  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 signals:
  // WM_PORT_DATA: a chunk lies in the port's receive buffer.
  void PortDataPosted(quint64 ticket);
  void PortLostPosted(quint64 ticket);
  void MessagePosted(const QString& text, const QString& caption, bool warning);

 private:
  void WireMessages();
  bool OnInitDialog();

  void OnStart();
  void OnReset();
  void OnEnd();
  void OnPrevAddress();
  void OnNextAddress();
  void OnEscape();
  void OnOctetChange(int k);
  void OnPortData(quint64 ticket);
  void OnPortLost(quint64 ticket);
  void OnMessage(const QString& text, const QString& caption, bool warning);

  QLineEdit* OctetBox(int k) const;
  std::string PortName() const;
  // Opens the port (quietly: nothing on stderr), the window's commands held off meanwhile.
  int OpenPort(const PortSettings& settings, bool quietly);
  void CallOffOpening();
  QString OpenFailureDetail() const;
  // A port lost during a run is waited for, and the run goes on once it is back.
  bool ReopenPort();
  void ShowPortStatus(const QString& text);
  void StepByHand(int direction);
  // The pool's part: the station and the address it has open for the port chosen, the claim
  // and the lease that start a run, steps waited for while the store does not answer, the
  // status line, and a run that stops for the pool.
  std::string StationDevice() const;
  void ShowStationAddress();
  bool StartOnPool();
  PoolStation::Answer StoreStep(const std::function<PoolStation::Answer(std::string*)>& step,
                                std::string* error);
  void SetOctets(Mac48 address);
  void ShowPoolStatus();
  void LogNote(const std::string& note);
  // The board's attempt in hand ends with outcome and goes on record.
  void FinishAttempt(pool::AttemptOutcome outcome);
  void StopRunFor(const QString& text, const std::string& detail);
  bool StartsOnEnter() const;
  void ShowRunState(bool running);
  int MessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon,
                 const QString& detail = {},
                 QMessageBox::StandardButtons buttons = QMessageBox::Ok);

  std::unique_ptr<Ui::CPELORUSDlg> ui_;
  // Serial settings, as indices into the PortSettings tables (parity as the code itself).
  int stop_bits_index_ = 0;
  int flow_index_ = 0;
  int parity_ = 0;
  int data_bits_index_ = 0;
  int baud_index_ = 0;
  int port_number_ = 0;
  std::string address_text_;  // what the last START wrote to the log
  CMSG banner_;
  QIcon icon_;
  CComm comm_;
  MacAddressFields fields_;
  ProgrammingDialogue dialogue_;
  std::array<QLineEdit*, 6> octet_boxes_{};
  std::string port_text_;
  std::string log_text_;
  std::uint64_t console_bytes_ = 0;
  LogBinding::Scrollback scrollback_;
  LogBinding log_;
  ChunkGate gate_;
  std::chrono::milliseconds wait_duration_{0};  // the wait under way: its time
  PreciseWait::Clock::time_point wait_from_{};  // and when it began
  std::unique_ptr<PoolStation> station_;
  AttemptRecorder attempts_;  // with a pool: each board's attempt and its console
  std::string pool_note_;     // the pool's last word to the operator, on the run's status line
  // The address this window last put on record as written, and when, until it is verified.
  std::optional<std::pair<Mac48, std::string>> written_;
  PortSettings run_settings_{};  // what the run's START opened the port with
  PortReturn port_return_;
  bool opening_ = false;  // the port is being opened, or the pool asked for the run's start
  QEventLoop* ready_loop_ = nullptr;  // the wait for a console server under way
  bool running_ = false;  // the Running state: after a successful START, until the run ends
};

}  // namespace pelorus
