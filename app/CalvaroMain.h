#pragma once

// The seam between the launcher (app/, target calvaro_app) and the
// application (Calvaro/screens, target calvaro_screens).
//
// The application implements the two functions below in
// Calvaro/screens/CalvaroLaunch.cpp; the executable `calvaro` is built once
// that file exists. app/main.cpp hands them to app::runCalvaro, which parses
// the arguments, sets the data root, registers nothing of its own, launches
// the application on the headless platform through the delegate, and plays
// the script (or the demonstration) with ui::Driver, writing snapshots with
// ui::Snapshot to standard output.
//
// Before makeCalvaroAppDelegate is called the data root is set
// (foundation::FileSystem::setHome) and the calling thread is the main thread
// (dispatch::markMainThread); the delegate is then launched with
// ui::Application::shared().launch(delegate), which calls didFinishLaunching
// and then becomes active.

#include <memory>
#include <string>

#include "platform/ui/Application.h"

// A new application delegate (the application's AppDelegate). The
// application registers its storyboard and nib builders here or before.
std::shared_ptr<ui::ApplicationDelegate> makeCalvaroAppDelegate();

// The script played when `calvaro` runs without --script, in the script
// language of app/ScriptPlayer.h: the demonstration of a first start, or of a
// later start when the data root (already set) has been started before.
std::string calvaroDemoScript();
