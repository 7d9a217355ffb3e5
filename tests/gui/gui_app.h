// The one application object every window test needs; offscreen unless the
// caller chose a platform. It is destroyed when the tests end, before the
// process exits, so that the platform plugin releases its screens.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace guitest {

inline QApplication& app() {
  static int argc = 1;
  static char name[] = "test_gui";
  static char* argv[] = {name, nullptr};
  static QApplication* instance = nullptr;
  if (!instance) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    instance = new QApplication(argc, argv);
    struct Owner : ::testing::Environment {
      void TearDown() override {
        delete instance;
        instance = nullptr;
      }
    };
    ::testing::AddGlobalTestEnvironment(new Owner);
  }
  return *instance;
}

}  // namespace guitest
