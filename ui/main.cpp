#include <QApplication>

#include "ui/pelorus_app.h"

int main(int argc, char** argv) {
  pelorus::CPELORUSApp::Options options;
  if (const int status = pelorus::CPELORUSApp::ParseCommandLine(argc, argv, &options);
      status >= 0) {
    return status;
  }
  QApplication application(argc, argv);
  pelorus::CPELORUSApp app(options);
  return app.InitInstance();
}
