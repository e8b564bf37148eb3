// Start-up and exit: reads the configuration, builds and shows the window,
// opens the port, identifies the board, reads its settings back, starts the
// button status monitor and runs the main loop.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "VXTRN.h"
#include "app.h"
#include "panel.h"
#include "serial.h"

const char *const VERSION_TEXT = "1.1.1";
GtkWidget *window = nullptr;

void destroy(GtkWidget *, gpointer) {
  gtk_main_quit();
  CloseTRNService();
  int status = system("killall trndemo");
  (void)status;  // when the process survives, gtk_main returns and main ends
}

int trndemo_main(int argc, char **argv) {
  // The trace must reach a file or pipe line by line, even when the process
  // is ended by the exit handler's signal.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  exchange_mode_from_environment();

  char ttyS_now[32];
  memset(ttyS_now, 0, sizeof ttyS_now);
  read_config();
  choose_device(ttyS_now, sizeof ttyS_now);
  printf("The comport now is ==>%s<==", ttyS_now);

  char title[128];
  snprintf(title, sizeof title, "Q742 VXTRNDemo (V%s)", VERSION_TEXT);

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
      set_status_handler(show_button_status);
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
