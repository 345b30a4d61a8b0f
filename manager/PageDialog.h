// A modeless dialog that a page opens. It closes as if cancelled when another window of the
// manager becomes active, so that it never stays behind the sheet showing settings that the
// page may have moved on from.
#pragma once

#include <QDialog>

class QLayout;
class QPushButton;

namespace harbix::manager {

class PageDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PageDialog(QWidget* lpParent = nullptr);

 protected:
  // The OK, Apply and Close row: OK and Apply write (through Publish) and OK closes; both are
  // enabled by MarkChanged, when button 2 reads "Cancel", until the next write.
  QLayout* ButtonRow();
  void MarkChanged();
  // Hands the dialog's settings to the page.
  virtual void Publish() = 0;

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
  void Apply();

  int m_nKeepOpen = 0;
  QPushButton* m_lpOk;
  QPushButton* m_lpApply;
  QPushButton* m_lpClose;
};

}  // namespace harbix::manager
