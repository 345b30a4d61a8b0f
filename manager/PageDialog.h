// A modeless dialog that a page opens. It closes as if cancelled when another window of the
// manager becomes active, so that it never stays behind the sheet showing settings that the
// page may have moved on from.
#pragma once

#include <QDialog>

namespace harbix::manager {

class PageDialog : public QDialog {
  Q_OBJECT

 public:
  using QDialog::QDialog;

 protected:
  // Holds the dialog open while a window of its own (a folder chooser) has the focus.
  class KeepOpen {
   public:
    explicit KeepOpen(PageDialog& dialog) : m_dialog(dialog) { ++m_dialog.m_nKeepOpen; }
    ~KeepOpen() { --m_dialog.m_nKeepOpen; }
    KeepOpen(const KeepOpen&) = delete;
    KeepOpen& operator=(const KeepOpen&) = delete;

   private:
    PageDialog& m_dialog;
  };

  void changeEvent(QEvent* lpEvent) override;

 private:
  int m_nKeepOpen = 0;
};

}  // namespace harbix::manager
