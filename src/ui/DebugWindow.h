#pragma once
#include <QListWidget>
#include <string_view>

namespace salvex::ui {

// The debug message window: every line of the diagnostic log, newest selected and in view.
// It always collects; it is shown only when the program was started with "DEBUG".
class TDebugWindow : public QListWidget {
  Q_OBJECT
 public:
  explicit TDebugWindow(QWidget* parent = nullptr);
  ~TDebugWindow() override;
  void Append(std::string_view line);
  // Places the window at the top right of the screen and shows it.
  void ShowAtCorner();
};

}  // namespace salvex::ui
