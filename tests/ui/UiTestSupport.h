#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/ui/AppearanceHooks.h"
#include "platform/ui/Application.h"
#include "platform/ui/Log.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"
#include "tests/support/SharedState.h"

// A fresh application, builders, hooks and virtual time for every test; the
// platform's console is captured.
class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSharedState();
        ui::setLogSink([this](const std::string& message) { logged.push_back(message); });
    }
    void TearDown() override {
        resetSharedState();
        ui::setLogSink({});
    }
    std::shared_ptr<ui::Window> showInWindow(std::shared_ptr<ui::ViewController> root) {
        auto window = std::make_shared<ui::Window>();
        window->setRootViewController(std::move(root));
        window->makeKeyAndVisible();
        return window;
    }

    dispatch::ManualExecutor executor;
    std::vector<std::string> logged;
};

// Texts in one section, each in a cell registered as "row".
class TextRowsSource : public ui::TableViewDataSource {
  public:
    std::vector<std::string> rows;

    int64_t numberOfRowsInSection(ui::TableView&, int64_t) override { return static_cast<int64_t>(rows.size()); }
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& table, const ui::IndexPath& ip) override {
        auto cell = table.dequeueReusableCell("row", ip);
        cell->textLabel().setText(rows[static_cast<size_t>(ip.row)]);
        return cell;
    }
};

// Writes every appearance call into a shared journal as "<name>.<call>".
class JournalController : public ui::ViewController {
  public:
    JournalController(std::string name, std::shared_ptr<std::vector<std::string>> journal)
        : name_(std::move(name)), journal_(std::move(journal)) {}
    void viewDidLoad() override { note("load"); }
    void viewWillAppear(bool) override { note("willAppear"); }
    void viewDidAppear(bool) override { note("didAppear"); }
    void viewWillDisappear(bool) override { note("willDisappear"); }
    void viewDidDisappear(bool) override { note("didDisappear"); }

  private:
    void note(const std::string& what) { journal_->push_back(name_ + "." + what); }
    std::string name_;
    std::shared_ptr<std::vector<std::string>> journal_;
};
