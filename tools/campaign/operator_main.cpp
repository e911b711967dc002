// pelorus-campaign-window: the real window, run by its application object exactly as the
// pelorus program runs it, offscreen, with an operator at it (see campaign_operator.h). Takes
// the window's own options plus --entry " COM-1 ", the port list entry that START uses.
#include <QApplication>
#include <cstring>
#include <vector>

#include "campaign_operator.h"
#include "ui/pelorus_app.h"

int main(int argc, char** argv) {
  QString entry = QStringLiteral(" COM-1 ");
  std::vector<char*> window_args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--entry") == 0 && i + 1 < argc) {
      entry = QString::fromLocal8Bit(argv[++i]);
    } else {
      window_args.push_back(argv[i]);
    }
  }
  int window_argc = static_cast<int>(window_args.size());
  window_args.push_back(nullptr);

  pelorus::CPELORUSApp::Options options;
  if (const int status =
          pelorus::CPELORUSApp::ParseCommandLine(window_argc, window_args.data(), &options);
      status >= 0) {
    return status;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(window_argc, window_args.data());
  pelorus::campaign::CampaignOperator at_the_window(entry);
  pelorus::CPELORUSApp app(options);
  return app.InitInstance();
}
