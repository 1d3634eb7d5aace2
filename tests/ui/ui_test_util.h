#pragma once
// Small helpers for the widget tests: finding a control by its component name, and acting on a
// modal window from inside its own event loop.

#include <gtest/gtest.h>

#include <QTimer>
#include <QWidget>
#include <functional>

namespace drvnt::testing {

template <typename T = QWidget>
T* Find(const QObject& root, const char* name) {
  T* found = root.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(found, nullptr) << "no control named " << name;
  return found;
}

// Runs `act` once the modal loop that the caller is about to enter is running.
inline void WhenModal(std::function<void()> act) {
  QTimer::singleShot(0, std::move(act));
}

}  // namespace drvnt::testing
