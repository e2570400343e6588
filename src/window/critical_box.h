#pragma once

#include <string>

namespace tovrin {

// The window front end's message box handler for the thread record's warnings, which
// CTHREAD::Start gives on the UI thread: a critical box with `caption` and `text`, owned by no
// window and modeless, so the main window stays usable while it is up; it is deleted when closed.
// On any thread but the UI thread, or without a widget application, it writes "caption: text" to
// standard error instead.
void ShowCriticalBox(const std::string& text, const std::string& caption);

}  // namespace tovrin
