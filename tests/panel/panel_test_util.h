// Helpers for the panel tests: building the real window around final_table,
// and finding controls in it the way an operator does, by the frame they sit
// in and the text on them.
#pragma once

#include <gtk/gtk.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gui.h"
#include "panel.h"
#include "shell.h"

namespace panel_test {

// Every widget below root (root included), depth first, in child order.
inline void walk(GtkWidget *root, const std::function<void(GtkWidget *)> &visit) {
  visit(root);
  if (!GTK_IS_CONTAINER(root)) return;
  GList *children = gtk_container_get_children(GTK_CONTAINER(root));
  for (GList *l = children; l; l = l->next) walk(GTK_WIDGET(l->data), visit);
  g_list_free(children);
}

inline std::vector<GtkWidget *> find_all(GtkWidget *root,
                                         const std::function<bool(GtkWidget *)> &match) {
  std::vector<GtkWidget *> found;
  walk(root, [&](GtkWidget *w) {
    if (match(w)) found.push_back(w);
  });
  return found;
}

// Frames whose title is exactly title ("" finds the untitled-looking frames).
inline std::vector<GtkWidget *> find_frames(GtkWidget *root, const char *title) {
  return find_all(root, [title](GtkWidget *w) {
    if (!GTK_IS_FRAME(w)) return false;
    const char *t = gtk_frame_get_label(GTK_FRAME(w));
    return t && std::strcmp(t, title) == 0;
  });
}

// The first frame titled title, or null.
inline GtkWidget *find_frame(GtkWidget *root, const char *title) {
  auto frames = find_frames(root, title);
  return frames.empty() ? nullptr : frames.front();
}

// Buttons of any kind (push, check, radio, ...) whose label is exactly label.
inline std::vector<GtkWidget *> find_buttons(GtkWidget *root, const char *label) {
  return find_all(root, [label](GtkWidget *w) {
    if (!GTK_IS_BUTTON(w)) return false;
    const char *l = gtk_button_get_label(GTK_BUTTON(w));
    return l && std::strcmp(l, label) == 0;
  });
}

// The first button labelled label, or null.
inline GtkWidget *find_button(GtkWidget *root, const char *label) {
  auto buttons = find_buttons(root, label);
  return buttons.empty() ? nullptr : buttons.front();
}

// The button labelled label inside the frame titled frame_title, or null.
inline GtkWidget *find_button_in(GtkWidget *root, const char *frame_title, const char *label) {
  GtkWidget *frame = find_frame(root, frame_title);
  return frame ? find_button(frame, label) : nullptr;
}

// Builds the panel into a fresh top-level window, as start-up does (without
// showing it), and makes it the global `window`.  Returns the window.
inline GtkWidget *build_panel_window() {
  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), final_table());
  return window;
}

// Destroys the window built by build_panel_window.
inline void destroy_panel_window() {
  if (window) gtk_widget_destroy(window);
  window = nullptr;
}

inline std::string entry_text(int slot) { return gtk_entry_get_text(GTK_ENTRY(obj[slot])); }

// The panel window built around a simulated board whose serial service is
// open.  Building prints and sends nothing; what it printed is in build_trace.
class PanelTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    if (!gui_available()) GTEST_SKIP() << "no display";
    StdoutCapture capture;
    build_panel_window();
    build_trace = capture.text();
  }
  void TearDown() override {
    destroy_panel_window();
    BoardTest::TearDown();
  }
  // Clicks the button labelled label in the frame titled frame_title.
  void click(const char *frame_title, const char *label) {
    GtkWidget *button = find_button_in(window, frame_title, label);
    ASSERT_NE(nullptr, button) << frame_title << " / " << label;
    gtk_button_clicked(GTK_BUTTON(button));
  }
  std::string build_trace;
};

// The frame the panel sends for type, rw and value, as board.received() shows it.
inline std::string frame_hex(uint8_t type, uint8_t rw, uint8_t value) {
  return trnsim::hex(trnsim::make_frame(type, rw, value));
}

}  // namespace panel_test
