#include "ui/pelorus_app.h"

#include <QCoreApplication>

#include "ui/pelorus_dlg.h"

namespace pelorus {

int CPELORUSApp::InitInstance() {
  QCoreApplication::setApplicationName(CPELORUSDlg::kCaption);
  QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
  QCoreApplication::setApplicationVersion(QStringLiteral(PELORUS_VERSION));

  CPELORUSDlg dialog;
  dialog.exec();
  return 0;
}

}  // namespace pelorus
