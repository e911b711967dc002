// What the main window shows of its run: each piece of news comes on the run's thread and is
// shown on the window's, in the order it came.
#include <QLabel>
#include <QMetaObject>

#include "ui/pelorus_dlg.h"
#include "ui_pelorus_dlg.h"

namespace pelorus {
namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

void CPELORUSDlg::Queue(std::function<void()> show) {
  std::lock_guard<std::mutex> lock(news_mutex_);
  news_.push_back(std::move(show));
  if (!news_posted_) {
    news_posted_ = true;
    QMetaObject::invokeMethod(this, "ShowQueued", Qt::QueuedConnection);
  }
}

void CPELORUSDlg::ShowQueued() {
  std::deque<std::function<void()>> news;
  {
    std::lock_guard<std::mutex> lock(news_mutex_);
    news.swap(news_);
    news_posted_ = false;
  }
  for (auto& show : news) {
    show();
  }
}

void CPELORUSDlg::RunStarted(std::uint64_t, const std::string& address_line) {
  Queue([this, address_line] {
    log_.Load(log_text_);
    log_text_ += address_line;
    log_.Store(log_text_);
  });
}

void CPELORUSDlg::RunFailed(std::uint64_t run, const std::string& text, const std::string& detail) {
  Queue([this, run, text, detail] {
    if (!OnThisRun(run)) {
      return;
    }
    ShowRunState(false);
    ui_->IDC_PREV->setEnabled(before_start_[0]);
    ui_->IDC_NEXT->setEnabled(before_start_[1]);
    ui_->IDC_RESET->setEnabled(before_start_[2]);
    OctetBox(1)->setFocus();
    MessageBox(Q(text), kCaption, QMessageBox::Warning, Q(detail));
  });
}

void CPELORUSDlg::RunEnded(std::uint64_t run) {
  Queue([this, run] {
    if (OnThisRun(run)) {
      ShowStopped();
    }
    // The run's last word on the pool may have been cut short by the stop.
    if (pool_) {
      run_->RequestStatus();
    }
  });
}

void CPELORUSDlg::Log(const std::string& bytes) {
  {
    std::unique_lock<std::mutex> lock(log_mutex_);
    log_taken_.wait(lock, [this] { return log_behind_ < kLogBehind || closing_; });
    log_behind_ += bytes.size();
  }
  Queue([this, bytes] {
    {
      std::lock_guard<std::mutex> lock(log_mutex_);
      log_behind_ -= bytes.size();
    }
    log_taken_.notify_all();
    // What the operator typed into the box is taken in first, so that it stays where it was
    // typed, before these bytes.
    log_.Load(log_text_);
    log_text_ += bytes;
    console_bytes_ += bytes.size();
    log_.Store(log_text_);
    log_.ScrollToEnd();
    emit ConsoleLogged();
  });
}

void CPELORUSDlg::LogNote(const std::string& note) {
  Queue([this, note] {
    log_.Load(log_text_);
    log_text_ += "\r\n[" + note + "]\r\n";
    log_.Store(log_text_);
    pool_note_ = Q(note);
    ShowStatusLine();
  });
}

void CPELORUSDlg::Address(std::uint64_t run, const std::array<std::string, 6>& octets) {
  Queue([this, run, octets] {
    if (!OnThisRun(run)) {
      return;
    }
    for (int k = 1; k <= 6; ++k) {
      fields_.Octet(k) = octets[static_cast<std::size_t>(k - 1)];
    }
    StoreFields();
  });
}

void CPELORUSDlg::Banner(std::uint64_t run, const std::string& text) {
  Queue([this, run, text] {
    // A banner of a run the operator has ended is not shown; that run is stopped and waits
    // for nothing.
    if (!OnThisRun(run)) {
      return;
    }
    banner_.SetAlert(text);
    banner_.DoModal();
  });
}

void CPELORUSDlg::Message(std::uint64_t, MessageKind kind, const std::string& text,
                          const std::string& detail) {
  Queue([this, kind, text, detail] {
    MessageBox(Q(text), kCaption,
               kind == MessageKind::kWarning ? QMessageBox::Warning : QMessageBox::Information,
               Q(detail));
  });
}

void CPELORUSDlg::Status(StatusKind kind, const std::string& text) {
  Queue([this, kind, text] {
    (kind == StatusKind::kPort ? port_status_ : store_status_) = Q(text);
    ShowStatusLine();
  });
}

// The line under the buttons: a port or a store waited for, else the pool's last word.
void CPELORUSDlg::ShowStatusLine() {
  const QString shown = !port_status_.isEmpty()    ? port_status_
                        : !store_status_.isEmpty() ? store_status_
                                                   : pool_note_;
  ui_->IDC_PORT_STATUS->setText(shown);
  ui_->IDC_PORT_STATUS->setVisible(!shown.isEmpty());
}

}  // namespace pelorus
