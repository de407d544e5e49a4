#pragma once
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <functional>

namespace test_ui {

// Answers the modal windows a task opens, as a user would, until `answer` has nothing left to
// do. Each answer is posted rather than given inside the timer: a timer does not fire again while
// its own handler runs, so a dialog opened from the handler would wait forever. After a deadline
// every modal window is rejected, so that a test that lost its way fails instead of hanging.
class ModalDriver : public QObject {
 public:
  // True when it answered the window.
  using Answer = std::function<bool(QWidget*)>;
  explicit ModalDriver(Answer answer) : answer_(std::move(answer)) {
    started_.start();
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || posted_) return;
      posted_ = true;
      QMetaObject::invokeMethod(
          this,
          [this, modal] {
            posted_ = false;
            if (QApplication::activeModalWidget() != modal) return;
            if (started_.elapsed() > 30000) {
              TimedOut = true;
              if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
              return;
            }
            if (answer_(modal)) ++Answered;
          },
          Qt::QueuedConnection);
    });
    timer_.start(20);
  }
  int Answered = 0;
  bool TimedOut = false;

 private:
  Answer answer_;
  QTimer timer_;
  QElapsedTimer started_;
  bool posted_ = false;
};

inline void Post(QPushButton* button) { QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection); }

}  // namespace test_ui
