// One page of the property sheet: filled from the configuration store when it is made, written
// back only when applied, and followed by its area's reload request when the engine runs.
#pragma once

#include <QWidget>

#include <cstdint>

#include "manager/Environment.h"

namespace harbix::manager {

class ConfigPage : public QWidget {
  Q_OBJECT

 public:
  ConfigPage(const QString& sTitle, const Environment& environment, QWidget* lpParent = nullptr);

  const QString& Title() const { return m_sTitle; }
  bool Modified() const { return m_bModified; }

  // OK or Apply: writes the page's settings, asks the engine to re-read them, clears the
  // modified state.
  void Apply();
  // Cancel: nothing is written; dialogs the page opened are closed.
  virtual void Reset() {}

 signals:
  void modifiedChanged(bool bModified);

 protected:
  // Every edit of a control calls this.
  void MarkModified();
  // Writes the page's settings through the store's writers.
  virtual void Store() = 0;
  // The control-channel request that makes the engine re-read what Store wrote.
  virtual uint8_t ReloadRequest() const = 0;
  // Shows whether the engine runs and the placeholders of the statistics.
  virtual void ShowEngineState(bool /*bRunning*/) {}

  // Sends a request when the engine runs (also for the page's dialogs).
  void NotifyEngine(uint8_t bRequest) const;

  void showEvent(QShowEvent* lpEvent) override;

  const Environment& m_environment;

 private:
  QString m_sTitle;
  bool m_bModified = false;
};

}  // namespace harbix::manager
