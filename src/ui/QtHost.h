#pragma once
#include <QPointer>
#include <QWidget>
#include <functional>

#include "common/Host.h"

namespace salvex::ui {

class TTargetFolderDialog;
class TRangeDialog;
class TFindDlg;

// The core's questions answered with the desktop's dialogs.
class TQtHost : public THost {
 public:
  explicit TQtHost(QWidget* window);
  ~TQtHost() override;

  TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                        TMsgIcon icon) override;
  void ProcessMessages() override;
  bool AskSectorRange(uint64_t& first, uint64_t& last, uint64_t maximum) override;
  bool AskClusterRange(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) override;
  bool AskTargetFolder(std::string& folder) override;
  bool AskSaveTarget(std::string& folder, const std::vector<std::string>& fatItems, int& fatChoice) override;
  TFindDialog& FindDialog() override;
  void EnableMainWindow(bool enabled) override;
  std::string TypeName(const std::string& fileName) override;

  // Set by the main window.
  // Disables the window's controls during a save (not the window: its progress window must work).
  std::function<void(bool)> EnableWindow;
  // Bytes per sector (false) or per cluster (true) of what the range dialogs narrow, for their size
  // text; unset, 512 bytes.
  std::function<uint64_t(bool clusters)> UnitBytes;
  // The folder proposed to the next save: the one chosen last.
  std::string LastTarget;

 private:
  QPointer<QWidget> window_;
  TTargetFolderDialog* targetDialog_ = nullptr;
  TRangeDialog* clusterRange_ = nullptr;
  QPointer<TFindDlg> find_;
};

}  // namespace salvex::ui
