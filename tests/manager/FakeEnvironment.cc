#include "tests/manager/FakeEnvironment.h"

namespace harbix::manager {

FakeEnvironment::FakeEnvironment() {
  m_environment.m_engineRuns = [this] { return m_bEngineRuns; };
  m_environment.m_sendRequest = [this](uint8_t bRequest) { m_vRequests.push_back(bRequest); };
  m_environment.m_inform = [this](QWidget*, const QString& sCaption, const QString& sText) {
    m_vMessages.push_back({sCaption, sText});
  };
  m_environment.m_ask = [this](QWidget*, const QString& sCaption, const QString& sText) {
    m_vMessages.push_back({sCaption, sText});
    return m_bAnswer;
  };
  m_environment.m_diskSpace = [this](const QString&) { return m_diskSpace; };
  m_environment.m_chooseFolder = [this](QWidget*, const QString&, const QString&) { return m_sChosenFolder; };
  m_environment.m_openFile = [this](const QString& sPath) { m_vOpened.push_back(sPath); };
  m_environment.m_taskBarIconRuns = [this] { return m_bIconRuns; };
  m_environment.m_startTaskBarIcon = [this] { ++m_nIconStarts; };
  m_environment.m_closeTaskBarIcon = [this] { ++m_nIconCloses; };
  m_environment.m_localAddresses = [this] { return m_vLocalAddresses; };
}

}  // namespace harbix::manager
