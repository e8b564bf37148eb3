// Helpers for the tests that run the toolkit: its start, and the modal
// dialogs answered as an operator would.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "support.h"

// Initialises the toolkit once.  False when there is no display.
bool gui_available();

// Answers modal message dialogs: every dialog that appears while this object
// lives is recorded (its primary text) and closed.
class DialogAnswerer {
 public:
  DialogAnswerer();
  ~DialogAnswerer();
  const std::vector<std::string> &texts() const { return texts_; }

 private:
  static gboolean poll(gpointer self);
  guint source_ = 0;
  std::vector<std::string> texts_;
};

