// The toolkit helpers of the tests: its start, and the modal dialogs
// answered as an operator would.
#include "gui.h"

bool gui_available() {
  static int state = -1;
  if (state < 0) {
    state = gtk_init_check(nullptr, nullptr) ? 1 : 0;
    if (!state) note_no_display();
  }
  return state == 1;
}

DialogAnswerer::DialogAnswerer() { source_ = g_timeout_add(20, &DialogAnswerer::poll, this); }

DialogAnswerer::~DialogAnswerer() {
  if (source_) g_source_remove(source_);
}

gboolean DialogAnswerer::poll(gpointer self) {
  auto *me = static_cast<DialogAnswerer *>(self);
  GList *tops = gtk_window_list_toplevels();
  for (GList *l = tops; l; l = l->next) {
    GtkWidget *w = GTK_WIDGET(l->data);
    if (GTK_IS_MESSAGE_DIALOG(w) && gtk_widget_get_visible(w)) {
      gchar *text = nullptr;
      g_object_get(w, "text", &text, nullptr);
      me->texts_.push_back(text ? text : "");
      g_free(text);
      gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_CLOSE);
    }
  }
  g_list_free(tops);
  return TRUE;
}

