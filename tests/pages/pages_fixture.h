// What the page tests share: a fresh control, services that answer questions and record
// what the pages showed, and a few helpers that press keys and click like a user.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QTest>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "automation/vastrel_impl.h"
#include "pages/control_calls.h"
#include "pages/services.h"

namespace vastrel::testing {

using namespace vastrel::automation;
using namespace vastrel::pages;

struct Shown {
  MessageIcon icon;
  QString caption;
  QString text;
};

class RecordingServices : public Services {
 public:
  Answer Message(MessageIcon icon, const QString& caption, const QString& text,
                 MessageButtons buttons) override {
    messages.push_back({icon, caption, text});
    if (buttons == MessageButtons::kOk) return Answer::kOk;
    Answer a = answers.empty() ? Answer::kYes : answers.front();
    if (!answers.empty()) answers.pop_front();
    return a;
  }
  QString OpenFileName(QWidget*, const QString& title, const QString&) override {
    titles.push_back(title);
    return file;
  }
  QString SaveFileName(QWidget*, const QString& title, const QString&, const QString&) override {
    titles.push_back(title);
    return file;
  }
  bool RunDialog(QDialog& dialog) override {
    if (!dialog_answer) return false;
    dialog.show();
    dialog_answer(dialog);
    return dialog.result() == QDialog::Accepted;
  }
  void OpenUrl(const QString& url) override { opened.push_back(url); }
  void PlaySound(const QString& event) override { sounds.push_back(event); }
  QString UserName() override { return QStringLiteral("tester"); }
  QDateTime Now() override { return QDateTime(QDate(2026, 3, 7), QTime(9, 5, 2)); }

  std::vector<Shown> messages;
  std::deque<Answer> answers;
  std::vector<QString> titles;
  QString file;
  std::function<void(QDialog&)> dialog_answer;
  std::vector<QString> opened;
  std::vector<QString> sounds;
};

class PagesTest : public ::testing::Test {
 protected:
  PagesTest() {
    IVastrel* c = nullptr;
    EXPECT_EQ(CreateVastrel(IVastrel::kIID, reinterpret_cast<void**>(&c)), S_OK);
    control = ComPtr<IVastrel>::Adopt(c);
    previous_ = SetServices(&services);
  }
  ~PagesTest() override { SetServices(previous_); }

  TVastrel& Impl() { return *static_cast<TVastrel*>(control.get()); }
  std::vector<QString> Captions() const {
    std::vector<QString> c;
    for (const Shown& s : services.messages) c.push_back(s.caption);
    return c;
  }
  static void Click(QAbstractButton* button) {
    ASSERT_TRUE(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
  }

  RecordingServices services;
  ComPtr<IVastrel> control;

 private:
  Services* previous_;
};

}  // namespace vastrel::testing
