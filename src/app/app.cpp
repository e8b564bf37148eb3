// Start-up and exit: reads the configuration, builds and shows the window,
// opens the port, identifies the board, reads its settings back, starts the
// button status monitor and runs the main loop.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "VXTRN.h"
#include "app.h"
#include "config.h"
#include "panel.h"
#include "serial.h"

const char *const trn::VERSION_TEXT = "1.1.1";
GtkWidget *window = nullptr;

namespace {

// Reads trn.ini and chooses the device path into ttyS_now, saying what the
// panel says about a missing file and a TRN_DEVICE it cannot take.
void choose_port(char *ttyS_now, size_t size) {
  const trn::ConfigReport config = trn::read_config();
  if (!config.opened)
    puts("****** Serial Initial File No Detected ! ******\n****** Default [9600-E:8:1] & /dev/ttyS4 ******\n");
  std::string device = trn::device_from_port_number();
  bool too_long = false;
  const std::string named = trn::device_from_environment(trn::PANEL_DEVICE_MAX, &too_long);
  if (too_long)
    fprintf(stderr, "TRN_DEVICE ignored: longer than %zu characters (use a shorter link to it)\n",
            trn::PANEL_DEVICE_MAX);
  if (!named.empty()) device = named;
  snprintf(ttyS_now, size, "%s", device.c_str());
}

}  // namespace

void destroy(GtkWidget *, gpointer) {
  gtk_main_quit();
  CloseTRNService();
  int status = system("killall trndemo");
  (void)status;  // when the process survives, gtk_main returns and main ends
}

int trn::trndemo_main(int argc, char **argv) {
  // The trace must reach a file or pipe line by line, even when the process
  // is ended by the exit handler's signal.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // The serial and protocol layers' lines go where the panel's own go.
  trn::set_trace_hook(trn::stdio_trace);
  trn::exchange_mode_from_environment();

  char ttyS_now[trn::PANEL_DEVICE_MAX + 1];
  memset(ttyS_now, 0, sizeof ttyS_now);
  choose_port(ttyS_now, sizeof ttyS_now);
  printf("The comport now is ==>%s<==", ttyS_now);

  char title[128];
  snprintf(title, sizeof title, "Q742 VXTRNDemo (V%s)", trn::VERSION_TEXT);

  gtk_init(&argc, &argv);
  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_title(GTK_WINDOW(window), title);
  gtk_container_set_border_width(GTK_CONTAINER(window), 10);
  g_signal_connect(window, "destroy", G_CALLBACK(destroy), nullptr);
  gtk_container_add(GTK_CONTAINER(window), final_table());
  gtk_widget_show_all(window);

  GThread *Thread1 = nullptr;
  if (!OpenTRNService(ttyS_now, port_speed, port_parity, port_databits, port_stopbits)) {
    puts("Initialize Device Failed !!!");
  } else {
    puts("\tThe device is on !!!");
    update_version();
    if (!identifierOK) {
      puts("Initialize Device Failed !!!");
    } else {
      read_all();
      // Current GLib has its thread system set up before main runs, so there
      // is nothing left to initialise.
      puts("g_thread NOT supported");
      trn::set_status_handler(trn::show_button_status);
      Thread1 = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
      if (!Thread1) puts("Thread create failed: CCradleButtonStatus!");
    }
  }

  gtk_main();

  if (Thread1) {
    // The monitor ends once the port is closed.
    CloseTRNService();
    g_thread_join(Thread1);
  }
  CloseTRNService();
  return 0;
}
