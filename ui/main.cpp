#include <QApplication>

#include "ui/pelorus_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  pelorus::CPELORUSApp app;
  return app.InitInstance();
}
