// A message that needs the user's attention before the program goes on.
#pragma once

namespace platform {

// Shows an alert with a caption and a text and returns when the user has
// seen it. On a console the alert is printed to standard output.
void ShowAlert(const char* caption, const char* text);

}  // namespace platform
